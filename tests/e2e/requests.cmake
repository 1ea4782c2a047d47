halvern_e2e_test(e2e_requests_tests ${CMAKE_CURRENT_LIST_DIR}/requests_test.cc)
# The tests are named by the cases: a new case list needs a new test list.
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/requests_test.cc APPEND PROPERTY
  OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/data/requests.json)
# A resolver that takes long for some names, preloaded by the cases that say so.
add_library(hvn_slow_resolver SHARED ${CMAKE_CURRENT_LIST_DIR}/slow_resolver.cc)
target_link_libraries(hvn_slow_resolver PRIVATE dl)
add_dependencies(e2e_requests_tests hvn_slow_resolver)
target_compile_definitions(e2e_requests_tests PRIVATE HVN_SLOW_RESOLVER="$<TARGET_FILE:hvn_slow_resolver>")
