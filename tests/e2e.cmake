# The daemon end to end: minispread, wickerpost and spcat as processes.
wkp_process_test(test_e2e e2e_test.cpp)
add_dependencies(test_e2e wickerpost minispread spcat)
# The same with outputs that misbehave.
wkp_process_test(test_e2e_outputs e2e_outputs_test.cpp)
add_dependencies(test_e2e_outputs wickerpost minispread spcat)
