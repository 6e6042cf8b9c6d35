# The daemon benchmark (bench/daemon_bench.sh) runs wickerpost, minispread
# and these: a baseline receiver on our client library that only receives
# and writes each message, a sender that can keep a steady rate, and the
# clock of its latency runs, which notes when each line reaches the files.
if(TARGET spread_client)
  add_executable(baseline_receiver ${CMAKE_CURRENT_SOURCE_DIR}/baseline_receiver.cpp)
  target_link_libraries(baseline_receiver PRIVATE spread_client)
  add_executable(bench_sender ${CMAKE_CURRENT_SOURCE_DIR}/bench_sender.cpp)
  target_link_libraries(bench_sender PRIVATE spread_client)
  add_executable(arrival_watch ${CMAKE_CURRENT_SOURCE_DIR}/arrival_watch.cpp)
endif()
