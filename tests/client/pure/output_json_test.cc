#include "client/output_json.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/run_log.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A4 portrait as configured, automatic scale at the default viewport.
OutputJsonData ParseInfoBase() {
  OutputJsonData d;
  d.buildParseInfo = true;
  d.viewportWidth = 1024;
  d.contentHeightPx = 1200;
  d.paperWidth = 595.28;
  d.paperHeight = 841.89;
  d.effectiveScale = 595.28 / 72 * 96 / 1024;
  return d;
}

// Byte for byte against the hand-written files, each also a valid JSON document.
TEST(OutputJsonText, MatchesHandWrittenFiles) {
  auto check = [](const char* file, const OutputJsonData& d) {
    SCOPED_TRACE(file);
    const std::string expected = ReadFile(fs::path(HVN_PURE_TEST_DATA) / file);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(BuildOutputJsonText(d), expected);
    EXPECT_FALSE(nlohmann::json::parse(expected, nullptr, false).is_discarded());
  };
  OutputJsonData d;
  d.errorMessage = "Navigation failed: \"net::ERR_NAME_NOT_RESOLVED\" at C:\\x\ttab\x01 end\nnext";
  check("failure_only.json", d);

  d = ParseInfoBase();
  d.lazyScroll = "done";
  d.docTitle = "Caf\xc3\xa9 \"Menu\"";
  d.docKeywords = "food, drink\\bar";
  check("parseinfo_plain.json", d);

  d = ParseInfoBase();  // landscape swaps the sheet
  d.viewportWidth = 1280;
  d.contentHeightPx = 0;
  d.effectiveScale = 1;
  d.landscape = true;
  check("parseinfo_landscape.json", d);

  d = ParseInfoBase();  // a first-page height alone means marker mode
  d.contentHeightPx = 2400;
  d.lazyScroll = "skipped";
  d.firstPageAvailableHeight = 500;
  d.firstPageOffset = 841.89 - 72 - 500;
  d.docTitle = "Invoice";
  check("parseinfo_marker.json", d);

  d = ParseInfoBase();
  d.contentHeightPx = 297;
  d.effectiveScale = 1;
  d.contentEndInk = true;
  d.contentEndMarker = true;  // ink wins over the marker
  d.contentEndPage = 1;
  d.contentEndCut = 222.5;
  d.contentEndInkEnd = 200;
  d.inkTailPx = 30;
  d.contentEndPageHeight = 841.89;
  check("parseinfo_ink.json", d);

  d = ParseInfoBase();  // ink pass that failed: the tail follows the print scale
  d.viewportWidth = 800;
  d.contentHeightPx = 3368;
  d.effectiveScale = 2;
  d.lazyScroll = "eager";
  d.contentEndInk = true;
  d.firstPageOffset = 841.89 - 72 - 500;
  d.contentEndPage = 3;
  d.contentEndCut = d.contentEndInkEnd = d.contentEndPageHeight = 841.89;
  d.inkTailPx = 12;
  d.tailScale = 2;
  d.contentEndInkError = "Cannot open \"/tmp/out.pdf\"";
  check("parseinfo_ink_failed.json", d);

  d = OutputJsonData();  // elements with odd and missing members
  d.webElementsSelectorsNonEmpty = true;
  d.elementsJson = R"([
    {"anchorId":"hvn-1","selector":"#main","id":"main","text":"Hello \"world\"\n\u00e9\/\u0001",
     "tagName":"DIV","outerHTML":"<div id=\"main\" class=\"box wide\">Hello</div>",
     "originalHref":"https://example.com/a?b=1&c=2","cssClassName":"box wide","extra":1},
    42,
    {"anchorId":"hvn-2","selector":"a.x","id":7,"text":null,"tagName":"A",
     "outerHTML":"<a class=\"x\">","originalHref":"","cssClassName":["x"]},
    "not an object", null, [],
    {"anchorId":"hvn-3","originalHref":false}
  ])";
  check("elements.json", d);

  d = OutputJsonData();
  d.console = {{"log", "plain message", "https://example.com/app.js", 12},
               {"warn", "Deprecated: \"x\"\tuse y", "", 0},
               {"error", "Uncaught TypeError: a\\b\r\nat line\x1f", "https://example.com/a b.js", -1},
               {"debug", "\xc3\xa9t\xc3\xa9 \x01", "file:///tmp/index.html", 2147483647}};
  check("console.json", d);

  d = ParseInfoBase();  // all four members, in order
  d.errorMessage = "Conversion timeout after 60000ms";
  d.effectiveScale = 1;
  d.lazyScroll = "done";
  d.docTitle = "T";
  d.docDescription = "D";
  d.docKeywords = "K";
  d.webElementsSelectorsNonEmpty = true;
  d.elementsJson = R"([{"anchorId":"hvn-1","selector":"h1","id":"","text":"Title","tagName":"H1",)"
                   R"("outerHTML":"<h1>Title</h1>","cssClassName":""}])";
  d.console = {{"fatal", "out of memory", "", 1}};
  check("everything.json", d);
}

