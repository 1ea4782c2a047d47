#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "app/run_log.h"

namespace {

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override { RunLog::Get().SetStartTime(RunLog::NowNs()); }
  void TearDown() override {
    RunLog::Get().SetLogFilePath("");
    RunLog::Get().SetVerbose(false);
    std::remove(path.c_str());
  }
  std::string Captured(bool verbose, const std::string& file) {
    RunLog::Get().SetVerbose(verbose);
    RunLog::Get().SetLogFilePath(file);
    testing::internal::CaptureStdout();
    LogLine("[main] ordinary");
    LogErrorLine("[main] broken");
    return testing::internal::GetCapturedStdout();
  }
  std::string path = "/tmp/hvn_runlog_" + std::to_string(getpid()) + ".log";
};

const char* kMs = "\\[\\+(0|[1-9][0-9]?)ms\\] ";

TEST_F(RunLogTest, QuietModeShowsOnlyErrorsButTheFileGetsAll) {
  std::string out = Captured(false, path);
  EXPECT_TRUE(std::regex_match(out, std::regex(std::string(kMs) + "ERROR: \\[main\\] broken\n"))) << out;
  std::ifstream in(path);
  std::string file(std::istreambuf_iterator<char>(in), {});
  EXPECT_TRUE(std::regex_match(
      file, std::regex(std::string(kMs) + "\\[main\\] ordinary\n" + kMs + "ERROR: \\[main\\] broken\n")))
      << file;
}

TEST_F(RunLogTest, VerboseShowsEverythingAndAMissingFolderIsIgnored) {
  RunLog::Get().SetStartTime(RunLog::NowNs() - 1532 * 1000000LL);
  std::string out = Captured(true, "/nonexistent-dir/x.log");
  EXPECT_TRUE(std::regex_match(out, std::regex("\\[\\+153[2-9]ms\\] \\[main\\] ordinary\n"
                                               "\\[\\+153[2-9]ms\\] ERROR: \\[main\\] broken\n")))
      << out;
}

}  // namespace
