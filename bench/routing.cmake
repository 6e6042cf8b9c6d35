# Routing and rewriting cost per message: build-xxx/routing_bench
if(benchmark_FOUND)
  add_executable(routing_bench ${CMAKE_CURRENT_SOURCE_DIR}/routing_bench.cpp)
  target_link_libraries(routing_bench PRIVATE wickerpost_core benchmark::benchmark)
endif()
