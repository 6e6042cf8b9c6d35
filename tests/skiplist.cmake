# The ordered container: model-based unit tests, and the column heights of a
# fixed operation sequence checked from fresh processes.
wkp_unit_test(test_skiplist skiplist_test.cpp)
wkp_unit_test(test_skiplist_ops skiplist_ops_test.cpp)
wkp_unit_test(test_skiplist_indexes skiplist_indexes_test.cpp)

add_executable(skiplist_heights skiplist_heights_main.cpp)
target_link_libraries(skiplist_heights PRIVATE wickerpost_core)
set_target_properties(skiplist_heights PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

wkp_process_test(test_skiplist_heights skiplist_heights_test.cpp)
add_dependencies(test_skiplist_heights skiplist_heights)