TEST(OutputJsonText, ElementsFallbacks) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "[]"},
      {"not json", "[]"},
      {R"({"anchorId":"x"})", "[]"},     // an object, not an array
      {R"([{"anchorId":"x"},])", "[]"},  // strict: no trailing comma
      {"[] // note", "[]"},              // strict: no comments
      {"[\"\xff\"]", "[]"},              // strict: valid UTF-8 only
      {"[]", "[\n\n  ]"},
      {"[1, \"x\", null, true]", "[\n\n  ]"},
  };
  for (const auto& [json, array] : cases) {
    OutputJsonData d;
    d.webElementsSelectorsNonEmpty = true;
    d.elementsJson = json;
    EXPECT_EQ(BuildOutputJsonText(d), std::string("{\n  \"elements\": ") + array + "\n}") << json;
  }
  OutputJsonData d;
  d.elementsJson = "[{}]";  // no selectors: not reported
  EXPECT_EQ(BuildOutputJsonText(d), "{\n\n}");
}

// A scratch folder with the run log redirected into it.
class OutputJsonFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    RunLog::Get().SetLogFilePath((dir_ / "run.log").string());
  }
  void TearDown() override {
    RunLog::Get().SetLogFilePath("");
    fs::remove_all(dir_);
  }
  // Log text without the "[+Nms] " prefixes.
  std::string LogText() const {
    std::istringstream in(ReadFile(dir_ / "run.log"));
    std::string line, out;
    while (std::getline(in, line)) out += line.substr(line.find("] ") + 2) + "\n";
    return out;
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
  std::string expectedLog;
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseOutputJsonPath(c.jsonFile, c.output, c.config), c.expected) << c.jsonFile << " " << c.output;
    if (c.moved)
      expectedLog += "ERROR: [PdfClient] Output JSON path is the config file (" +
                     (c.jsonFile.empty() ? "job.json" : c.jsonFile) + "); writing to " + c.expected +
                     " instead so the config survives.\n";
  }
  EXPECT_EQ(LogText(), expectedLog);
}

TEST_F(OutputJsonFiles, WritesPlainTextTruncatesAndOnlyLogsFailure) {
  const std::string path = (dir_ / "out.json").string();
  std::ofstream(path) << std::string(500, 'x');
  WriteOutputJsonFile(path, "{\n  \"error\": \"e\"\n}", false);
  EXPECT_EQ(ReadFile(path), "{\n  \"error\": \"e\"\n}");
  const std::string missing = (dir_ / "missing" / "out.json").string();
  WriteOutputJsonFile(missing, "{}", false);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(LogText(), "[PdfClient] Output JSON saved to: " + path + "\nERROR: [PdfClient] Failed to write output JSON: " +
                           missing + "\n");
}

}  // namespace
