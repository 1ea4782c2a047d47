halvern_e2e_test(e2e_serve_tests ${CMAKE_CURRENT_LIST_DIR}/serve_test.cc ${CMAKE_CURRENT_LIST_DIR}/serve_client.cc)
# The tests are named by the cases: a new case needs a new test list.
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/serve_test.cc APPEND PROPERTY
  OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/data/serve.json)
