# Reading from Spread under stalls, silent daemons and SIGTERM: the daemon,
# minispread and spcat as processes. libstall_open.so, preloaded, holds the
# daemon's loop in one open for a while.
add_library(stall_open SHARED ${CMAKE_CURRENT_SOURCE_DIR}/support/stall_open.c)
target_link_libraries(stall_open PRIVATE dl)
set_target_properties(stall_open PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
wkp_process_test(test_reading reading_test.cpp)
add_dependencies(test_reading wickerpost minispread spcat stall_open)
