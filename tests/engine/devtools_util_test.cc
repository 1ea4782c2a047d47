#include "engine/devtools_util.h"
#include "engine/page_session.h"

#include <gtest/gtest.h>

#include "tests/config/test_util.h"

namespace {

using json = nlohmann::json;

// Hears what a page session makes of the browser's events.
struct EventClient : engine::Client {
  std::vector<std::string> heard;
  bool OnBeforeBrowse(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>, const std::string& url, bool,
                      bool) override {
    heard.push_back("browse " + url);
    return false;
  }
  void OnLoadStart(std::shared_ptr<engine::Browser> b, std::shared_ptr<engine::Frame>) override {
    heard.push_back("start " + static_cast<engine::PageSession&>(*b).url());
  }
  void OnLoadingStateChange(std::shared_ptr<engine::Browser>, bool loading, bool, bool) override {
    heard.push_back(loading ? "loading" : "stopped");
  }
};

// One table per helper in data/util_cases.json, named by what a row holds.
TEST(DevToolsUtil, RowsOfTheDataFile) {
  json tables;
  const json file = json::parse(cfgtest::ReadFile(HVN_ENGINE_TEST_DATA "/util_cases.json"));
  for (auto& [name, rows] : file.items())
    tables[name.substr(0, name.find(" ("))] = rows;
  for (const json& r : tables.at("base64")) {
    std::string out, hex;
    EXPECT_EQ(engine::Base64Decode(r[0], out), !r[1].is_null()) << r;
    for (unsigned char c : out) hex += std::string{"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    if (!r[1].is_null()) EXPECT_EQ(hex, r[1]) << r;
  }
  for (const json& r : tables.at("protocol message")) {
    std::string text = r[0];
    if (r.size() > 2)  // raw bytes written as %HH
      for (size_t at; (at = text.find('%')) != std::string::npos;)
        text.replace(at, 3, 1, static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16)));
    EXPECT_EQ(engine::ParseProtocolMessage(text.data(), text.size()).dump(), r[1]) << text;
  }
  for (const json& r : tables.at("uncaught exception")) {
    const auto details = nlohmann::ordered_json::parse(r[0].dump());
    EXPECT_EQ(engine::UncaughtExceptionText(details), r[1]) << r;
    EXPECT_EQ(engine::ExceptionNeedsItsStringConversion(details), r[2]) << r;
  }
  for (const json& r : tables.at("origin")) {
    std::string host;
    int port = -1;
    engine::ParseHostPort(r[0], host, port);
    EXPECT_EQ(json({host, port}), json({r[1], r[2]})) << r;
  }
  for (const json& r : tables.at("net error")) EXPECT_EQ(engine::net_error::FromName(r[0]), r[1]) << r;
  for (const json& r : tables.at("page events")) {
    engine::Connection closed;  // nothing is sent
    auto client = std::make_shared<EventClient>();
    auto session = std::make_shared<engine::PageSession>(closed, 1, engine::BrowserSettings{}, client, "", "");
    session->Start("M");
    for (const json& e : r[0]) session->OnEvent(e[0], engine::Json::parse(e[1].dump()));
    EXPECT_EQ(json(client->heard), r[1]) << r[0];
  }
  EXPECT_EQ(tables.size(), 6u);
  // Invalid UTF-8 has no place in the data file.
  const std::string bad = "{\"t\":\"x\xFFy\"}";
  EXPECT_EQ(engine::ParseProtocolMessage(bad.data(), bad.size()).value("t", "?"), "x\xEF\xBF\xBDy");
}

}  // namespace
