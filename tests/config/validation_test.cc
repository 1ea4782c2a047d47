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

// Rules as the browser reads them; "MAP * ~NOTFOUND" keeps a row off DNS.
TEST(UrlHelpers, ResolverRulesAgreeWithTheBrowser) {
  struct Case {
    const char* rules;
    const char* url;
    bool loopback, privateNetwork;
  };
  const Case cases[] = {
      {"MAP mapped.test 127.0.0.1", "http://MAPPED.test:81/", true, false},
      {"MAP *.wild.test 10.1.2.3, MAP * ~NOTFOUND", "https://a.b.wild.test/", false, true},
      {"MAP *.wild.test 10.1.2.3, MAP * ~NOTFOUND", "https://wild.test/", false, false},
      {"MAP a.test 127.0.0.1, MAP *.test 10.0.0.1", "http://a.test/", true, false},  // first MAP wins
      {"MAP a.test 127.0.0.1, MAP *.test 10.0.0.1", "ws://b.test/", false, true},
      {"MAP * 10.0.0.1", "http://x.localhost/", true, true},  // a rule adds, never hides
      {"MAP * 10.0.0.1, EXCLUDE x.localhost", "http://x.localhost/", true, false},  // EXCLUDE anywhere
      {"MAP port.test:8080 127.0.0.1, MAP * ~NOTFOUND", "http://port.test:8080/", true, false},
      {"MAP port.test:8080 127.0.0.1, MAP * ~NOTFOUND", "http://port.test/", false, false},
      {"MAP port.test:443 127.0.0.1, MAP * ~NOTFOUND", "wss://port.test/", true, false},
      {"MAP 1.2.3.4 [::1]:80", "http://0x01020304/", true, false},
      {"MAP 2001:db8::1:0:0:1 10.0.0.1", "http://[2001:DB8:0:0:1:0:0:1]/", false, true},
      {"MAP alias.test foo.localhost:99", "http://alias.test/", true, false},
      {"MAP bad.test 127.0.0.1:x, MAP * ~NOTFOUND", "http://bad.test/", false, false},
      {" map  spaced.test   127.0.0.1 ,MAP * ~NOTFOUND", "http://spaced.test/", true, false},
      {"MAP mapped.test 127.0.0.1, MAP * ~NOTFOUND", "http://mapped.test./", false, false},
  };
  for (const auto& c : cases) {
    const hvn::HostResolver resolver(c.rules);
    EXPECT_EQ(resolver.Reach(c.url).loopback, c.loopback) << c.rules << " " << c.url;
    EXPECT_EQ(resolver.Reach(c.url).privateNetwork, c.privateNetwork) << c.rules << " " << c.url;
  }
}

class ValidationTest : public cfgtest::RunLogTest {};

// Spellings the browser's URL parser accepts (or rejects) for one host, and
// what the configuration check says of them. L: loopback, P: private.
TEST_F(ValidationTest, HostSpellings) {
  const std::pair<const char*, char> cases[] = {
      {"http://2130706433/", 'L'}, {"http://0x7f000001/", 'L'}, {"http://0177.0.0.1/", 'L'},
      {"http://127.1/", 'L'}, {"HTTP://0X7F.1:8080/x", 'L'}, {"http://127.0.0.1./", 'L'},
      {"http://0.0.0.0/", 'L'}, {"http://0/", 'L'}, {"http://%31%32%37.0.0.1/", 'L'},
      {"http://\uFF11\uFF12\uFF17\u3002\uFF10.0.1\u00AD/", 'L'}, {"http://\\/127.1/", 'L'},
      {"http://[::1]/", 'L'}, {"http://[0:0:0:0:0:0:0:1]:8080/", 'L'}, {"http://[::ffff:127.0.0.1]/", 'L'},
      {"http://[::FFFF:7f00:1]/", 'L'}, {"http://[::127.0.0.1]/", 'L'}, {"http://[::]/", 'L'},
      {"http://[::0x7f.0.0.1]/", 'L'}, {"http://[::ffff:012.0.0.1]/", 'P'}, {"http://[::127.1]/", '-'},
      {"http://[fd00::1]/", 'P'}, {"http://[fe80::1]/", 'P'}, {"http://[fe80::1%25eth0]/", '-'},
      {"http://[::ffff:a00:1]/", 'P'}, {"http://169.254.169.254/", 'P'}, {"http://10.0.0.1/", 'P'},
      {"http://10.65535/", 'P'}, {"http://100.64.0.1/", 'P'}, {"http://3232235777/", 'P'},
      {"http://172.31.255.255/", 'P'}, {"http://172.32.0.1/", '-'}, {"http://0127.0.0.1/", '-'},
      {"http://localhost./", 'L'}, {"https://FOO.LOCALHOST:1/", 'L'}, {"ws://localhost#frag", 'L'},
      {"http://localhost.example.com/", '-'}, {"http://127.0.0.1@example.com/", '-'},
      {"http://example.com@127.0.0.1/", 'L'}, {"http://u:p@[::1]:80/", 'L'}, {"http://a.test#@127.0.0.1/", '-'},
      {"http://127.0.0.1\\@a.test/", 'L'}, {"ws://0x7f.1/", 'L'}, {"wss://[::1]:9/", 'L'},
      {"blob:http://127.1/x", 'L'}, {"http://1.2.3.4.5/", '-'}, {"http://0x100000000/", '-'},
      {"http://127.0.0.1../", '-'}, {"http://127.0.0.1:99999/", '-'}, {"localhost:80/x", '-'},
      {"http://example.com/?next=http://localhost/", '-'},
  };
  const hvn::HostResolver offline("MAP * ~NOTFOUND");
  for (const auto& [url, kind] : cases) {
    EXPECT_EQ(offline.Reach(url).loopback, kind == 'L') << url;
    EXPECT_EQ(offline.Reach(url).privateNetwork, kind == 'P') << url;
    ConversionSettings s;
    s.url = url;
    s.localhostEnabled = s.privateNetworksEnabled = false;
    s.hostResolverRules = "MAP * ~NOTFOUND";
    const auto lines = CaptureLog([&] { ValidateSettings(s); });
    const char* error = kind == 'L' ? "ERROR: [main] Conversion of localhost URLs is disabled."
                        : kind == 'P' ? "ERROR: [main] Conversion of private-network URLs is disabled."
                                      : nullptr;
    EXPECT_EQ(lines, error ? std::vector<std::string>{error} : std::vector<std::string>{}) << url;
  }
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
