#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new e2e::ServerEnvironment);
  return RUN_ALL_TESTS();
}
