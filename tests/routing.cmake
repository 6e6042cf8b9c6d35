# Routing of messages (filters, vhost table and files), the write step, and
# the rewriting of messages.
wkp_unit_test(routing_test ${CMAKE_CURRENT_SOURCE_DIR}/routing_test.cpp)
wkp_unit_test(routing_vhost_table_test ${CMAKE_CURRENT_SOURCE_DIR}/routing_vhost_table_test.cpp)
wkp_unit_test(rewrite_test ${CMAKE_CURRENT_SOURCE_DIR}/rewrite_test.cpp)
wkp_unit_test(routing_writer_test ${CMAKE_CURRENT_SOURCE_DIR}/routing_writer_test.cpp)
wkp_unit_test(routing_writer_drain_test ${CMAKE_CURRENT_SOURCE_DIR}/routing_writer_drain_test.cpp)
