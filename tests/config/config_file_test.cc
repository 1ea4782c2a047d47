#include "config/config_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/payload.h"
#include "test_util.h"

namespace {

using cfgtest::CaptureLog;
using cfgtest::TempDir;
using cfgtest::WriteFile;

class ConfigFileTest : public cfgtest::RunLogTest {
 protected:
  // Applies one JSON text to a default record.
  bool Apply(const std::string& text, bool encrypted = false) {
    s = ConversionSettings{};
    lines = CaptureLog([&] { ok = ApplyConfigurationBytes(text, "cfg.json", encrypted, s); });
    return ok;
  }
  ConversionSettings s;
  bool ok = false;
  std::vector<std::string> lines;
};

TEST_F(ConfigFileTest, EveryKeyKind) {
  ASSERT_TRUE(Apply(R"({
    "url": "https://example.com/", "output": "/tmp/o.pdf",
    "navigationTimeout": 1500.9, "printTimeout": -20, "conversionDelay": 0,
    "viewportWidth": 800.9, "viewportHeight": 600,
    "mediaType": "print", "ignoreSslErrors": true, "enableJavascript": false, "webGlEnabled": false,
    "paperWidth": 600, "paperHeight": 700.5,
    "marginTop": 1, "marginBottom": 2.5, "marginLeft": 3, "marginRight": 4,
    "landscape": true, "printBackground": false, "scale": 75,
    "displayHeaderFooter": true, "tagged": true, "allowPdfCut": false,
    "contentEndMarker": true, "contentEndInk": true, "firstPageAvailableHeight": 123.5,
    "htmlString": "<p>hi</p>", "baseUrl": "https://base.test/", "buildParseInfo": true,
    "webElementsSelectors": ["#a", ".b"], "outputJsonFile": "/tmp/o.json",
    "startupModeManual": true, "startupScript": "s1", "postLoadingScript": "s2",
    "postLoadingScriptDelayAfter": 5, "customCSS": "p{}",
    "clickElementsSelectors": ["#c"], "clickElementsDelayBefore": 6, "clickElementsDelayAfter": 7,
    "hiddenWebElementsSelectors": ["#h"], "pdfBookmarkOptionsSelectors": ["h1", "h2"],
    "outputFormat": "png", "proxyHostName": "ph", "proxyUsername": "pu", "proxyPassword": "pp",
    "username": "u", "password": "p", "loginPage": "https://login.test/",
    "loginUsernameSelector": "#u", "loginPasswordSelector": "#p", "loginSubmitSelector": "#s",
    "loginUsername": "lu", "loginPassword": "lp", "loginDelayBefore": 8, "loginDelayAfter": 9,
    "httpRequestHeaders": {"X-B": "2", "X-A": "1"}, "persistentHttpRequestHeaders": true,
    "httpRequestCookies": {"c": "v"}, "httpPostFields": {"f": "\u00e9"},
    "allowInsecureContent": true, "localFilesEnabled": false, "localhostEnabled": false,
    "enableOfflineMode": true, "renderOnTimeout": true, "lazyImagesLoadingEnabled": false,
    "lazyImagesLoadingDelay": 10, "directNavigation": false, "httpCache": "all",
    "windowStatus": "ready", "pageRanges": "1-2", "visibleWebElementSelector": "#v",
    "unknownKey": 1, "URL": "ignored"
  })"));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(s.url, "https://example.com/");
  EXPECT_EQ(s.output, "/tmp/o.pdf");
  EXPECT_EQ(s.navigationTimeout, 1500);
  EXPECT_EQ(s.printTimeout, -20);
  EXPECT_EQ(s.conversionDelay, 0);
  EXPECT_EQ(s.viewportWidth, 800);
  EXPECT_EQ(s.viewportHeight, 600);
  EXPECT_EQ(s.mediaType, "print");
  EXPECT_TRUE(s.ignoreSslErrors);
  EXPECT_FALSE(s.enableJavascript);
  EXPECT_FALSE(s.webGlEnabled);
  EXPECT_EQ(s.paperWidth, 600.0);
  EXPECT_EQ(s.paperHeight, 700.5);
  EXPECT_EQ(s.marginTop, 1);
  EXPECT_EQ(s.marginBottom, 2.5);
  EXPECT_EQ(s.marginLeft, 3);
  EXPECT_EQ(s.marginRight, 4);
  EXPECT_TRUE(s.landscape);
  EXPECT_FALSE(s.printBackground);
  EXPECT_EQ(s.scale, 75);
  EXPECT_TRUE(s.displayHeaderFooter);
  EXPECT_TRUE(s.tagged);
  EXPECT_FALSE(s.allowPdfCut);
  EXPECT_TRUE(s.contentEndMarker);
  EXPECT_TRUE(s.contentEndInk);
  EXPECT_EQ(s.firstPageAvailableHeight, 123.5);
  EXPECT_EQ(s.htmlString, "<p>hi</p>");
  EXPECT_EQ(s.baseUrl, "https://base.test/");
  EXPECT_TRUE(s.buildParseInfo);
  EXPECT_EQ(s.webElementsSelectors, (std::vector<std::string>{"#a", ".b"}));
  EXPECT_EQ(s.outputJsonFile, "/tmp/o.json");
  EXPECT_TRUE(s.startupModeManual);
  EXPECT_EQ(s.startupScript, "s1");
  EXPECT_EQ(s.postLoadingScript, "s2");
  EXPECT_EQ(s.postLoadingScriptDelayAfter, 5);
  EXPECT_EQ(s.customCSS, "p{}");
  EXPECT_EQ(s.clickElementsSelectors, std::vector<std::string>{"#c"});
  EXPECT_EQ(s.clickElementsDelayBefore, 6);
  EXPECT_EQ(s.clickElementsDelayAfter, 7);
  EXPECT_EQ(s.hiddenWebElementsSelectors, std::vector<std::string>{"#h"});
  EXPECT_EQ(s.pdfBookmarkOptionsSelectors, (std::vector<std::string>{"h1", "h2"}));
  EXPECT_EQ(s.outputFormat, "png");
  EXPECT_EQ(s.proxyHostName, "ph");
  EXPECT_EQ(s.proxyUsername, "pu");
  EXPECT_EQ(s.proxyPassword, "pp");
  EXPECT_EQ(s.username, "u");
  EXPECT_EQ(s.password, "p");
  EXPECT_EQ(s.loginPage, "https://login.test/");
  EXPECT_EQ(s.loginUsernameSelector, "#u");
  EXPECT_EQ(s.loginPasswordSelector, "#p");
  EXPECT_EQ(s.loginSubmitSelector, "#s");
  EXPECT_EQ(s.loginUsername, "lu");
  EXPECT_EQ(s.loginPassword, "lp");
  EXPECT_EQ(s.loginDelayBefore, 8);
  EXPECT_EQ(s.loginDelayAfter, 9);
  EXPECT_EQ(s.httpRequestHeaders, (std::map<std::string, std::string>{{"X-A", "1"}, {"X-B", "2"}}));
  EXPECT_EQ(s.httpRequestHeaders.begin()->first, "X-A");  // sorted, not file order
  EXPECT_TRUE(s.persistentHttpRequestHeaders);
  EXPECT_EQ(s.httpRequestCookies, (std::map<std::string, std::string>{{"c", "v"}}));
  EXPECT_EQ(s.httpPostFields, (std::map<std::string, std::string>{{"f", "\xC3\xA9"}}));
  EXPECT_TRUE(s.allowInsecureContent);
  EXPECT_FALSE(s.localFilesEnabled);
  EXPECT_FALSE(s.localhostEnabled);
  EXPECT_TRUE(s.enableOfflineMode);
  EXPECT_TRUE(s.renderOnTimeout);
  EXPECT_FALSE(s.lazyImagesLoadingEnabled);
  EXPECT_EQ(s.lazyImagesLoadingDelay, 10);
  EXPECT_FALSE(s.directNavigation);
  EXPECT_EQ(s.httpCache, "all");
  EXPECT_EQ(s.windowStatus, "ready");
  EXPECT_EQ(s.pageRanges, "1-2");
  EXPECT_EQ(s.visibleWebElementSelector, "#v");
}

TEST_F(ConfigFileTest, WrongTypesAndOrdering) {
  struct Case {
    const char* name;
    const char* json;
    std::function<void(const ConversionSettings&)> check;
  };
  const Case cases[] = {
      {"string true is not a boolean", R"({"landscape":"true","printBackground":1})",
       [](const ConversionSettings& s) {
         EXPECT_FALSE(s.landscape);
         EXPECT_TRUE(s.printBackground);
       }},
      {"empty or non-string text ignored", R"({"url":"","output":5,"mediaType":null})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.url, "");
         EXPECT_EQ(s.output, "output.pdf");
         EXPECT_EQ(s.mediaType, "screen");
       }},
      {"non-numbers ignored", R"({"scale":"50","paperWidth":"600","viewportWidth":true,"marginTop":[1]})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.scale, 0);
         EXPECT_DOUBLE_EQ(s.paperWidth, 595.28);
         EXPECT_EQ(s.viewportWidth, 1024);
         EXPECT_EQ(s.marginTop, 0);
       }},
      {"fractions truncate toward zero", R"({"printTimeout":-7.9,"scale":99.99})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.printTimeout, -7);
         EXPECT_EQ(s.scale, 99);
       }},
      {"out-of-range integers saturate",
       R"({"navigationTimeout":1e300,"printTimeout":-99999999999,"conversionDelay":18446744073709551615})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.navigationTimeout, 2147483647);
         EXPECT_EQ(s.printTimeout, -2147483647 - 1);
         EXPECT_EQ(s.conversionDelay, 2147483647);
       }},
      {"list keeps strings in order", R"({"clickElementsSelectors":["#a",3,"#b",null,{"x":1}]})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.clickElementsSelectors, (std::vector<std::string>{"#a", "#b"}));
       }},
      {"non-array list ignored", R"({"webElementsSelectors":"#a"})",
       [](const ConversionSettings& s) { EXPECT_TRUE(s.webElementsSelectors.empty()); }},
      {"map keeps string members", R"({"httpRequestHeaders":{"X-A":"1","X-N":2,"X-O":{}}})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.httpRequestHeaders, (std::map<std::string, std::string>{{"X-A", "1"}}));
       }},
      {"non-object map ignored", R"({"httpRequestCookies":["a"]})",
       [](const ConversionSettings& s) { EXPECT_TRUE(s.httpRequestCookies.empty()); }},
      {"margin then marginTop", R"({"margin":10,"marginTop":0})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.marginTop, 0);
         EXPECT_EQ(s.marginBottom, 10);
         EXPECT_EQ(s.marginLeft, 10);
         EXPECT_EQ(s.marginRight, 10);
       }},
      {"non-number margin zeroes all four", R"({"margin":"wide","marginLeft":3})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.marginTop, 0);
         EXPECT_EQ(s.marginLeft, 3);
       }},
      {"paperSize then paperHeight", R"({"paperHeight":1000,"paperSize":"A4"})",
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.paperWidth, 595);
         EXPECT_EQ(s.paperHeight, 1000);
       }},
      {"elementsFile when outputJsonFile empty", R"({"outputJsonFile":"","elementsFile":"/e.json"})",
       [](const ConversionSettings& s) { EXPECT_EQ(s.outputJsonFile, "/e.json"); }},
      {"elementsFile when outputJsonFile absent", R"({"elementsFile":"/e.json"})",
       [](const ConversionSettings& s) { EXPECT_EQ(s.outputJsonFile, "/e.json"); }},
      {"outputJsonFile wins over elementsFile", R"({"outputJsonFile":"/o.json","elementsFile":"/e.json"})",
       [](const ConversionSettings& s) { EXPECT_EQ(s.outputJsonFile, "/o.json"); }},
      {"key names are case-sensitive", R"({"Landscape":true,"SCALE":5})",
       [](const ConversionSettings& s) {
         EXPECT_FALSE(s.landscape);
         EXPECT_EQ(s.scale, 0);
       }},
      {"duplicate keys: last wins", R"({"scale":10,"scale":20})",
       [](const ConversionSettings& s) { EXPECT_EQ(s.scale, 20); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Apply(c.json));
    c.check(s);
    EXPECT_TRUE(lines.empty());
  }
}

