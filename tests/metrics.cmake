# The metrics file: label escaping in-process; the daemon, minispread and
# spcat as processes, each file read by prometheus_client's parser under
# Debian's /usr/bin/python3.
wkp_unit_test(test_metrics_text metrics_text_test.cpp)
wkp_process_test(test_metrics metrics_test.cpp)
add_dependencies(test_metrics wickerpost minispread spcat stall_open)

# The metrics file through a hand-over.
wkp_process_test(test_metrics_handover metrics_handover_test.cpp)
add_dependencies(test_metrics_handover wickerpost minispread spcat)
