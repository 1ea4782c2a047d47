halvern_e2e_test(e2e_requests_tests ${CMAKE_CURRENT_LIST_DIR}/requests_test.cc)
