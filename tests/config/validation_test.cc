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

TEST(UrlHelpers, IsLocalhostUrl) {
  struct Case {
    const char* url;
    bool expected;
  };
  const Case cases[] = {
      {"http://localhost/", true},
      {"http://localhost:8080/x", true},
      {"https://LOCALHOST", true},
      {"http://127.0.0.1", true},
      {"http://127.0.0.1:3000?q", true},
      {"http://127.1.2.3/", true},
      {"http://127.evil.test/", true},
      {"http://[::1]/", true},
      {"http://[::1]", true},
      {"ws://localhost#frag", true},
      {"http://[::1]:8080/", false},
      {"http://0.0.0.0/", false},
      {"http://user@localhost/", false},
      {"http://localhost.test/", false},
      {"http://127/", false},
      {"http://127.", true},
      {"localhost", false},
      {"localhost:80/x", false},
      {"http://", false},
      {"http://[]/", false},
      {"http://[/", false},
      {"http://example.com/?next=http://localhost/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isLocalhostUrl(c.url), c.expected) << c.url;
}

TEST(UrlHelpers, IsFileUrl) {
  for (const auto& [url, expected] : std::vector<std::pair<std::string, bool>>{
           {"file:///tmp/a", true}, {"FILE://x", true}, {"File://", true}, {"file:/", false},
           {"file:", false}, {"http://file:///", false}, {"", false}}) {
    EXPECT_EQ(isFileUrl(url), expected) << url;
  }
}

class ValidationTest : public cfgtest::RunLogTest {};

TEST_F(ValidationTest, NormalizeUrl) {
  struct Case {
    std::string url;
    std::string html;
    std::string expected;
    std::string line;  // empty: no line
  };
  const Case cases[] = {
      {"example.com/page", "", "https://example.com/page", "[main] No scheme provided, using: https://example.com/page"},
      {"about:blank", "", "https://about:blank", "[main] No scheme provided, using: https://about:blank"},
      {"data:text/html,x", "", "https://data:text/html,x", "[main] No scheme provided, using: https://data:text/html,x"},
      {"a.test/?u=http://b", "", "a.test/?u=http://b", ""},
      {"ftp://x", "", "ftp://x", ""},
      {"C:\\dir\\a b.html", "", "file:///C:/dir/a b.html", "[main] Local path detected, using: file:///C:/dir/a b.html"},
      {"d:/x\\y", "", "file:///d:/x/y", "[main] Local path detected, using: file:///d:/x/y"},
      {"C:", "", "https://C:", "[main] No scheme provided, using: https://C:"},
      {"1:/x", "", "https://1:/x", "[main] No scheme provided, using: https://1:/x"},
      {"/tmp/page.html", "", "file:///tmp/page.html", "[main] Local path detected, using: file:///tmp/page.html"},
      {"", "", "", ""},
      {"example.com", "<p>x</p>", "example.com", ""},
  };
  RunLog::Get().SetVerbose(true);
  for (const auto& c : cases) {
    ConversionSettings s;
    s.url = c.url;
    s.htmlString = c.html;
    const auto lines = CaptureLog([&] { NormalizeUrl(s); });
    EXPECT_EQ(s.url, c.expected) << c.url;
    EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line}) << c.url;
  }
}

