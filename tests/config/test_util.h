// Shared helpers for the configuration tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_log.h"
#include "config/utf8.h"

namespace cfgtest {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "hvn_config_test_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs fn with standard output captured; returns the run-log lines with the
// "[+Nms] " prefix removed (so "ERROR: [main] ..." for error lines).
inline std::vector<std::string> CaptureLog(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  const std::string text = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t close = line.find("ms] ");
    if (line.rfind("[+", 0) == 0 && close != std::string::npos) line = line.substr(close + 4);
    lines.push_back(line);
  }
  return lines;
}

inline std::vector<std::u32string> Args(const std::vector<std::string>& rest) {
  std::vector<std::u32string> out{U"halvern"};
  for (const auto& a : rest) out.push_back(DecodeUtf8Lenient(a));
  return out;
}

// Resets the process-wide run log around each test; the stage under test
// changes its verbose flag and log file.
class RunLogTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    RunLog::Get().SetVerbose(false);
    RunLog::Get().SetLogFilePath("");
    unsetenv("HALVERN_DIRECT_NAVIGATION");
  }
};

}  // namespace cfgtest
