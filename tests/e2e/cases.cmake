# Rows are read when the tests run; a new case file needs a rebuild to be listed.
halvern_e2e_test(e2e_cases_tests ${CMAKE_CURRENT_LIST_DIR}/cases_test.cc)
target_compile_definitions(e2e_cases_tests PRIVATE HVN_E2E_CASES_DIR="${CMAKE_CURRENT_LIST_DIR}/cases")
target_link_libraries(e2e_cases_tests PRIVATE hvn_pdfink)
