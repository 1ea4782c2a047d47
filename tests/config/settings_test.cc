// The configuration stage end to end in one process: command line, file,
// environment, normalisation and checks, one row of data/settings.json each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "config/command_line.h"
#include "config/host_resolver.h"
#include "config/payload.h"
#include "config/utf8.h"
#include "config/validation.h"
#include "test_util.h"

namespace {

using json = nlohmann::json;
using Lines = std::vector<std::string>;

json Dump(const ConversionSettings& s) {
#define F(x) {#x, s.x}
  return json{F(url), F(output), F(verbose), F(navigationTimeout), F(printTimeout), F(conversionDelay),
              F(viewportWidth), F(viewportHeight), F(mediaType), F(enableJavascript), F(paperWidth), F(paperHeight),
              F(marginTop), F(marginBottom), F(marginLeft), F(marginRight), F(landscape), F(printBackground), F(scale),
              F(webElementsSelectors), F(outputJsonFile), F(clickElementsSelectors), F(outputFormat), F(username),
              F(password), F(loginDelayBefore), F(loginDelayAfter), F(httpRequestHeaders), F(httpRequestCookies),
              F(httpPostFields), F(localhostEnabled), F(privateNetworksEnabled), F(directNavigation), F(tagged),
              F(waitForSelector), F(waitForExpression), F(waitForNetworkIdle), F(failOnConsoleExceptions),
              F(failOnResourceStatus), F(failOnResourceLoadingFailed), F(headerTemplate), F(footerTemplate),
              F(httpCacheMode), F(configFilePath), F(dataDirectory), F(encryptedIo), F(logFilePath),
              F(hostResolverRules), F(documentOutline), F(preferCssPageSize), F(pdfTitle), F(pdfAuthor), F(pdfSubject),
              F(pdfKeywords), F(pdfCreator), F(linearize), F(pdfUserPassword), F(pdfOwnerPassword), F(pdfPermissions)};
#undef F
}

TEST(Settings, RowsOfTheDataFile) {
  const auto cwd = std::filesystem::current_path();
  for (const json& raw : json::parse(cfgtest::ReadFile(HVN_CONFIG_TEST_DATA "/settings.json"))) {
    cfgtest::TempDir dir;
    std::string text = raw.dump();
    for (size_t p; (p = text.find("$D")) != std::string::npos;) text.replace(p, 2, dir.path());
    const json row = json::parse(text);
    SCOPED_TRACE(row.value("why", "") + " " + row["args"].dump());
    const json none = json::object(), &files = row.value("files", none), &env = row.value("env", none);
    for (const auto& [name, content] : files.items()) {
      const std::string bytes = content.is_string() ? content.get<std::string>() : content.dump();
      // .bin files are payloads, as a host writes them into a data directory.
      cfgtest::WriteFile(dir.File(name), name.ends_with(".bin") ? EncryptPayload(bytes) : bytes);
    }
    for (const auto& [name, value] : env.items())
      setenv(name.c_str(), value.get<std::string>().c_str(), 1);
    std::vector<std::u32string> args{U"halvern"};
    for (const std::string& a : row["args"]) args.push_back(DecodeUtf8Lenient(a));
    LaunchRecord rec;
    int status = -1;
    std::filesystem::current_path(dir.path());
    RunLog log;
    const Lines lines = cfgtest::CaptureLog([&] { status = ParseConversionSettings(args, rec, log); });
    std::filesystem::current_path(cwd);
    cfgtest::ResetRunLog();
    EXPECT_EQ(status, row.value("status", 0));
    EXPECT_EQ(lines, row.value("lines", Lines{}));
    const json got = Dump(rec.settings), &expected = row.value("settings", none);
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(got.at(key), value) << key;
    if (row.contains("logFile"))
      EXPECT_EQ(cfgtest::StripTimes(cfgtest::ReadFile(dir.File("run.log"))), row["logFile"].get<Lines>());
  }
}

// Arguments arrive decoded leniently: a byte that starts no sequence stands
// alone and comes back unchanged.
TEST(Utf8, LenientDecodingAndRoundTrip) {
  for (const auto& [bytes, text] : std::vector<std::pair<std::string, std::u32string>>{
           {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", U"a\u00E9\u20AC\U0001F600"},
           {"caf\xE9.pdf", U"caf\xDCE9.pdf"},
           {"\xC3\x41", U"\xDCC3" U"A"},
           {"a\xE2\x82", U"a\xDCE2\xDC82"},
           {"\xFF\x80z", U"\xDCFF\xDC80z"},
           {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", U"\xDCC0\xDCAF\xDCED\xDCA0\xDC80\xDCF4\xDC90\xDC80\xDC80"}}) {
    EXPECT_EQ(DecodeUtf8Lenient(bytes), text) << bytes;
    EXPECT_EQ(ToUtf8(text), bytes) << bytes;
  }
}

// Where each URL of data/url_reach.tsv reaches, and what the start-up check
// says of the rows resolved offline.
TEST(Settings, UrlReach) {
  std::istringstream in(cfgtest::ReadFile(HVN_CONFIG_TEST_DATA "/url_reach.tsv"));
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream cells(line);
    std::string kind, url, rules;
    std::getline(std::getline(cells, kind, '\t'), url, '\t');
    const bool offline = !std::getline(cells, rules, '\t');
    if (offline) rules = "MAP * ~NOTFOUND";
    ++rows;
    const auto reach = hvn::HostResolver(rules).Reach(url);
    EXPECT_EQ(reach.loopback, kind.find('L') != std::string::npos) << line;
    EXPECT_EQ(reach.privateNetwork, kind.find('P') != std::string::npos) << line;
    if (!offline) continue;
    ConversionSettings s;
    s.url = url;
    s.localhostEnabled = s.privateNetworksEnabled = false;
    s.hostResolverRules = rules;
    const Lines none, error{kind == "L" ? "ERROR: [main] Conversion of localhost URLs is disabled."
                                        : "ERROR: [main] Conversion of private-network URLs is disabled."};
    EXPECT_EQ(cfgtest::CaptureLog([&] { ValidateSettings(s, RunLog()); }), kind == "-" ? none : error) << url;
  }
  EXPECT_EQ(rows, 77);
}

}  // namespace
