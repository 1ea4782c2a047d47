#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "app/run_folders.h"
#include "app/run_log.h"
#include "tests/config/test_util.h"

namespace {

namespace fs = std::filesystem;

TEST(InjectBaseHref, PlacesBaseElement) {
  struct Case {
    const char *html, *base, *expected;
  } cases[] = {
      {"<html><HEAD><Title>X</Title></HEAD>", "http://b/", "<html><HEAD><base href=\"http://b/\"><Title>X</Title></HEAD>"},
      {"<head lang=\"en\"><body>", "u", "<head lang=\"en\"><base href=\"u\"><body>"},
      {"<header></header><head>", "u", "<base href=\"u\"><header></header><head>"},  // <header> is no head
      {"<head", "u", "<base href=\"u\"><head"},
      {"<p>Caf\xC3\xA9</p>", "", "<p>Caf\xC3\xA9</p>"},
  };
  for (const Case& c : cases) EXPECT_EQ(InjectBaseHref(c.html, c.base), c.expected) << c.html;
}

TEST(RunFolder, UnderTmpdirWithAFreshVersion4Uuid) {
  std::regex re("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string u = NewUuidText();
    EXPECT_TRUE(std::regex_match(u, re)) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 200u);

  auto root = fs::temp_directory_path() / ("hvn_folder_test_" + std::to_string(getpid()));
  fs::create_directories(root);
  setenv("TMPDIR", (root.string() + "/").c_str(), 1);
  std::string a = MakeRunFolder("cef_cache_");
  EXPECT_TRUE(std::regex_match(a.substr(root.string().size()), std::regex("/cef_cache_[-0-9A-F]{36}"))) << a;
  EXPECT_TRUE(fs::is_directory(a));
  setenv("TMPDIR", "", 1);
  std::string b = MakeRunFolder("cef_log_");
  EXPECT_EQ(b.rfind("/tmp/cef_log_", 0), 0u) << b;
  unsetenv("TMPDIR");
  fs::remove_all(root);
  fs::remove_all(b);
}

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
