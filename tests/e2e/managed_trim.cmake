halvern_e2e_test(e2e_managed_trim_tests ${CMAKE_CURRENT_LIST_DIR}/managed_trim_test.cc)
