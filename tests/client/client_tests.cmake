# The client's state machine against the scripted engine.
add_executable(hvn_client_tests client_script_test.cc fake_engine.cc)
target_link_libraries(hvn_client_tests PRIVATE hvn_client GTest::gtest_main)
target_compile_definitions(hvn_client_tests PRIVATE HVN_CLIENT_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
# One test per script: a changed script list relinks, so the tests are listed again.
set_property(TARGET hvn_client_tests APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/data/scripts.json)
gtest_discover_tests(hvn_client_tests)
