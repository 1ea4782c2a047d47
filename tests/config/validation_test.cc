#include "config/validation.h"
#include "config/host_resolver.h"

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

TEST(UrlHelpers, IsFileUrl) {
  const std::pair<const char*, bool> file[] = {
      {"file:///tmp/a", true}, {"FILE://x", true}, {"file:/", false}, {"http://file:///", false}, {"", false}};
  for (const auto& [url, expected] : file) EXPECT_EQ(isFileUrl(url), expected) << url;
}

class ValidationTest : public cfgtest::RunLogTest {};

// Where each URL of data/url_reach.tsv reaches, and what the start-up check
// says of the rows resolved offline.
TEST_F(ValidationTest, UrlReach) {
  std::istringstream in(cfgtest::ReadFile(HVN_CONFIG_TEST_DATA "/url_reach.tsv"));
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream cells(line);
    std::string kind, url, rules;
    std::getline(cells, kind, '\t');
    std::getline(cells, url, '\t');
    const bool offline = !std::getline(cells, rules, '\t');
    if (offline) rules = "MAP * ~NOTFOUND";
    ++rows;
    const hvn::HostResolver resolver(rules);
    EXPECT_EQ(resolver.Reach(url).loopback, kind.find('L') != std::string::npos) << line;
    EXPECT_EQ(resolver.Reach(url).privateNetwork, kind.find('P') != std::string::npos) << line;
    if (!offline) continue;
    ConversionSettings s;
    s.url = url;
    s.localhostEnabled = s.privateNetworksEnabled = false;
    s.hostResolverRules = rules;
    const char* error = kind == "L"   ? "ERROR: [main] Conversion of localhost URLs is disabled."
                        : kind == "P" ? "ERROR: [main] Conversion of private-network URLs is disabled."
                                      : nullptr;
    EXPECT_EQ(CaptureLog([&] { ValidateSettings(s); }), error ? std::vector<std::string>{error} : std::vector<std::string>{})
        << url;
  }
  EXPECT_EQ(rows, 66);
}

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
  const std::string kPrivate = "Conversion of private-network URLs is disabled.";
  auto kStatus = [](const std::string& v) {
    return "Invalid failOnResourceStatus '" + v + "'. Use HTTP status codes and ranges, for example 404,500-599.";
  };
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
      {[](S s) { s.localhostEnabled = false; s.url = "http://10.0.0.1/"; }, ""},
      {[](S s) { s.privateNetworksEnabled = false; s.url = "http://localhost/"; }, ""},
      {[](S s) { s.privateNetworksEnabled = false; s.baseUrl = "http://192.168.0.1/"; }, kPrivate},
      {[](S s) { s.localhostEnabled = s.privateNetworksEnabled = false, s.url = "http://10.0.0.1/",
                 s.baseUrl = "http://mapped.test/", s.hostResolverRules = "MAP mapped.test 127.0.0.1"; }, kHost},
      {[](S s) { s.localhostEnabled = s.localFilesEnabled = false, s.url = "file:///a", s.baseUrl = "http://localhost/"; },
       kFiles},
      {[](S s) { s.enableJavascript = false; s.startupModeManual = true; s.windowStatus = "r"; },
       "startupModeManual requires enableJavascript to be true."},
      {[](S s) { s.enableJavascript = false; s.windowStatus = "r"; },
       "windowStatus requires enableJavascript to be true."},
      {[](S s) { s.outputFormat = "png"; s.landscape = true; },
       "landscape is not supported with output-format=png. Use PDF output, or rotate the resulting image externally."},
      {[](S s) { s.outputFormat = "PNG"; s.landscape = true; }, ""},
      {[](S s) { s.enableJavascript = false; s.waitForExpression = "ready"; },
       "waitForExpression requires enableJavascript to be true."},
      {[](S s) { s.enableJavascript = false; s.waitForNetworkIdle = 500; }, ""},
      {[](S s) { s.waitForNetworkIdle = -1; }, "waitForNetworkIdle cannot be negative."},
      {[](S s) { s.failOnResourceStatus = " 404, 500-599,418"; }, ""},
      {[](S s) { s.failOnResourceStatus = "404,"; }, kStatus("404,")},
      {[](S s) { s.failOnResourceStatus = "599-500"; }, kStatus("599-500")},
      {[](S s) { s.failOnResourceStatus = "4040"; }, kStatus("4040")},
      {[](S s) { s.headerTemplate = "<p>"; s.marginTop = 20; },
       "headerTemplate requires displayHeaderFooter to be true."},
      {[](S s) { s.displayHeaderFooter = true; s.headerTemplate = "<p>"; s.footerTemplate = "<p>"; s.marginTop = 20; },
       "footerTemplate has no room: marginBottom is 0. Give the page that margin."},
      {[](S s) { s.displayHeaderFooter = true; s.footerTemplate = "<p>"; s.marginBottom = 20; }, ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [edit, error] = cases[i];
    ConversionSettings s;
    s.url = "https://example.com/";
    s.hostResolverRules = "MAP example.com ~NOTFOUND";  // no lookup leaves the machine
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
