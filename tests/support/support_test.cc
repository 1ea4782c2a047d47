// The end-to-end harness checked on its own where a fault would hide real
// failures: leftover detection.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

namespace {

TEST(Run, ReportsAndKillsLeftovers) {
  // One child in the run's group, one that escaped to a session of its own,
  // and one that also dropped the environment (as the browser does); all
  // hold standard output, which must not stall the harness.
  e2e::RunResult r = e2e::Run({"-c", "sleep 30 & setsid sleep 31 & setsid env -i /bin/sleep 32 & echo started"},
                              {.leftoverGraceMs = 300, .exe = "/bin/sh"});
  EXPECT_EQ(r.out, "started\n");
  EXPECT_LT(r.wallMs, 1000);
  ASSERT_EQ(r.leftovers.size(), 3u) << ::testing::PrintToString(r.leftovers);
  usleep(200 * 1000);
  for (const std::string& l : r.leftovers) {
    std::string stat = e2e::ReadFile("/proc/" + std::to_string(std::stoi(l)) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << l << " still alive";
  }
}

}  // namespace
