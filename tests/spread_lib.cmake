# Our Spread client library: the wire decoders on exact bytes, its local
# behaviour (names, times, errors, refused arguments), and whole sessions
# against a scripted fake daemon running in a thread.
wkp_unit_test(test_spread_wire ${CMAKE_CURRENT_SOURCE_DIR}/spread_wire_test.cpp)
wkp_unit_test(test_spread_api ${CMAKE_CURRENT_SOURCE_DIR}/spread_api_test.cpp
                              ${CMAKE_CURRENT_SOURCE_DIR}/spread_c_api.c)
wkp_unit_test(test_spread_session ${CMAKE_CURRENT_SOURCE_DIR}/spread_session_test.cpp)
wkp_unit_test(test_spread_events ${CMAKE_CURRENT_SOURCE_DIR}/spread_events_test.cpp)
