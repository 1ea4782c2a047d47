#include "engine/devtools_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using json = nlohmann::json;

TEST(Base64Decode, ValidAndInvalidInput) {
  struct Case {
    const char* in;
    bool ok;
    std::string out;
  } cases[] = {
      {"", true, ""},
      {"JVBERi0=", true, "%PDF-"},
      {"JVBE\nRi0", true, "%PDF-"},  // padding optional, line breaks ignored
      {"AAEC/w==", true, std::string("\x00\x01\x02\xff", 4)},
      {"JV*E", false, ""},
      {"JQ==JQ==", false, ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(engine::Base64Decode(c.in, out), c.ok) << c.in;
    if (c.ok) EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(ParseProtocolMessage, LoneSurrogatesAndBadBytesBecomeReplacementCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"t":"a \ud800 b"})", "a \xEF\xBF\xBD b"},
      {R"({"t":"\udc00\ud83d\ude00"})", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // lone low, then a pair
      {R"({"t":"\ud83d\ud83d\ude00x"})", "\xEF\xBF\xBD\xF0\x9F\x98\x80x"},  // lone high, then a pair
      {R"({"t":"\\ud800 \u00e9"})", "\\ud800 \xC3\xA9"},                // an escaped backslash is no escape
      {"{\"t\":\"x\xFFy\"}", "x\xEF\xBF\xBDy"},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(engine::ParseProtocolMessage(text.data(), text.size()).value("t", "?"), expected) << text;
  EXPECT_TRUE(engine::ParseProtocolMessage("{\"a\":", 5).is_null());
  // Members keep the order the browser wrote them in.
  std::string ordered = R"({"b":1,"a":2.5})";
  EXPECT_EQ(engine::ParseProtocolMessage(ordered.data(), ordered.size()).dump(), ordered);
}

TEST(UncaughtExceptionText, WordedAsTheScriptEngineDoes) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"text":"Uncaught","exception":{"type":"object","subtype":"error","description":"Error: two\nlines\n    at x:1:1"}})",
       "Uncaught Error: two\nlines"},
      {R"({"text":"Uncaught","exception":{"type":"object","className":"Foo","description":"Foo"}})",
       "Uncaught [object Foo]"},  // stand-in until the page converts it
      {R"({"text":"Uncaught","exception":{"type":"string","value":"str"}})", "Uncaught str"},
      {R"({"text":"Uncaught","exception":{"type":"number","value":1e21,"description":"1e+21"}})", "Uncaught 1e+21"},
      {R"({"text":"Uncaught","exception":{"type":"bigint","unserializableValue":"7n","description":"7n"}})", "Uncaught 7"},
      {R"({"text":"Uncaught","exception":{"type":"object","subtype":"null","value":null}})", "Uncaught null"},
      {R"j({"text":"Uncaught (in promise)","exception":{"type":"undefined"}})j", "Uncaught (in promise) undefined"},
      {R"({"text":"Uncaught SyntaxError: Unexpected end of input"})", "Uncaught SyntaxError: Unexpected end of input"},
  };
  for (const auto& [details, text] : cases) {
    auto d = engine::Json::parse(details);
    EXPECT_EQ(engine::UncaughtExceptionText(d), text) << details;
    EXPECT_FALSE(engine::ExceptionNeedsItsStringConversion(d)) << details;  // none has an objectId
  }
  EXPECT_TRUE(engine::ExceptionNeedsItsStringConversion(
      engine::Json::parse(R"({"exception":{"type":"object","className":"Foo","objectId":"1.2"}})")));
}

TEST(ParseHostPort, Origins) {
  struct Case {
    const char *origin, *host;
    int port;
  } cases[] = {
      {"http://a.example", "a.example", 80},        {"https://a.example", "a.example", 443},
      {"https://a.example:8443/x", "a.example", 8443}, {"http://[::1]:8080", "[::1]", 8080},
      {"http://u:p@h.example:81", "h.example", 81},  {"proxy.local:3128", "proxy.local", 3128},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    engine::ParseHostPort(c.origin, host, port);
    EXPECT_EQ(host, c.host) << c.origin;
    EXPECT_EQ(port, c.port) << c.origin;
  }
}

TEST(ChildEnvironment, MissingVulkanIcdPointsAtTheBrowsersOwn) {
  std::string env0 = "PATH=/bin", env1 = "VK_ICD_FILENAMES=/nowhere/./vk_swiftshader_icd.json";
  char* env[] = {env0.data(), env1.data(), nullptr};
  auto out = engine::ChildEnvironment(env, "/usr/lib/chromium/chromium-headless-shell");
  bool shipped = access("/usr/lib/chromium/vk_swiftshader_icd.json", F_OK) == 0;
  EXPECT_EQ(out, (std::vector<std::string>{
                     env0, shipped ? "VK_ICD_FILENAMES=/usr/lib/chromium/vk_swiftshader_icd.json" : env1}));
}

TEST(NetError, NamesMapToChromiumNumbers) {
  struct Case {
    const char* name;
    int code;
  } cases[] = {
      {"net::ERR_ABORTED", engine::net_error::kAborted}, {"ERR_ABORTED", -3}, {"net::ERR_FAILED", -2},
      {"net::ERR_BLOCKED_BY_CLIENT", -20}, {"net::ERR_CONNECTION_REFUSED", -102},
      {" net::ERR_NAME_NOT_RESOLVED ", -105}, {"net::ERR_CERT_AUTHORITY_INVALID", -202},
      {"net::ERR_TOO_MANY_REDIRECTS", -310}, {"net::ERR_HTTP_RESPONSE_CODE_FAILURE", -379},
      {"net::ERR_SOMETHING_NEW", -2}, {"", -2},
  };
  for (const Case& c : cases) EXPECT_EQ(engine::net_error::FromName(c.name), c.code) << c.name;
}

}  // namespace