TEST_F(ConfigFileTest, AbsentBooleanGetsDefaultNotPreviousValue) {
  ConversionSettings t;
  t.landscape = true;
  t.printBackground = false;
  t.scale = 33;
  CaptureLog([&] { ASSERT_TRUE(ApplyConfigurationBytes("{}", "c.json", false, t)); });
  EXPECT_FALSE(t.landscape);
  EXPECT_TRUE(t.printBackground);
  EXPECT_EQ(t.scale, 33);  // absent integer keeps its value
}

TEST_F(ConfigFileTest, VerboseKey) {
  ASSERT_TRUE(Apply(R"({"verbose":true})"));
  EXPECT_TRUE(RunLog::Get().verbose());
  EXPECT_TRUE(s.verbose);
  ASSERT_TRUE(Apply(R"({"verbose":"yes"})"));
  EXPECT_FALSE(RunLog::Get().verbose());
  RunLog::Get().SetVerbose(true);
  ASSERT_TRUE(Apply(R"({"url":"x"})"));
  EXPECT_TRUE(RunLog::Get().verbose());  // absent: left alone
}

TEST_F(ConfigFileTest, UnknownPaperSizeLogsAndContinues) {
  ASSERT_TRUE(Apply(R"({"paperSize":"a4","scale":5})"));
  EXPECT_DOUBLE_EQ(s.paperWidth, 595.28);
  EXPECT_EQ(s.scale, 5);
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Unknown paperSize in config: a4. Valid: Letter, Note, "
                                            "Legal, A0-A10, B0-B5, ArchA-E, Flsa, HalfLetter, Letter11x17, Ledger"});
}

