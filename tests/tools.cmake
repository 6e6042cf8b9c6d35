# minispread and spcat: protocol functions on exact bytes, then the real
# binaries as processes, talked to through raw sockets, the client library
# and spcat.
wkp_unit_test(test_tools_proto ${CMAKE_CURRENT_SOURCE_DIR}/tools_proto_test.cpp)
target_link_libraries(test_tools_proto PRIVATE ms_proto)

wkp_process_test(test_tools_minispread ${CMAKE_CURRENT_SOURCE_DIR}/tools_minispread_test.cpp)
add_dependencies(test_tools_minispread minispread spcat)
wkp_process_test(test_tools_minispread_delivery ${CMAKE_CURRENT_SOURCE_DIR}/tools_minispread_delivery_test.cpp)
add_dependencies(test_tools_minispread_delivery minispread spcat)
wkp_process_test(test_tools_minispread_peers ${CMAKE_CURRENT_SOURCE_DIR}/tools_minispread_peers_test.cpp)
add_dependencies(test_tools_minispread_peers minispread spcat)

wkp_process_test(test_tools_spcat ${CMAKE_CURRENT_SOURCE_DIR}/tools_spcat_test.cpp)
add_dependencies(test_tools_spcat minispread spcat)

# spcat's position file on bytes.
wkp_unit_test(test_tools_spcat_position ${CMAKE_CURRENT_SOURCE_DIR}/tools_spcat_position_test.cpp)
target_link_libraries(test_tools_spcat_position PRIVATE spcat_position)

# spcat -f: rotations, truncations, kills and restarts against minispread.
wkp_process_test(test_tools_spcat_follow ${CMAKE_CURRENT_SOURCE_DIR}/tools_spcat_follow_test.cpp)
add_dependencies(test_tools_spcat_follow minispread spcat)
wkp_process_test(test_tools_spcat_follow_rotation ${CMAKE_CURRENT_SOURCE_DIR}/tools_spcat_follow_rotation_test.cpp)
add_dependencies(test_tools_spcat_follow_rotation minispread spcat)

# libFuzzer target of spcat's position file decoder
# (scripts/checks/fuzz-spcat-position.sh builds and runs it).
if(WKP_FUZZ)
  add_executable(spcat_position_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/tools_spcat_position_fuzz.cpp)
  target_link_libraries(spcat_position_fuzz PRIVATE spcat_position)
  target_compile_options(spcat_position_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(spcat_position_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
