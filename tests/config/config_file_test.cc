#include "config/config_file.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "config/payload.h"
#include "test_util.h"

namespace {

using cfgtest::CaptureLog;
using Lines = std::vector<std::string>;
using Map = std::map<std::string, std::string>;

class ConfigFileTest : public cfgtest::RunLogTest {
 protected:
  bool Apply(const std::string& text, bool encrypted = false) {
    s = ConversionSettings{};
    lines = CaptureLog([&] { ok = ApplyConfigurationBytes(text, "cfg.json", encrypted, s); });
    return ok;
  }
  ConversionSettings s;
  bool ok = false;
  Lines lines;
};

// One key of each kind; "verbose" also switches the run log.
TEST_F(ConfigFileTest, EachKeyKind) {
  ASSERT_TRUE(Apply(R"({"url": "https://example.com/", "navigationTimeout": 1500.9, "printTimeout": -20,
    "paperWidth": 600, "marginBottom": 2.5, "landscape": true, "enableJavascript": false,
    "privateNetworksEnabled": false, "webElementsSelectors": ["#a", ".b"],
    "httpRequestHeaders": {"X-B": "2", "X-A": "1"}, "httpPostFields": {"f": "\u00e9"}, "verbose": true,
    "unknownKey": 1, "URL": "ignored", "waitForSelector": "#c", "waitForExpression": "ok == 1",
    "waitForNetworkIdle": 250, "failOnConsoleExceptions": true, "failOnResourceStatus": "404",
    "failOnResourceLoadingFailed": true, "headerTemplate": "<p>h</p>", "footerTemplate": "<p>f</p>"})"));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(std::tie(s.url, s.waitForSelector, s.waitForExpression, s.failOnResourceStatus, s.headerTemplate,
                     s.footerTemplate),
            std::make_tuple("https://example.com/", "#c", "ok == 1", "404", "<p>h</p>", "<p>f</p>"));
  EXPECT_EQ(std::tie(s.navigationTimeout, s.printTimeout, s.paperWidth, s.marginBottom, s.waitForNetworkIdle),
            std::make_tuple(1500, -20, 600.0, 2.5, 250));
  EXPECT_EQ(std::tie(s.landscape, s.enableJavascript, s.privateNetworksEnabled, s.verbose, s.failOnConsoleExceptions,
                     s.failOnResourceLoadingFailed),
            std::make_tuple(true, false, false, true, true, true));
  EXPECT_TRUE(RunLog::Get().verbose());
  EXPECT_EQ(s.webElementsSelectors, (Lines{"#a", ".b"}));
  EXPECT_EQ(s.httpRequestHeaders, (Map{{"X-A", "1"}, {"X-B", "2"}}));
  EXPECT_EQ(s.httpPostFields, (Map{{"f", "\xC3\xA9"}}));
}

TEST_F(ConfigFileTest, WrongTypesAreIgnored) {
  ASSERT_TRUE(Apply(R"({"landscape":"true", "printBackground":1, "output":5, "mediaType":"",
    "scale":"50", "paperWidth":"600", "viewportWidth":true, "marginTop":[1],
    "printTimeout":-7.9, "conversionDelay":99.99,
    "navigationTimeout":1e300, "loginDelayBefore":-99999999999, "loginDelayAfter":18446744073709551615,
    "clickElementsSelectors":["#a",3,"#b",null], "webElementsSelectors":"#a",
    "httpRequestHeaders":{"X-A":"1","X-N":2,"X-O":{}}, "httpRequestCookies":["a"]})"));
  EXPECT_TRUE(lines.empty());
  // Not of the key's type: the default.
  EXPECT_EQ(std::tie(s.landscape, s.printBackground, s.output, s.mediaType, s.scale, s.paperWidth, s.viewportWidth,
                     s.marginTop),
            std::make_tuple(false, true, "output.pdf", "screen", 0, 595.28, 1024, 0));
  // Integer keys truncate fractions toward zero and saturate.
  EXPECT_EQ(std::tie(s.printTimeout, s.conversionDelay, s.navigationTimeout, s.loginDelayBefore, s.loginDelayAfter),
            std::make_tuple(-7, 99, 2147483647, -2147483647 - 1, 2147483647));
  EXPECT_EQ(s.clickElementsSelectors, (Lines{"#a", "#b"}));
  EXPECT_TRUE(s.webElementsSelectors.empty());
  EXPECT_EQ(s.httpRequestHeaders, (Map{{"X-A", "1"}}));
  EXPECT_TRUE(s.httpRequestCookies.empty());
}

// The order below is the parser's, whatever the order in the file.
TEST_F(ConfigFileTest, KeysThatCombine) {
  ASSERT_TRUE(Apply(R"({"marginTop":0, "margin":10, "paperHeight":1000, "paperSize":"A4",
                        "outputJsonFile":"", "elementsFile":"/e.json"})"));
  EXPECT_EQ(std::tie(s.marginTop, s.marginBottom, s.marginLeft, s.marginRight, s.paperWidth, s.paperHeight),
            std::make_tuple(0, 10, 10, 10, 595, 1000));
  EXPECT_EQ(s.outputJsonFile, "/e.json");
  ASSERT_TRUE(Apply(R"({"marginTop":5, "margin":"wide", "marginLeft":3, "outputJsonFile":"/o.json",
                        "elementsFile":"/e.json"})"));
  EXPECT_EQ(s.marginTop, 5);
  EXPECT_EQ(s.marginRight, 0);  // a non-number margin zeroes all four
  EXPECT_EQ(s.marginLeft, 3);
  EXPECT_EQ(s.outputJsonFile, "/o.json");
}

TEST_F(ConfigFileTest, AbsentKeys) {
  ConversionSettings t;
  t.landscape = true;
  t.printBackground = false;
  t.scale = 33;
  RunLog::Get().SetVerbose(true);
  CaptureLog([&] { ASSERT_TRUE(ApplyConfigurationBytes("{}", "c.json", false, t)); });
  EXPECT_FALSE(t.landscape);  // booleans fall back to the default, not the value before
  EXPECT_TRUE(t.printBackground);
  EXPECT_EQ(t.scale, 33);
  EXPECT_TRUE(RunLog::Get().verbose());
  ASSERT_TRUE(Apply(R"({"verbose":"yes"})"));
  EXPECT_FALSE(RunLog::Get().verbose());
}

// Strict JSON, one object. Decryption and its failures are covered through the command line.
TEST_F(ConfigFileTest, NotAnObject) {
  const std::string kLine = "ERROR: [main] Config file is not a valid JSON object: cfg.json";
  const std::string bad[] = {"", "[]", "42", "\"s\"", "{\"url\":\"a\",}", "{\"url\":\"a\" /* c */}",
                             "{\"url\":\"a\"} // c", "{'url':'a'}", "{\"url\":\"\xff\xfe\"}", "{\"a\":1}{\"b\":2}",
                             std::string("{\"url\":\"a\"}\0", 13), EncryptPayload("{}")};
  for (const auto& text : bad) {
    EXPECT_FALSE(Apply(text)) << text;
    EXPECT_EQ(lines, Lines{kLine}) << text;
  }
  EXPECT_FALSE(Apply(EncryptPayload("[1,2]"), true));
  EXPECT_EQ(lines, Lines{kLine});
}

}  // namespace
