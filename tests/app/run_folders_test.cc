#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

#include "app/run_folders.h"

namespace {

struct BaseCase {
  const char* html;
  const char* base;
  const char* expected;
};

class InjectBaseHrefTest : public ::testing::TestWithParam<BaseCase> {};

TEST_P(InjectBaseHrefTest, PlacesBaseElement) {
  EXPECT_EQ(InjectBaseHref(GetParam().html, GetParam().base), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InjectBaseHrefTest,
    ::testing::Values(
        BaseCase{"<html><HEAD><Title>X</Title></HEAD>", "http://b/", "<html><HEAD><base href=\"http://b/\"><Title>X</Title></HEAD>"},
        BaseCase{"<head lang=\"en\"><body>", "u", "<head lang=\"en\"><base href=\"u\"><body>"},
        BaseCase{"<header>hi</header>", "u", "<base href=\"u\"><header>hi</header>"},
        BaseCase{"<head", "u", "<base href=\"u\"><head"},
        BaseCase{"<head\n", "u", "<base href=\"u\"><head\n"},
        BaseCase{"<header></header><head>", "u", "<base href=\"u\"><header></header><head>"},
        BaseCase{"<p>Caf\xC3\xA9</p>", "", "<p>Caf\xC3\xA9</p>"},
        BaseCase{"plain", "a\"b", "<base href=\"a\"b\">plain"}));

TEST(UuidTest, FormatVersionAndVariant) {
  std::regex re("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string u = NewUuidText();
    EXPECT_TRUE(std::regex_match(u, re)) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(RunFolderTest, HonoursTmpdirAndRemoves) {
  auto root = std::filesystem::temp_directory_path() / ("hvn_folder_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  std::string withSlash = root.string() + "/";
  setenv("TMPDIR", withSlash.c_str(), 1);
  std::string a = MakeRunFolder("cef_cache_");
  std::string b = MakeRunFolder("cef_cache_");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(root.string() + "/cef_cache_", 0), 0u) << a;
  EXPECT_EQ(a.size(), root.string().size() + 1 + 10 + 36);
  EXPECT_TRUE(std::filesystem::is_directory(a));
  std::filesystem::create_directories(a + "/x/y");
  RemoveFolderWithRetry(a, 5, 1);
  RemoveFolderWithRetry(b, 5, 1);
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_FALSE(std::filesystem::exists(b));
  RemoveFolderWithRetry(a, 5, 1);  // already gone: no error, no wait

  setenv("TMPDIR", "", 1);
  std::string c = MakeRunFolder("cef_log_");
  EXPECT_EQ(c.rfind("/tmp/cef_log_", 0), 0u);
  RemoveFolderWithRetry(c, 1, 0);
  unsetenv("TMPDIR");
  std::filesystem::remove_all(root);
}

}  // namespace