TEST_F(ConfigFileTest, NotAnObject) {
  const std::string bad[] = {"",
                             "[]",
                             "42",
                             "null",
                             "\"s\"",
                             "{\"url\":\"a\",}",
                             "{\"url\":\"a\" /* c */}",
                             "{\"url\":\"a\"} // c",
                             "{'url':'a'}",
                             "{\"url\":\"\xff\xfe\"}",
                             "{\"a\":1}{\"b\":2}",
                             std::string("{\"url\":\"a\"}\0", 13)};
  for (const auto& text : bad) {
    EXPECT_FALSE(Apply(text)) << text;
    EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Config file is not a valid JSON object: cfg.json"})
        << text;
  }
}

TEST_F(ConfigFileTest, EncryptedMode) {
  ASSERT_TRUE(Apply(EncryptPayload(R"({"url":"https://enc.test/","scale":12})"), true));
  EXPECT_EQ(s.url, "https://enc.test/");
  EXPECT_EQ(s.scale, 12);

  // A plain file is refused in encrypted mode, by length or by padding.
  EXPECT_FALSE(Apply(R"({"url":"https://plain.test/"})", true));
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Failed to decrypt config: Encrypted data has invalid length"});
  const std::string plain32 = R"({"url":"https://plain.test/xy"} )";
  ASSERT_EQ(plain32.size(), 32u);
  EXPECT_FALSE(Apply(plain32, true));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0] == "ERROR: [main] Failed to decrypt config: Invalid PKCS7 padding" ||
              lines[0] == "ERROR: [main] Config file is not a valid JSON object: cfg.json")
      << lines[0];

  // Encrypted non-object still gets the JSON line.
  EXPECT_FALSE(Apply(EncryptPayload("[1,2]"), true));
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Config file is not a valid JSON object: cfg.json"});

  // Without encryptedIo a payload is just bad JSON.
  EXPECT_FALSE(Apply(EncryptPayload("{}"), false));
}

TEST_F(ConfigFileTest, ReadsFromDisk) {
  TempDir dir;
  WriteFile(dir.File("c.json"), R"({"scale":44})");
  ConversionSettings t;
  ASSERT_TRUE(ReadConfigurationFile(dir.File("c.json"), false, t));
  EXPECT_EQ(t.scale, 44);
  auto lines = CaptureLog([&] { EXPECT_FALSE(ReadConfigurationFile(dir.File("nope.json"), false, t)); });
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] Cannot open config file: " + dir.File("nope.json")});
}

}  // namespace
