# The metrics file: label escaping in-process; the daemon, minispread and
# spcat as processes, each file read by prometheus_client's parser under
# Debian's /usr/bin/python3.
wkp_unit_test(test_metrics_text metrics_text_test.cpp)
wkp_process_test(test_metrics metrics_test.cpp)
add_dependencies(test_metrics wickerpost minispread spcat stall_open)
wkp_process_test(test_metrics_accounting metrics_accounting_test.cpp)
add_dependencies(test_metrics_accounting wickerpost minispread spcat)
# The StatsListen endpoint, scraped by Python's urllib.
wkp_process_test(test_metrics_http metrics_http_test.cpp)
add_dependencies(test_metrics_http wickerpost minispread spcat)

# The metrics file through a hand-over.
wkp_process_test(test_metrics_handover metrics_handover_test.cpp)
add_dependencies(test_metrics_handover wickerpost minispread spcat)
