# Connection attempts beside a healthy connection: wickerpost, minispread
# and spcat as processes, squatters on a down daemon's socket name.
wkp_process_test(test_connections connections_test.cpp)
add_dependencies(test_connections wickerpost minispread spcat)
