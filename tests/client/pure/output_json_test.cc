#include "client/output_json.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/run_log.h"
#include "tests/config/test_util.h"

namespace fs = std::filesystem;

namespace {

using cfgtest::ReadFile;

// The writer's input from one row of data/cases.json; absent keys keep their defaults.
OutputJsonData FromJson(const nlohmann::json& j) {
  OutputJsonData d;
  auto get = [&](const char* key, auto& field) {
    if (j.contains(key)) j.at(key).get_to(field);
  };
#define HVN_FIELD(name) get(#name, d.name)
  HVN_FIELD(errorMessage), HVN_FIELD(buildParseInfo), HVN_FIELD(viewportWidth), HVN_FIELD(contentHeightPx);
  HVN_FIELD(paperWidth), HVN_FIELD(paperHeight), HVN_FIELD(landscape), HVN_FIELD(effectiveScale);
  HVN_FIELD(lazyScroll), HVN_FIELD(contentEndInk), HVN_FIELD(contentEndMarker), HVN_FIELD(firstPageAvailableHeight);
  HVN_FIELD(firstPageOffset), HVN_FIELD(contentEndPage), HVN_FIELD(contentEndCut), HVN_FIELD(contentEndInkEnd);
  HVN_FIELD(inkTailPx), HVN_FIELD(tailScale), HVN_FIELD(contentEndPageHeight), HVN_FIELD(contentEndInkError);
  HVN_FIELD(docTitle), HVN_FIELD(docDescription), HVN_FIELD(docKeywords);
  HVN_FIELD(webElementsSelectorsNonEmpty), HVN_FIELD(elementsJson);
#undef HVN_FIELD
  for (const auto& c : j.value("console", nlohmann::json::array()))
    d.console.push_back({c[0], c[1], c[2], c[3]});
  return d;
}

// Byte for byte against the hand-written files or texts, each also a valid
// JSON document.
TEST(OutputJsonText, MatchesHandWrittenText) {
  const fs::path data = HVN_PURE_TEST_DATA;
  const auto cases = nlohmann::json::parse(ReadFile(data / "cases.json"));
  ASSERT_EQ(cases.size(), 17u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c["why"].get<std::string>());
    const std::string expected = c.value("text", ReadFile(data / c.value("expected", "")));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(BuildOutputJsonText(FromJson(c["data"])), expected);
    EXPECT_FALSE(nlohmann::json::parse(expected, nullptr, false).is_discarded());
  }
  OutputJsonData d;  // strict: valid UTF-8 only
  d.webElementsSelectorsNonEmpty = true;
  d.elementsJson = "[\"\xff\"]";
  EXPECT_EQ(BuildOutputJsonText(d), "{\n  \"elements\": []\n}");
}

// A scratch folder; every log line shows on standard output.
class OutputJsonFiles : public cfgtest::RunLogTest {
 protected:
  void SetUp() override {
    RunLogTest::SetUp();
    RunLog::Get().SetVerbose(true);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    RunLogTest::TearDown();
  }
  const fs::path dir_ = fs::temp_directory_path() / ("hvn_pure_" + std::to_string(::getpid()));
};

TEST_F(OutputJsonFiles, PathDerivationNeverLandsOnTheConfigFile) {
  const std::string cwd = fs::current_path().string();
  const std::string elsewhere = "/nowhere/config.json";
  struct Case {
    std::string jsonFile, output, config, expected;
    bool moved;
  } const cases[] = {
      {"", "report.pdf", elsewhere, "report.json", false},
      {"", "/srv/out/report", elsewhere, "/srv/out/report.json", false},
      {"", "/srv/out.d/report", elsewhere, "/srv/out.json", false},  // the folder's dot counts
      {"", "a.b.c.png", elsewhere, "a.b.c.json", false},
      {"custom/result.txt", "report.pdf", elsewhere, "custom/result.txt", false},
      {"", "r.pdf", "", "r.json", false},
      // The config file named directly, relative or with other separators.
      {"job.json", "out/report.pdf", cwd + "/job.json", "out/report.pdf.json", true},
      {"d\\job.json", "r.pdf", "d/job.json", "r.pdf.json", true},
      // Derived from the output path.
      {"", "job.pdf", cwd + "/job.json", "job.pdf.json", true},
      // The first substitute is the config file as well.
      {cwd + "/job.json", "job", "job.json", "job.output.json", true},
      // Paths are compared as written: no "." or ".." folding.
      {"./job.json", "r.pdf", "job.json", "./job.json", false},
      {"/x/../job.json", "r.pdf", "/job.json", "/x/../job.json", false},
  };
  for (const auto& c : cases) {
    std::string path;
    const auto lines = cfgtest::CaptureLog([&] { path = ChooseOutputJsonPath(c.jsonFile, c.output, c.config); });
    EXPECT_EQ(path, c.expected) << c.jsonFile << " " << c.output;
    EXPECT_EQ(lines, c.moved ? std::vector<std::string>{"ERROR: [PdfClient] Output JSON path is the config file (" +
                                                        (c.jsonFile.empty() ? "job.json" : c.jsonFile) +
                                                        "); writing to " + c.expected + " instead so the config survives."}
                             : std::vector<std::string>{});
  }
}

TEST_F(OutputJsonFiles, WritesPlainTextTruncatesAndOnlyLogsFailure) {
  const std::string path = (dir_ / "out.json").string();
  const std::string missing = (dir_ / "missing" / "out.json").string();
  cfgtest::WriteFile(path, std::string(500, 'x'));
  const auto lines = cfgtest::CaptureLog([&] {
    WriteOutputJsonFile(path, "{\n  \"error\": \"e\"\n}", false);
    WriteOutputJsonFile(missing, "{}", false);
  });
  EXPECT_EQ(ReadFile(path), "{\n  \"error\": \"e\"\n}");
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(lines, (std::vector<std::string>{"[PdfClient] Output JSON saved to: " + path,
                                             "ERROR: [PdfClient] Failed to write output JSON: " + missing}));
}

}  // namespace
