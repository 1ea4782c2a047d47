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

}  // namespace
