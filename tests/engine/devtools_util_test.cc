#include "engine/devtools_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using json = nlohmann::json;

TEST(PrintParams, InchesAndOptionalFields) {
  engine::PdfPrintSettings s;
  s.paperWidth = 8.27;
  s.paperHeight = 11.69;
  s.marginTop = 0.5;
  s.marginLeft = 0.25;
  s.landscape = true;
  s.printBackground = true;
  json p = engine::PrintParams(s);
  EXPECT_EQ(p["transferMode"], "ReturnAsStream");
  EXPECT_DOUBLE_EQ(p["paperWidth"].get<double>(), 8.27);
  EXPECT_DOUBLE_EQ(p["paperHeight"].get<double>(), 11.69);
  EXPECT_DOUBLE_EQ(p["marginTop"].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(p["marginLeft"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(p["marginBottom"].get<double>(), 0.0);  // zero margins are sent, not defaulted
  EXPECT_TRUE(p["landscape"].get<bool>());
  EXPECT_TRUE(p["printBackground"].get<bool>());
  EXPECT_FALSE(p.contains("scale"));  // 0: browser default
  EXPECT_FALSE(p.contains("pageRanges"));
  EXPECT_FALSE(p.contains("headerTemplate"));
  EXPECT_FALSE(p["generateTaggedPDF"].get<bool>());

  s.scale = 0.7752;
  s.pageRanges = "1-2";
  s.generateTaggedPdf = s.generateDocumentOutline = true;
  s.displayHeaderFooter = true;
  s.preferCssPageSize = true;
  p = engine::PrintParams(s);
  EXPECT_DOUBLE_EQ(p["scale"].get<double>(), 0.7752);
  EXPECT_EQ(p["pageRanges"], "1-2");
  EXPECT_TRUE(p["generateTaggedPDF"].get<bool>());
  EXPECT_TRUE(p["generateDocumentOutline"].get<bool>());
  EXPECT_TRUE(p["preferCSSPageSize"].get<bool>());
  EXPECT_EQ(p["headerTemplate"], "");
}

TEST(Base64Decode, ValidAndInvalidInput) {
  struct Case {
    const char* in;
    bool ok;
    std::string out;
  } cases[] = {
      {"", true, ""},
      {"JVBERi0=", true, "%PDF-"},
      {"JVBERi0", true, "%PDF-"},
      {"JVBE\nRi0=", true, "%PDF-"},
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

TEST(RemoteObjectText, ConsoleArguments) {
  struct Case {
    json obj;
    std::string text;
  } cases[] = {
      {{{"type", "string"}, {"value", "hi"}}, "hi"},
      {{{"type", "number"}, {"value", 42}, {"description", "42"}}, "42"},
      {{{"type", "boolean"}, {"value", true}}, "true"},
      {{{"type", "undefined"}}, "undefined"},
      {{{"type", "object"}, {"subtype", "null"}, {"value", nullptr}}, "null"},
      {{{"type", "number"}, {"unserializableValue", "NaN"}, {"description", "NaN"}}, "NaN"},
      {{{"type", "object"}, {"className", "Object"}, {"description", "Object"}}, "Object"},
  };
  for (const Case& c : cases) EXPECT_EQ(engine::RemoteObjectText(c.obj), c.text) << c.obj.dump();
}

TEST(ParseHostPort, Origins) {
  struct Case {
    const char* origin;
    const char* host;
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
  std::string browser = "/usr/lib/chromium/chromium-headless-shell";
  std::string env0 = "PATH=/bin", env1 = "VK_ICD_FILENAMES=/nowhere/./vk_swiftshader_icd.json";
  char* env[] = {env0.data(), env1.data(), nullptr};
  auto out = engine::ChildEnvironment(env, browser);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], "PATH=/bin");
  if (access("/usr/lib/chromium/vk_swiftshader_icd.json", F_OK) == 0)
    EXPECT_EQ(out[1], "VK_ICD_FILENAMES=/usr/lib/chromium/vk_swiftshader_icd.json");
  else
    EXPECT_EQ(out[1], env1);
}

TEST(ChromiumLogLevel, Mapping) {
  EXPECT_EQ(engine::ChromiumLogLevel(engine::LogSeverity::Verbose), 0);
  EXPECT_EQ(engine::ChromiumLogLevel(engine::LogSeverity::Info), 0);
  EXPECT_EQ(engine::ChromiumLogLevel(engine::LogSeverity::Warning), 1);
  EXPECT_EQ(engine::ChromiumLogLevel(engine::LogSeverity::Error), 2);
  EXPECT_EQ(engine::ChromiumLogLevel(engine::LogSeverity::Fatal), 3);
}

}  // namespace
