#include "client/output_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "tests/config/test_util.h"

namespace fs = std::filesystem;
using cfgtest::ReadFile;

// Rows of data/cases.json give the writer's input by field name; absent
// fields keep their defaults.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(OutputJsonData::Console, level, message, source, line)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(OutputJsonData, errorMessage, buildParseInfo, viewportWidth,
                                                contentHeightPx, paperWidth, paperHeight, landscape, effectiveScale,
                                                lazyScroll, contentEndInk, contentEndMarker, firstPageAvailableHeight,
                                                firstPageOffset, contentEndPage, contentEndCut, contentEndInkEnd,
                                                inkTailPx, tailScale, contentEndPageHeight, contentEndInkError,
                                                docTitle, docDescription, docKeywords, webElementsSelectorsNonEmpty,
                                                elementsJson, console)

namespace {

const fs::path kData = HVN_PURE_TEST_DATA;

// Byte for byte against the hand-written files or texts, each also a valid
// JSON document.
TEST(OutputJsonText, MatchesHandWrittenText) {
  for (const auto& c : nlohmann::json::parse(ReadFile(kData / "cases.json"))) {
    SCOPED_TRACE(c["why"].get<std::string>());
    const std::string expected = c.value("text", ReadFile(kData / c.value("expected", "")));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(BuildOutputJsonText(c["data"].get<OutputJsonData>()), expected);
    EXPECT_FALSE(nlohmann::json::parse(expected, nullptr, false).is_discarded());
  }
}

using OutputJsonFiles = cfgtest::RunLogTest;

TEST_F(OutputJsonFiles, PathDerivationNeverLandsOnTheConfigFile) {
  const auto rows = nlohmann::json::parse(ReadFile(kData / "paths.json"));
  auto withCwd = [](std::string s) {
    const size_t at = s.find("{cwd}");
    return at == std::string::npos ? s : s.replace(at, 5, fs::current_path().string());
  };
  for (size_t i = 1; i < rows.size(); ++i) {
    const auto& r = rows[i];
    std::string path;
    const auto lines = cfgtest::CaptureLog([&] { path = ChooseOutputJsonPath(withCwd(r[0]), r[1], withCwd(r[2]), RunLog()); });
    EXPECT_EQ(path, r[3]) << r;
    EXPECT_EQ(lines, r[4] == "" ? std::vector<std::string>{} : std::vector<std::string>{withCwd(r[4])}) << r;
  }
}

TEST_F(OutputJsonFiles, WritesPlainTextTruncatesAndOnlyLogsFailure) {
  const RunLog log = cfgtest::VerboseLog();
  cfgtest::TempDir dir;
  const std::string path = dir.File("out.json"), missing = dir.File("missing/out.json");
  cfgtest::WriteFile(path, std::string(500, 'x'));
  const auto lines = cfgtest::CaptureLog([&] {
    WriteOutputJsonFile(path, "{\n  \"error\": \"e\"\n}", false, log);
    WriteOutputJsonFile(missing, "{}", false, log);
  });
  EXPECT_EQ(ReadFile(path), "{\n  \"error\": \"e\"\n}");
  EXPECT_EQ(lines, (std::vector<std::string>{"[PdfClient] Output JSON saved to: " + path,
                                             "ERROR: [PdfClient] Failed to write output JSON: " + missing}));
}

}  // namespace
