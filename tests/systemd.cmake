# The daemon under systemd: the priorities of its lines in the journal (a
# unit test of the table, checked against the sources), and what it sends
# to a notification socket, with the journal's priorities and the watchdog
# as processes (minispread, wickerpost, spcat).
wkp_unit_test(test_journal journal_test.cpp)
target_compile_definitions(test_journal PRIVATE WKP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The detached case writes /var/run/wickerpost.pid, as the command line's
# tests do.
wkp_process_test(test_systemd systemd_test.cpp RESOURCE_LOCK pid_file)
add_dependencies(test_systemd wickerpost minispread spcat stall_open)
