# Hand-over on SIGUSR2, as processes (minispread, wickerpost, spcat). The
# detached case writes /var/run/wickerpost.pid, as the command line's tests
# do.
wkp_process_test(test_handover handover_test.cpp RESOURCE_LOCK pid_file)
add_dependencies(test_handover wickerpost minispread spcat stall_open)

# The hand-over's failure table: one row per way a hand-over breaks.
wkp_process_test(test_handover_failures handover_failures_test.cpp RESOURCE_LOCK pid_file)
add_dependencies(test_handover_failures wickerpost minispread spcat stall_open)
