wkp_process_test(test_cli cli_test.cpp)
add_dependencies(test_cli wickerpost)
wkp_unit_test(test_options options_test.cpp)
