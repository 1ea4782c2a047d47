#include "client/output_json.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/run_log.h"
#include "config/payload.h"
#include "engine/engine.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Expected(const std::string& name) {
  const fs::path path = fs::path(HVN_PURE_TEST_DATA) / name;
  EXPECT_TRUE(fs::exists(path)) << path;
  return ReadFile(path);
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

OutputJsonData MarkerBase(bool marker, double firstPageAvailableHeight) {
  auto d = ParseInfoBase();
  d.contentHeightPx = 2400;
  d.lazyScroll = "skipped";
  d.contentEndMarker = marker;
  d.firstPageAvailableHeight = firstPageAvailableHeight;
  d.firstPageOffset = 841.89 - 72 - 500;
  d.docTitle = "Invoice";
  return d;
}

struct LayoutCase {
  const char* name;
  std::function<OutputJsonData()> make;
  const char* file;
};

const LayoutCase kLayoutCases[] = {
    {"failure only",
     [] {
       OutputJsonData d;
       d.errorMessage = "Navigation failed: \"net::ERR_NAME_NOT_RESOLVED\" at C:\\x\ttab\x01 end\nnext";
       return d;
     },
     "failure_only.json"},
    {"parseInfo without trim",
     [] {
       auto d = ParseInfoBase();
       d.lazyScroll = "done";
       d.docTitle = "Caf\xc3\xa9 \"Menu\"";
       d.docKeywords = "food, drink\\bar";
       return d;
     },
     "parseinfo_plain.json"},
    {"landscape swaps the sheet",
     [] {
       auto d = ParseInfoBase();
       d.viewportWidth = 1280;
       d.contentHeightPx = 0;
       d.effectiveScale = 1;
       d.landscape = true;
       return d;
     },
     "parseinfo_landscape.json"},
    {"marker mode from the flag", [] { return MarkerBase(true, 0); }, "parseinfo_marker.json"},
    {"marker mode from the first-page height", [] { return MarkerBase(false, 500); }, "parseinfo_marker.json"},
    {"ink mode with a measured end",
     [] {
       auto d = ParseInfoBase();
       d.contentHeightPx = 297;
       d.effectiveScale = 1;
       d.contentEndInk = true;
       d.contentEndMarker = true;  // ink wins over the marker
       d.contentEndPage = 1;
       d.contentEndCut = 222.5;
       d.contentEndInkEnd = 200;
       d.inkTailPx = 30;
       d.tailScale = 1;
       d.contentEndPageHeight = 841.89;
       return d;
     },
     "parseinfo_ink.json"},
    {"ink mode after a failed pass",
     [] {
       auto d = ParseInfoBase();
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
       return d;
     },
     "parseinfo_ink_failed.json"},
    {"elements with odd members",
     [] {
       OutputJsonData d;
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
       return d;
     },
     "elements.json"},
    {"console with four levels",
     [] {
       OutputJsonData d;
       d.console = {{"log", "plain message", "https://example.com/app.js", 12},
                    {"warn", "Deprecated: \"x\"\tuse y", "", 0},
                    {"error", "Uncaught TypeError: a\\b\r\nat line\x1f", "https://example.com/a b.js", -1},
                    {"debug", "\xc3\xa9t\xc3\xa9 \x01", "file:///tmp/index.html", 2147483647}};
       return d;
     },
     "console.json"},
    {"all four members",
     [] {
       auto d = ParseInfoBase();
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
       return d;
     },
     "everything.json"},
};

TEST(OutputJsonText, MatchesHandWrittenFiles) {
  for (const auto& c : kLayoutCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BuildOutputJsonText(c.make()), Expected(c.file));
  }
}

// Every layout file is also a valid JSON document.
TEST(OutputJsonText, HandWrittenFilesParse) {
  for (const auto& c : kLayoutCases) {
    EXPECT_FALSE(nlohmann::json::parse(Expected(c.file), nullptr, false).is_discarded()) << c.file;
  }
}

TEST(OutputJsonText, ElementsFallbacks) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "[]"},
      {"not json", "[]"},
      {R"({"anchorId":"x"})", "[]"},      // an object, not an array
      {R"([{"anchorId":"x"},])", "[]"},   // strict: no trailing comma
      {"[] // note", "[]"},               // strict: no comments
      {"[\"\xff\"]", "[]"},               // strict: valid UTF-8 only
      {"[]", "[\n\n  ]"},
      {"[1, \"x\", null, true]", "[\n\n  ]"},
  };
  for (const auto& [json, array] : cases) {
    OutputJsonData d;
    d.webElementsSelectorsNonEmpty = true;
    d.elementsJson = json;
    EXPECT_EQ(BuildOutputJsonText(d), std::string("{\n  \"elements\": ") + array + "\n}") << json;
  }
}

TEST(OutputJsonText, MembersFollowTheirConditions) {
  OutputJsonData d;
  d.elementsJson = "[{}]";  // no selectors: not reported
  EXPECT_EQ(BuildOutputJsonText(d), "{\n\n}");

  auto ink = ParseInfoBase();
  ink.contentEndInk = true;  // pass never produced a page and no error
  const std::string text = BuildOutputJsonText(ink);
  EXPECT_NE(text.find("\"contentEndInk\": true,\n    \"firstPageOffset\": 0,\n    \"htmlDocTitle\""),
            std::string::npos)
      << text;
}

