# The configuration: scanner, grammar and model, the outputs it opens, the
# daemon's start-up on good and bad files, and the fuzzer of the reader.
wkp_unit_test(test_config_scanner ${CMAKE_CURRENT_SOURCE_DIR}/config_scanner_test.cpp)
# The scanner's token kinds come from the generated parser header.
target_include_directories(test_config_scanner PRIVATE ${CMAKE_BINARY_DIR}/config)
add_dependencies(test_config_scanner config_generated)

wkp_unit_test(test_config_load ${CMAKE_CURRENT_SOURCE_DIR}/config_load_test.cpp)
# One case runs the daemon of the same build on files it cannot read.
target_compile_definitions(test_config_load PRIVATE WKP_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(test_config_load wickerpost)
wkp_unit_test(test_config_model ${CMAKE_CURRENT_SOURCE_DIR}/config_model_test.cpp)
wkp_unit_test(test_config_load_outputs ${CMAKE_CURRENT_SOURCE_DIR}/config_load_outputs_test.cpp)

wkp_process_test(test_config_outputs ${CMAKE_CURRENT_SOURCE_DIR}/config_outputs_test.cpp)
add_dependencies(test_config_outputs wickerpost)

wkp_unit_test(test_config_example ${CMAKE_CURRENT_SOURCE_DIR}/config_example_test.cpp)
target_compile_definitions(test_config_example PRIVATE WKP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# libFuzzer target of the configuration reader (scripts/checks/fuzz-config.sh
# builds it with clang and AddressSanitizer and runs it).
if(WKP_FUZZ)
  add_executable(config_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/config_fuzz.cpp)
  target_link_libraries(config_fuzz PRIVATE wickerpost_core)
  target_compile_options(config_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_options(config_fuzz PRIVATE -fsanitize=fuzzer,address -Wl,--wrap=re_compile_pattern)
endif()
