#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "runlog/run_log.h"
#include "tests/support/files.h"

namespace cfgtest {

using testfiles::ReadFile;
using testfiles::TempDir;
using testfiles::WriteFile;

// Run-log lines without their "[+Nms] " prefix.
inline std::vector<std::string> StripTimes(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    const size_t close = line.find("ms] ");
    lines.push_back(line.rfind("[+", 0) == 0 && close != std::string::npos ? line.substr(close + 4) : line);
  }
  return lines;
}

inline std::vector<std::string> CaptureLog(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  return StripTimes(testing::internal::GetCapturedStdout());
}

// A run log that shows every line on standard output.
inline RunLog VerboseLog() {
  RunLog log;
  log.SetVerbose(true);
  return log;
}

// The stage under test reads the environment.
inline void ResetRunLog() { unsetenv("HALVERN_DIRECT_NAVIGATION"); }
class RunLogTest : public testing::Test {
 protected:
  void SetUp() override { ResetRunLog(); }
  void TearDown() override { ResetRunLog(); }
};

}  // namespace cfgtest
