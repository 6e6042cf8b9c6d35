# File settings of Log blocks on the real daemon: minispread, wickerpost and spcat.
wkp_process_test(test_file_rules file_rules_test.cpp)
add_dependencies(test_file_rules wickerpost minispread spcat)
wkp_process_test(test_file_rules_handover file_rules_handover_test.cpp)
add_dependencies(test_file_rules_handover wickerpost minispread spcat)
wkp_process_test(test_file_rules_recovery file_rules_recovery_test.cpp)
add_dependencies(test_file_rules_recovery wickerpost minispread spcat)
