# Skiplist against std::map: insert, find and remove, 10^3 to 10^6 elements.
# Run: build-xxx/skiplist_bench
if(benchmark_FOUND)
  add_executable(skiplist_bench ${CMAKE_CURRENT_SOURCE_DIR}/skiplist_bench.cpp)
  target_link_libraries(skiplist_bench PRIVATE wickerpost_core benchmark::benchmark)
endif()
