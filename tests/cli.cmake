# The command line as a process. Its cases share /var/run/wickerpost.pid,
# so they never run at the same time.
wkp_process_test(test_cli cli_test.cpp RESOURCE_LOCK pid_file)
add_dependencies(test_cli wickerpost)

wkp_unit_test(test_options options_test.cpp)
