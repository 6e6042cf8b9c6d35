# Hand-over on SIGUSR2, as processes (minispread, wickerpost, spcat). The
# detached case writes /var/run/wickerpost.pid, as the command line's tests
# do.
wkp_process_test(test_handover handover_test.cpp RESOURCE_LOCK pid_file)
add_dependencies(test_handover wickerpost minispread spcat stall_open)
