# File settings of Log blocks on the real daemon: minispread, wickerpost and spcat.
wkp_process_test(test_file_rules file_rules_test.cpp)
add_dependencies(test_file_rules wickerpost minispread spcat)
wkp_process_test(test_file_rules_settings file_rules_settings_test.cpp)
add_dependencies(test_file_rules_settings wickerpost minispread spcat)
wkp_process_test(test_file_rules_handover file_rules_handover_test.cpp)
add_dependencies(test_file_rules_handover wickerpost minispread spcat)
