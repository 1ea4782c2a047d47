halvern_e2e_test(e2e_faults_tests ${CMAKE_CURRENT_LIST_DIR}/faults_test.cc)
