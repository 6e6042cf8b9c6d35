# Operating the daemon: wickerpost-check against the daemon on the same
# files; installing into a scratch directory and running what was
# installed; the manual pages and the service files, read by the tools that
# read them. Installs write install_manifest.txt into the build directory,
# so the install cases never run at the same time.
wkp_process_test(test_check ${CMAKE_CURRENT_SOURCE_DIR}/check_test.cpp)
add_dependencies(test_check wickerpost wickerpost-check)

wkp_process_test(test_install ${CMAKE_CURRENT_SOURCE_DIR}/install_test.cpp RESOURCE_LOCK install_manifest)
target_compile_definitions(test_install PRIVATE WKP_CMAKE_COMMAND="${CMAKE_COMMAND}")
add_dependencies(test_install wickerpost wickerpost-check minispread spcat)
