# minispread throughput: one sender process to one receiver process through
# the daemon, messages per second over several runs (bench/README.md).
# Run: build-xxx/minispread_bench [-t] [-b BODY] [-c COUNT] [-r RUNS]
if(TARGET minispread AND TARGET spread_client)
  add_executable(minispread_bench ${CMAKE_CURRENT_SOURCE_DIR}/minispread_bench.cpp)
  target_link_libraries(minispread_bench PRIVATE spread_client)
  target_compile_definitions(minispread_bench PRIVATE MINISPREAD_PATH="$<TARGET_FILE:minispread>")
  add_dependencies(minispread_bench minispread)
endif()
