// The service's checks of a request body and of its own options, one row of
// data/service_requests.json each.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/service.h"

namespace {

using Json = nlohmann::ordered_json;

Json Rows(const char* table) {
  std::ifstream in(HVN_APP_TEST_DATA "/service_requests.json");
  return Json::parse(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()))[table];
}

TEST(ServiceRequest, Rows) {
  for (const Json& row : Rows("requests")) {
    SCOPED_TRACE(row["why"].get<std::string>());
    ServiceOptions options;
    std::vector<std::string> args;
    for (const Json& d : row.value("defaults", Json::array())) args.push_back(d.get<std::string>());
    if (row.contains("allow")) args.push_back("--serve-allow=" + row["allow"].get<std::string>());
    std::string error;
    ASSERT_TRUE(ParseServiceOptions("127.0.0.1:0", args, options, error)) << error;
    const std::string body = row["body"].is_string() ? row["body"].get<std::string>() : row["body"].dump();
    Json config;
    const std::string problem = RequestToConfig(body, options.rules, config);
    if (row.contains("error")) {
      EXPECT_NE(problem.find(row["error"].get<std::string>()), std::string::npos) << problem;
      continue;
    }
    ASSERT_EQ(problem, "");
    for (const auto& [key, value] : row["config"].items()) EXPECT_EQ(config.value(key, Json()), value) << key;
  }
}

TEST(ServiceOptions, Rows) {
  for (const Json& row : Rows("options")) {
    SCOPED_TRACE(row["address"].dump() + " " + row["options"].dump());
    ServiceOptions options;
    std::string error;
    const bool ok = ParseServiceOptions(row["address"], row["options"].get<std::vector<std::string>>(), options, error);
    EXPECT_EQ(ok, !row.contains("error")) << error;
    if (row.contains("error")) EXPECT_EQ(error, row["error"].get<std::string>());
  }
}

}  // namespace
