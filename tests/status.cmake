# The status report on SIGUSR1: the daemon, minispread and spcat as processes.
wkp_process_test(test_status status_test.cpp)
add_dependencies(test_status wickerpost minispread spcat)
