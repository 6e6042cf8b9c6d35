# The client library against minispread as a process: its calls in tables,
# a select()-driven burst, the self-leave, vs-sets of real joins, and
# spread_event_client, a C client on the event loop and the scatter calls
# that includes sp.h as programs written for Spread do.
add_executable(spread_event_client ${CMAKE_CURRENT_SOURCE_DIR}/spread_event_client.c)
target_include_directories(spread_event_client PRIVATE ${CMAKE_SOURCE_DIR}/spread)
target_link_libraries(spread_event_client PRIVATE spread_client)
set_target_properties(spread_event_client PROPERTIES LINKER_LANGUAGE CXX
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

wkp_process_test(test_spread_minispread ${CMAKE_CURRENT_SOURCE_DIR}/spread_minispread_test.cpp)
add_dependencies(test_spread_minispread minispread spread_event_client)
