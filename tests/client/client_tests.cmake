# State-machine tests of the client against the scripted engine.
add_executable(hvn_client_tests client_state_test.cc requests_test.cc managed_trim_test.cc fake_engine.cc)
target_link_libraries(hvn_client_tests PRIVATE hvn_client GTest::gtest_main)
gtest_discover_tests(hvn_client_tests)
