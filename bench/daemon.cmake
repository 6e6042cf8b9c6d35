# The daemon benchmark (bench/daemon_bench.sh) runs wickerpost, minispread
# and these two: a baseline receiver on our client library that only
# receives and writes each message, and a sender that can keep a steady rate.
if(TARGET spread_client)
  add_executable(baseline_receiver ${CMAKE_CURRENT_SOURCE_DIR}/baseline_receiver.cpp)
  target_link_libraries(baseline_receiver PRIVATE spread_client)
  add_executable(bench_sender ${CMAKE_CURRENT_SOURCE_DIR}/bench_sender.cpp)
  target_link_libraries(bench_sender PRIVATE spread_client)
endif()
