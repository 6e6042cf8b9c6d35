# The configuration reader on files of 25 to 100 MB: load time per size.
# Run: build-xxx/config_bench [-t DIR] [-r RUNS] [SIZE_MB...]
add_executable(config_bench ${CMAKE_CURRENT_SOURCE_DIR}/config_bench.cpp)
target_link_libraries(config_bench PRIVATE wickerpost_core)
