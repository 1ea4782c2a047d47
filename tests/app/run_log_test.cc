#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "app/run_log.h"
#include "tests/config/test_util.h"

namespace {

// Quiet mode shows only errors but the file gets every line; verbose shows
// all; a log file in a missing folder is ignored.
TEST(RunLog, LinesPerModeAndFile) {
  const std::string path = "/tmp/hvn_runlog_" + std::to_string(getpid()) + ".log";
  const std::string ms = "\\[\\+(0|[1-9][0-9]?)ms\\] ", late = "\\[\\+153[2-9]ms\\] ";
  const std::string ordinary = "\\[main\\] ordinary\n", broken = "ERROR: \\[main\\] broken\n";
  struct Case {
    bool verbose;
    long long startedMsAgo;
    std::string file, out, fileText;
  } const cases[] = {
      {false, 0, path, ms + broken, ms + ordinary + ms + broken},
      {true, 1532, "/nonexistent-dir/x.log", late + ordinary + late + broken, ""},
  };
  for (const Case& c : cases) {
    RunLog::Get().SetStartTime(RunLog::NowNs() - c.startedMsAgo * 1000000LL);
    RunLog::Get().SetVerbose(c.verbose);
    RunLog::Get().SetLogFilePath(c.file);
    testing::internal::CaptureStdout();
    LogLine("[main] ordinary");
    LogErrorLine("[main] broken");
    const std::string out = testing::internal::GetCapturedStdout();
    RunLog::Get().SetLogFilePath("");
    EXPECT_TRUE(std::regex_match(out, std::regex(c.out))) << out;
    const std::string text = cfgtest::ReadFile(c.file);
    EXPECT_TRUE(std::regex_match(text, std::regex(c.fileText))) << text;
  }
  RunLog::Get().SetVerbose(false);
  std::remove(path.c_str());
}

}  // namespace
