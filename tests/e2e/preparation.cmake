halvern_e2e_test(e2e_preparation_tests ${CMAKE_CURRENT_LIST_DIR}/preparation_test.cc)
