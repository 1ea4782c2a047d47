halvern_e2e_test(e2e_batch_tests ${CMAKE_CURRENT_LIST_DIR}/batch_test.cc)
