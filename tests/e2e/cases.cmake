halvern_e2e_test(e2e_cases_tests ${CMAKE_CURRENT_LIST_DIR}/cases_test.cc)
target_compile_definitions(e2e_cases_tests PRIVATE HVN_E2E_CASES_DIR="${CMAKE_CURRENT_LIST_DIR}/cases")
# A changed case file rebuilds the driver, so its tests are listed again.
file(GLOB HVN_E2E_CASE_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/cases/*.json)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/cases_test.cc PROPERTIES OBJECT_DEPENDS "${HVN_E2E_CASE_FILES}")
target_link_libraries(e2e_cases_tests PRIVATE hvn_pdfink)
