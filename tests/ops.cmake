# Operating the daemon: wickerpost-check against the daemon on the same
# files.
wkp_process_test(test_check ${CMAKE_CURRENT_SOURCE_DIR}/check_test.cpp)
add_dependencies(test_check wickerpost wickerpost-check)
