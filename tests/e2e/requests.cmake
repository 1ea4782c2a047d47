halvern_e2e_test(e2e_requests_tests ${CMAKE_CURRENT_LIST_DIR}/requests_test.cc)
# The tests are named by the cases: a new case list needs a new test list.
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/requests_test.cc APPEND PROPERTY
  OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/data/requests.json)
