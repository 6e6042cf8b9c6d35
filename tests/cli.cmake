# The command line as a process. Its cases share /var/run/wickerpost.pid,
# so they never run at the same time.
add_executable(test_cli cli_test.cpp)
target_link_libraries(test_cli PRIVATE wickerpost_core GTest::gtest GTest::gtest_main)
target_compile_definitions(test_cli PRIVATE WKP_BUILD_DIR="${CMAKE_BINARY_DIR}" WKP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
set_target_properties(test_cli PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
gtest_discover_tests(test_cli PROPERTIES LABELS process RESOURCE_LOCK pid_file DISCOVERY_TIMEOUT 60)
add_dependencies(test_cli wickerpost)

wkp_unit_test(test_options options_test.cpp)