TEST(ConsoleLevelName, EngineSeverities) {
  using S = engine::LogSeverity;
  const std::pair<S, const char*> cases[] = {{S::Default, "log"}, {S::Debug, "debug"}, {S::Info, "log"},
                                             {S::Warning, "warn"}, {S::Error, "error"}, {S::Fatal, "fatal"},
                                             {S::Disable, "log"}};
  for (const auto& [sev, name] : cases) EXPECT_EQ(ConsoleLevelName(static_cast<int>(sev)), name);
}

// A scratch folder and the run log redirected into it, so tests can read the
// lines a call wrote.
class OutputJsonFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("hvn_pure_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    logPath_ = dir_ / "run.log";
    RunLog::Get().SetLogFilePath(logPath_.string());
  }
  void TearDown() override {
    RunLog::Get().SetLogFilePath("");
    fs::remove_all(dir_);
  }
  // Log text without the "[+Nms] " prefixes.
  std::string LogText() const {
    std::istringstream in(ReadFile(logPath_));
    std::string line, out;
    while (std::getline(in, line)) out += line.substr(line.find("] ") + 2) + "\n";
    return out;
  }
  fs::path dir_;
  fs::path logPath_;
};

TEST(OutputJsonPath, Derivation) {
  struct Case {
    const char* jsonFile;
    const char* output;
    const char* expected;
  };
  const Case cases[] = {
      {"", "report.pdf", "report.json"},
      {"", "/srv/out/report.pdf", "/srv/out/report.json"},
      {"", "/srv/out/report", "/srv/out/report.json"},
      {"", "/srv/out.d/report", "/srv/out.json"},  // the folder's dot counts
      {"", "a.b.c.png", "a.b.c.json"},
      {"custom/result.txt", "report.pdf", "custom/result.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseOutputJsonPath(c.jsonFile, c.output, "/nowhere/config.json"), c.expected) << c.output;
  }
}

TEST_F(OutputJsonFiles, ConfigFileIsNeverOverwritten) {
  const std::string cwd = fs::current_path().string();
  struct Case {
    std::string jsonFile, output, config, expected;
  };
  const Case cases[] = {
      // Named directly, through a relative form of the same path.
      {"job.json", "out/report.pdf", cwd + "/job.json", "out/report.pdf.json"},
      // Derived from the output path.
      {"", "job.pdf", cwd + "/job.json", "job.pdf.json"},
      // The first substitute is the config file as well.
      {cwd + "/job.json", "job", "job.json", "job.output.json"},
  };
  std::string expectedLog;
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseOutputJsonPath(c.jsonFile, c.output, c.config), c.expected);
    const std::string old = c.jsonFile.empty() ? "job.json" : c.jsonFile;
    expectedLog += "ERROR: [PdfClient] Output JSON path is the config file (" + old + "); writing to " +
                   c.expected + " instead so the config survives.\n";
  }
  EXPECT_EQ(LogText(), expectedLog);
}

TEST(OutputJsonPath, IsSamePath) {
  const std::string cwd = fs::current_path().string();
  EXPECT_FALSE(IsSamePath("", ""));
  EXPECT_FALSE(IsSamePath("a.json", ""));
  EXPECT_TRUE(IsSamePath("a.json", "a.json"));
  EXPECT_TRUE(IsSamePath("a.json", cwd + "/a.json"));
  EXPECT_TRUE(IsSamePath("d\\a.json", "d/a.json"));
  EXPECT_FALSE(IsSamePath("./a.json", "a.json"));      // no "." removal
  EXPECT_FALSE(IsSamePath("/x/../a.json", "/a.json"));  // nor ".."
}

TEST_F(OutputJsonFiles, WritesPlainTextAndTruncates) {
  const std::string path = (dir_ / "out.json").string();
  std::ofstream(path) << std::string(500, 'x');
  WriteOutputJsonFile(path, "{\n  \"error\": \"e\"\n}", false);
  EXPECT_EQ(ReadFile(path), "{\n  \"error\": \"e\"\n}");
  EXPECT_EQ(LogText(), "[PdfClient] Output JSON saved to: " + path + "\n");
}

TEST_F(OutputJsonFiles, WritesEncryptedPayload) {
  const std::string path = (dir_ / "out.json").string();
  const std::string text = BuildOutputJsonText(ParseInfoBase());
  WriteOutputJsonFile(path, text, true);
  const std::string payload = ReadFile(path);
  EXPECT_EQ(payload.size(), 16 + (text.size() / 16 + 1) * 16);
  EXPECT_EQ(DecryptPayload(payload), text);
  EXPECT_EQ(LogText(), "[PdfClient] Output JSON saved to: " + path + "\n");
}

TEST_F(OutputJsonFiles, UnopenablePathIsLoggedOnly) {
  const std::string path = (dir_ / "missing" / "out.json").string();
  WriteOutputJsonFile(path, "{}", false);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(LogText(), "ERROR: [PdfClient] Failed to write output JSON: " + path + "\n");
}

}  // namespace
