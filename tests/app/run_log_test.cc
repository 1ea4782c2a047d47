#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/run_log.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (std::filesystem::temp_directory_path() / ("hvn_runlog_" + std::to_string(getpid()) + ".log")).string();
    std::filesystem::remove(path);
    RunLog::Get().SetStartTime(RunLog::NowNs());
  }
  void TearDown() override {
    RunLog::Get().SetLogFilePath("");
    RunLog::Get().SetVerbose(false);
    std::filesystem::remove(path);
  }
  std::string path;
};

TEST_F(RunLogTest, QuietModeShowsOnlyErrorsButFileGetsAll) {
  RunLog::Get().SetLogFilePath(path);
  testing::internal::CaptureStdout();
  LogLine("[main] ordinary");
  LogErrorLine("[main] broken");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex("\\[\\+(0|[1-9][0-9]?)ms\\] ERROR: \\[main\\] broken\n"))) << out;
  EXPECT_TRUE(std::regex_match(Slurp(path), std::regex("\\[\\+(0|[1-9][0-9]?)ms\\] \\[main\\] ordinary\n\\[\\+(0|[1-9][0-9]?)ms\\] ERROR: \\[main\\] broken\n")))
      << Slurp(path);
}

TEST_F(RunLogTest, VerboseShowsEverythingAndMissingFolderIsIgnored) {
  RunLog::Get().SetVerbose(true);
  RunLog::Get().SetLogFilePath("/nonexistent-dir/x.log");
  RunLog::Get().SetStartTime(RunLog::NowNs() - 1532 * 1000000LL);
  testing::internal::CaptureStdout();
  LogLine("[PdfClient] PDF saved to: /x");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex("\\[\\+153[2-9]ms\\] \\[PdfClient\\] PDF saved to: /x\n"))) << out;
}

}  // namespace
