# Our Spread client library: the wire decoders on exact bytes, its local
# behaviour (names, times, errors, refused arguments), and whole sessions
# against the scripted fake daemon of tests/support/fake_spread.h: the
# plain calls, and the scatter, vs-set and authentication ones.
wkp_unit_test(test_spread_wire ${CMAKE_CURRENT_SOURCE_DIR}/spread_wire_test.cpp)
wkp_unit_test(test_spread_api ${CMAKE_CURRENT_SOURCE_DIR}/spread_api_test.cpp
                              ${CMAKE_CURRENT_SOURCE_DIR}/spread_c_api.c)
# A call whose type differs from what programs expect fails the build.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/spread_c_api.c PROPERTIES
                            COMPILE_OPTIONS "-Werror=incompatible-pointer-types")
wkp_unit_test(test_spread_session ${CMAKE_CURRENT_SOURCE_DIR}/spread_session_test.cpp)
wkp_unit_test(test_spread_readahead ${CMAKE_CURRENT_SOURCE_DIR}/spread_readahead_test.cpp)
wkp_unit_test(test_spread_dropin ${CMAKE_CURRENT_SOURCE_DIR}/spread_dropin_test.cpp)
wkp_unit_test(test_spread_events ${CMAKE_CURRENT_SOURCE_DIR}/spread_events_test.cpp)
# The read-ahead ring against a plain model: a seeded run here, a long one
# in its fuzzer (scripts/checks/fuzz-ring.sh).
wkp_unit_test(test_spread_ring ${CMAKE_CURRENT_SOURCE_DIR}/spread_ring_test.cpp)
if(WKP_FUZZ)
  add_executable(ring_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/ring_fuzz.cpp)
  target_link_libraries(ring_fuzz PRIVATE spread_client)
  target_link_options(ring_fuzz PRIVATE -fsanitize=fuzzer)
endif()
