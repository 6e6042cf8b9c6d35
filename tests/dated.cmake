# Dated file names on the real daemon: minispread, wickerpost and spcat.
wkp_process_test(test_dated dated_test.cpp)
add_dependencies(test_dated wickerpost minispread spcat)
