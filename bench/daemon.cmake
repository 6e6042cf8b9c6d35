# The daemon benchmark (bench/daemon_bench.sh) runs wickerpost, minispread
# and spcat against this baseline: a receiver on our client library that
# only receives and writes each message to one file.
if(TARGET spread_client)
  add_executable(baseline_receiver ${CMAKE_CURRENT_SOURCE_DIR}/baseline_receiver.cpp)
  target_link_libraries(baseline_receiver PRIVATE spread_client)
endif()