TEST_F(ValidationTest, ChecksInOrder) {
  TempDir dir;
  WriteFile(dir.File("plainfile"), "x");
  struct Case {
    const char* name;
    std::function<void(ConversionSettings&)> edit;
    std::string error;  // empty: passes
  };
  const std::string missing = dir.File("missing/sub");
  const Case cases[] = {
      {"defaults with url pass", [](ConversionSettings&) {}, ""},
      {"viewport width 0", [](ConversionSettings& s) { s.viewportWidth = 0; }, "Viewport dimensions must be positive."},
      {"viewport height -1", [](ConversionSettings& s) { s.viewportHeight = -1; },
       "Viewport dimensions must be positive."},
      {"viewport height 0 passes", [](ConversionSettings& s) { s.viewportHeight = 0; }, ""},
      {"paper height 0", [](ConversionSettings& s) { s.paperHeight = 0; }, "Paper dimensions must be positive."},
      {"paper before margins", [](ConversionSettings& s) { s.paperWidth = -1; s.marginTop = -1; s.viewportWidth = 5; },
       "Paper dimensions must be positive."},
      {"margin -0.5", [](ConversionSettings& s) { s.marginRight = -0.5; }, "Margins cannot be negative."},
      {"scale -1", [](ConversionSettings& s) { s.scale = -1; }, "Scale cannot be negative."},
      {"scale 0 passes", [](ConversionSettings& s) { s.scale = 0; }, ""},
      {"url and html empty", [](ConversionSettings& s) { s.url.clear(); }, "URL is empty."},
      {"html alone passes", [](ConversionSettings& s) { s.url.clear(); s.htmlString = "<p>"; }, ""},
      {"output empty", [](ConversionSettings& s) { s.output.clear(); }, "Output path is empty."},
      {"output without folder", [](ConversionSettings& s) { s.output = "out.pdf"; }, ""},
      {"output at root", [](ConversionSettings& s) { s.output = "/out.pdf"; }, ""},
      {"output under missing folder", [&](ConversionSettings& s) { s.output = missing + "/o.pdf"; },
       "Output directory does not exist: " + missing},
      {"backslash separator", [&](ConversionSettings& s) { s.output = missing + "\\o.pdf"; },
       "Output directory does not exist: " + missing},
      {"existing folder", [&](ConversionSettings& s) { s.output = dir.File("o.pdf"); }, ""},
      {"regular file as folder passes", [&](ConversionSettings& s) { s.output = dir.File("plainfile") + "/o.pdf"; }, ""},
      {"local file url disabled", [](ConversionSettings& s) { s.localFilesEnabled = false; s.url = "FILE:///x"; },
       "Conversion of local files is disabled."},
      {"local file baseUrl disabled",
       [](ConversionSettings& s) { s.localFilesEnabled = false; s.url.clear(); s.htmlString = "x"; s.baseUrl = "file:///b/"; },
       "Conversion of local files is disabled."},
      {"local files allowed", [](ConversionSettings& s) { s.url = "file:///x"; }, ""},
      {"localhost disabled", [](ConversionSettings& s) { s.localhostEnabled = false; s.url = "http://localhost:1/"; },
       "Conversion of localhost URLs is disabled."},
      {"localhost baseUrl disabled",
       [](ConversionSettings& s) { s.localhostEnabled = false; s.baseUrl = "http://127.0.0.1/"; },
       "Conversion of localhost URLs is disabled."},
      {"file check before localhost check",
       [](ConversionSettings& s) { s.localhostEnabled = false; s.localFilesEnabled = false; s.url = "file:///a"; s.baseUrl = "http://localhost/"; },
       "Conversion of local files is disabled."},
      {"manual start without js",
       [](ConversionSettings& s) { s.enableJavascript = false; s.startupModeManual = true; s.windowStatus = "r"; },
       "startupModeManual requires enableJavascript to be true."},
      {"window status without js", [](ConversionSettings& s) { s.enableJavascript = false; s.windowStatus = "r"; },
       "windowStatus requires enableJavascript to be true."},
      {"png landscape", [](ConversionSettings& s) { s.outputFormat = "png"; s.landscape = true; },
       "landscape is not supported with output-format=png. Use PDF output, or rotate the resulting image externally."},
      {"PNG landscape passes", [](ConversionSettings& s) { s.outputFormat = "PNG"; s.landscape = true; }, ""},
  };
  for (const auto& c : cases) {
    ConversionSettings s;
    s.url = "https://example.com/";
    c.edit(s);
    bool ok = false;
    const auto lines = CaptureLog([&] { ok = ValidateSettings(s); });
    EXPECT_EQ(ok, c.error.empty()) << c.name;
    EXPECT_EQ(lines, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{"ERROR: [main] " + c.error})
        << c.name;
  }
}

TEST_F(ValidationTest, NormalisedLocalPathMeetsTheLocalFileCheck) {
  ConversionSettings s;
  s.url = "/srv/page.html";
  s.localFilesEnabled = false;
  NormalizeUrl(s);
  auto lines = CaptureLog([&] { EXPECT_FALSE(ValidateSettings(s)); });
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Conversion of local files is disabled."});
}

}  // namespace
