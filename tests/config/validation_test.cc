#include "config/validation.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using cfgtest::CaptureLog;
using cfgtest::TempDir;
using cfgtest::WriteFile;
using S = ConversionSettings&;

TEST(UrlHelpers, IsLocalhostAndIsFileUrl) {
  const std::pair<const char*, bool> localhost[] = {
      {"http://localhost:8080/x", true}, {"https://LOCALHOST", true}, {"http://127.0.0.1:3000?q", true},
      {"http://127.evil.test/", true}, {"http://[::1]/", true}, {"ws://localhost#frag", true},
      {"http://127.", true}, {"http://[::1]:8080/", false}, {"http://0.0.0.0/", false},
      {"http://user@localhost/", false}, {"http://localhost.test/", false}, {"http://127/", false},
      {"localhost:80/x", false}, {"http://[]/", false}, {"http://[/", false},
      {"http://example.com/?next=http://localhost/", false},
  };
  for (const auto& [url, expected] : localhost) EXPECT_EQ(isLocalhostUrl(url), expected) << url;
  const std::pair<const char*, bool> file[] = {
      {"file:///tmp/a", true}, {"FILE://x", true}, {"file:/", false}, {"http://file:///", false}, {"", false}};
  for (const auto& [url, expected] : file) EXPECT_EQ(isFileUrl(url), expected) << url;
}

class ValidationTest : public cfgtest::RunLogTest {};

TEST_F(ValidationTest, NormalizeUrl) {
  struct Case {
    std::string url, html, expected;
    const char* line;  // the logged prefix, or nullptr for no line
  };
  const char* kNoScheme = "[main] No scheme provided, using: ";
  const char* kLocal = "[main] Local path detected, using: ";
  const Case cases[] = {
      {"example.com/page", "", "https://example.com/page", kNoScheme},
      {"a.test/?u=http://b", "", "a.test/?u=http://b", nullptr},
      {"C:\\dir\\a b.html", "", "file:///C:/dir/a b.html", kLocal},
      {"d:/x\\y", "", "file:///d:/x/y", kLocal},
      {"C:", "", "https://C:", kNoScheme},
      {"1:/x", "", "https://1:/x", kNoScheme},
      {"/tmp/page.html", "", "file:///tmp/page.html", kLocal},
      {"", "", "", nullptr},
      {"example.com", "<p>x</p>", "example.com", nullptr},
  };
  RunLog::Get().SetVerbose(true);
  for (const auto& c : cases) {
    ConversionSettings s;
    s.url = c.url;
    s.htmlString = c.html;
    const auto lines = CaptureLog([&] { NormalizeUrl(s); });
    EXPECT_EQ(s.url, c.expected) << c.url;
    EXPECT_EQ(lines, c.line ? std::vector<std::string>{c.line + c.expected} : std::vector<std::string>{}) << c.url;
  }
}

TEST_F(ValidationTest, ChecksInOrder) {
  TempDir dir;
  WriteFile(dir.File("plainfile"), "x");
  const std::string missing = dir.File("missing/sub");
  const std::string kViewport = "Viewport dimensions must be positive.", kPaper = "Paper dimensions must be positive.";
  const std::string kFiles = "Conversion of local files is disabled.";
  const std::string kHost = "Conversion of localhost URLs is disabled.";
  const std::pair<std::function<void(S)>, std::string> cases[] = {  // empty error: passes
      {[](S) {}, ""},
      {[](S s) { s.viewportWidth = 0; }, kViewport},
      {[](S s) { s.viewportHeight = -1; }, kViewport},
      {[](S s) { s.viewportHeight = 0; }, ""},
      {[](S s) { s.paperHeight = 0; }, kPaper},
      {[](S s) { s.paperWidth = -1; s.marginTop = -1; s.viewportWidth = 5; }, kPaper},
      {[](S s) { s.marginRight = -0.5; }, "Margins cannot be negative."},
      {[](S s) { s.scale = -1; }, "Scale cannot be negative."},
      {[](S s) { s.scale = 0; }, ""},
      {[](S s) { s.url.clear(); }, "URL is empty."},
      {[](S s) { s.url.clear(); s.htmlString = "<p>"; }, ""},
      {[](S s) { s.output.clear(); }, "Output path is empty."},
      {[](S s) { s.output = "out.pdf"; }, ""},
      {[](S s) { s.output = "/out.pdf"; }, ""},
      {[&](S s) { s.output = missing + "/o.pdf"; }, "Output directory does not exist: " + missing},
      {[&](S s) { s.output = missing + "\\o.pdf"; }, "Output directory does not exist: " + missing},
      {[&](S s) { s.output = dir.File("o.pdf"); }, ""},
      {[&](S s) { s.output = dir.File("plainfile") + "/o.pdf"; }, ""},  // only existence is checked
      {[](S s) { s.localFilesEnabled = false; s.url = "FILE:///x"; }, kFiles},
      {[](S s) { s.localFilesEnabled = false; s.url.clear(); s.htmlString = "x"; s.baseUrl = "file:///b/"; }, kFiles},
      {[](S s) { s.url = "file:///x"; }, ""},
      {[](S s) { s.localFilesEnabled = false; s.url = "/srv/page.html"; }, kFiles},  // normalised first
      {[](S s) { s.localhostEnabled = false; s.url = "http://localhost:1/"; }, kHost},
      {[](S s) { s.localhostEnabled = false; s.baseUrl = "http://127.0.0.1/"; }, kHost},
      {[](S s) {
         s.localhostEnabled = s.localFilesEnabled = false;
         s.url = "file:///a";
         s.baseUrl = "http://localhost/";
       },
       kFiles},
      {[](S s) { s.enableJavascript = false; s.startupModeManual = true; s.windowStatus = "r"; },
       "startupModeManual requires enableJavascript to be true."},
      {[](S s) { s.enableJavascript = false; s.windowStatus = "r"; },
       "windowStatus requires enableJavascript to be true."},
      {[](S s) { s.outputFormat = "png"; s.landscape = true; },
       "landscape is not supported with output-format=png. Use PDF output, or rotate the resulting image externally."},
      {[](S s) { s.outputFormat = "PNG"; s.landscape = true; }, ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [edit, error] = cases[i];
    ConversionSettings s;
    s.url = "https://example.com/";
    edit(s);
    bool ok = false;
    const auto lines = CaptureLog([&] {
      NormalizeUrl(s);
      ok = ValidateSettings(s);
    });
    EXPECT_EQ(ok, error.empty()) << "case " << i;
    EXPECT_EQ(lines, error.empty() ? std::vector<std::string>{} : std::vector<std::string>{"ERROR: [main] " + error})
        << "case " << i;
  }
}

}  // namespace
