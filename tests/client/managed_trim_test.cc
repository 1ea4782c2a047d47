#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/run_log.h"
#include "client/markers.h"
#include "client/pdf_client.h"
#include "tests/client/fake_engine.h"

namespace {

std::string Value(const nlohmann::json& v) { return nlohmann::json{{"result", {{"type", "object"}, {"value", v}}}}.dump(); }

// A PDF with one page per content stream, pages 595.28 x 841.89 pt.
std::string MakePdf(const std::vector<std::string>& contents) {
  std::vector<std::string> objs;
  std::string kids;
  const int n = static_cast<int>(contents.size());
  for (int i = 0; i < n; ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
  objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
  for (int i = 0; i < n; ++i) {
    objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.28 841.89] /Contents " + std::to_string(4 + 2 * i) +
                   " 0 R /Resources << >> >>");
    objs.push_back("<< /Length " + std::to_string(contents[i].size()) + " >>\nstream\n" + contents[i] + "\nendstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objs.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t off : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// A black rectangle whose top and bottom are given in points from the page top.
std::string Rect(double top, double bottom, double x = 72, double w = 100) {
  std::ostringstream os;
  os << "0 0 0 rg " << x << " " << 841.89 - bottom << " " << w << " " << bottom - top << " re f\n";
  return os.str();
}

class ManagedTrimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    dir = std::filesystem::temp_directory_path() / ("hvn_trim_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    s.output = (dir / "out.pdf").string();
    s.conversionDelay = 0;
    s.lazyImagesLoadingEnabled = false;
    s.scale = 100;
    RunLog::Get().SetLogFilePath((dir / "run.log").string());
  }
  void TearDown() override {
    ReleaseEngineReferences();
    RunLog::Get().SetLogFilePath("");
    std::filesystem::remove_all(dir);
  }
  // The engine's browser close: breaks the client <-> browser reference cycle.
  void ReleaseEngineReferences() {
    if (client) client->OnBeforeClose(browser);
    browser->printCallback.reset();
  }

  // Runs the pipeline up to the managed-trim script and returns its text.
  std::string StartToTrimScript(int measuredHeight = 5000) {
    client = std::make_shared<PdfClient>(s);
    client->targetUrl = "http://127.0.0.1:1/page";
    client->directMode = true;
    browser->frame->url = client->targetUrl;
    client->OnAfterCreated(browser);
    client->GetRenderHandler();
    client->OnBeforeBrowse(browser, browser->frame, client->targetUrl, false, false);
    client->OnLoadStart(browser, browser->frame);
    client->OnLoadEnd(browser, browser->frame, 200);
    // Metadata capture (with parseInfo) and the height measurement come first.
    for (int i = 0; i < 3; ++i) {
      const fake::DevToolsCall* c = browser->Last("Runtime.evaluate");
      if (!c) return "";
      std::string expr = c->params["expression"].get<std::string>();
      if (expr.rfind("(() => {\n", 0) == 0) return expr;
      Answer(expr.rfind("Math.max", 0) == 0 ? nlohmann::json(measuredHeight) : nlohmann::json("{}"));
    }
    return "";
  }
  void Answer(const nlohmann::json& v) {
    const fake::DevToolsCall* c = browser->Last("Runtime.evaluate");
    ASSERT_NE(c, nullptr);
    browser->Reply(c->id, true, Value(v));
  }
  void WritePdf(const std::string& bytes) {
    std::ofstream(s.output, std::ios::binary) << bytes;
  }
  // Prints a PDF whose pages carry the given contents, with the ink script's answer.
  void RunInk(const nlohmann::json& measurements, const std::vector<std::string>& pages) {
    s.contentEndInk = true;
    StartToTrimScript();
    Answer(measurements);
    ASSERT_EQ(browser->prints, 1);
    WritePdf(MakePdf(pages));
    browser->printCallback->OnPdfPrintFinished(s.output, true);
    ASSERT_TRUE(client->success());
  }
  std::string Log() {
    std::ifstream in(dir / "run.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string OutputJson() {
    std::ifstream in(dir / "out.json");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ConversionSettings s;
  std::filesystem::path dir;
  std::shared_ptr<fake::FakeBrowser> browser = std::make_shared<fake::FakeBrowser>();
  std::shared_ptr<PdfClient> client;
};

struct OffsetCase {
  bool ink;
  bool landscape;
  double available;
  double expectedOffset;
  std::string style;  // empty: no first-page style
  std::string logTail;
};

class FirstPageOffsetTest : public ManagedTrimTest, public ::testing::WithParamInterface<OffsetCase> {};

TEST_P(FirstPageOffsetTest, OffsetStyleAndLogLine) {
  const OffsetCase& c = GetParam();
  s.contentEndInk = c.ink;
  s.contentEndMarker = !c.ink;
  s.landscape = c.landscape;
  s.marginTop = s.marginBottom = 36;
  s.firstPageAvailableHeight = c.available;
  std::string script = StartToTrimScript();
  EXPECT_NEAR(client->firstPageOffset, c.expectedOffset, 1e-9);
  if (c.style.empty()) {
    EXPECT_EQ(script.find("@page :first"), std::string::npos);
  } else {
    EXPECT_NE(script.find(c.style), std::string::npos) << script.substr(0, 400);
  }
  EXPECT_EQ(script.rfind("(() => {", 0), 0u);
  EXPECT_EQ(script.substr(script.size() - 4), "})()");
  std::string log = Log();
  std::string head = c.ink ? "[PdfClient] Managed trim (ink): paper trim disabled, measuring the trailing space and canvas"
                           : "[PdfClient] Managed trim: paper trim disabled, appending content-end marker";
  EXPECT_NE(log.find(head + c.logTail + "\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstPageOffsetTest,
    ::testing::Values(
        OffsetCase{false, false, 500, 269.89, "margin-top: 305.89pt !important; margin-bottom: 36pt !important;",
                   ", first-page offset 269.89pt"},
        OffsetCase{true, false, 500, 269.89, "margin-top: 305.89pt !important; margin-bottom: 36pt !important;",
                   ", first-page offset 269.89pt"},
        // Landscape: the page length is the paper width.
        OffsetCase{false, true, 400, 595.28 - 72 - 400, "margin-top: 159.28pt", ", first-page offset 123.28pt"},
        OffsetCase{false, false, 2000, 0, "", ""}, OffsetCase{true, false, 769.89, 0, "", ""}));

TEST_F(ManagedTrimTest, MarkerEndBecomesContentHeightAndPrintsFullPages) {
  s.contentEndMarker = true;
  s.viewportHeight = 0;
  std::string script = StartToTrimScript(300);
  EXPECT_NE(script.find(std::string("\"") + kContentEndMarkerUrl + "\""), std::string::npos);
  EXPECT_NE(script.find("PT_PER_PX = 0.75"), std::string::npos);
  Answer({{"markerBottom", 412.2}, {"trailPx", 20}, {"anchor", "DIV"}});
  EXPECT_EQ(client->contentHeightPx, 433);
  ASSERT_EQ(browser->prints, 1);
  // Managed trim never shortens the paper.
  EXPECT_NEAR(browser->printSettings.paperHeight * 72, 841.89, 1e-9);
  EXPECT_NE(Log().find("[PdfClient] Content-end marker placed: {\"result\""), std::string::npos);
}

TEST_F(ManagedTrimTest, MarkerFactorFollowsAutomaticScale) {
  s.contentEndMarker = true;
  s.scale = 0;
  s.viewportWidth = 1024;
  std::string script = StartToTrimScript();
  // 595.28 pt printable width over 1024 px, times 0.75 pt per px.
  EXPECT_NE(script.find("PT_PER_PX = 0.581328"), std::string::npos);
}

TEST_F(ManagedTrimTest, UnusableMarkerResultKeepsMeasuredHeight) {
  for (const nlohmann::json& v : {nlohmann::json("oops"), nlohmann::json{{"trailPx", 5}},
                                  nlohmann::json{{"markerBottom", -3}, {"trailPx", 1}}}) {
    ReleaseEngineReferences();
    fake::Reset();
    browser = std::make_shared<fake::FakeBrowser>();
    s.contentEndMarker = true;
    StartToTrimScript(300);
    Answer(v);
    EXPECT_EQ(client->contentHeightPx, 301) << v.dump();
    EXPECT_EQ(browser->prints, 1);
  }
}

TEST_F(ManagedTrimTest, LateScriptResultAfterFailureDoesNotPrint) {
  s.contentEndInk = true;
  StartToTrimScript();
  client->FailConversion("Conversion timeout");
  Answer({{"tailPx", 1}});
  EXPECT_EQ(browser->prints, 0);
}

TEST_F(ManagedTrimTest, TextEndPlusTrailingPadding) {
  // Body with 30 px bottom padding below content ending 200 pt down the page.
  s.buildParseInfo = true;
  RunInk({{"tailPx", 30}, {"paintEnd", 266.67}, {"canvasPainted", false}}, {Rect(100, 200)});
  EXPECT_EQ(client->contentEndPage, 1);
  EXPECT_NEAR(client->contentEndInkEnd, 200.75, 1e-6);  // one CSS px allowance on geometry
  EXPECT_NEAR(client->contentEndCut, 223.25, 1e-6);
  EXPECT_NEAR(client->contentEndPageHeight, 841.89, 1e-6);
  EXPECT_EQ(client->contentHeightPx, 298);
  EXPECT_TRUE(client->contentEndInkError.empty());
  std::string log = Log();
  EXPECT_NE(log.find("[PdfClient] Content end (ink): page 1/1, ink 200.75pt, tail 22.5pt, cut 223.25pt of 841.89, 1 "
                     "painting ops [read+xref "),
            std::string::npos)
      << log;
  EXPECT_NE(OutputJson().find("\"contentEnd\": { \"page\": 1, \"cut\": 223.25, \"inkEnd\": 200.75, \"tail\": 22.5, "
                              "\"pageHeight\": 841.89 }"),
            std::string::npos)
      << OutputJson();
}

TEST_F(ManagedTrimTest, BlankTrailingPagesEndOnLastInkedPage) {
  s.viewportWidth = 1024;  // view height 1448 for A4 without margins
  RunInk({{"tailPx", 0}}, {Rect(0, 800), Rect(10, 400), "", ""});
  EXPECT_EQ(client->contentEndPage, 2);
  EXPECT_NEAR(client->contentEndCut, 400.75, 1e-6);
  EXPECT_EQ(client->contentHeightPx, 1448 + 535);  // 400.75 / 0.75 = 534.33
}

TEST_F(ManagedTrimTest, NoInkAnywhereEndsOnFirstPageAtTheTail) {
  RunInk({{"tailPx", 40}}, {"", ""});
  EXPECT_EQ(client->contentEndPage, 1);
  EXPECT_EQ(client->contentEndInkEnd, 0);
  EXPECT_NEAR(client->contentEndCut, 30, 1e-9);
  EXPECT_EQ(client->contentHeightPx, 40);
}

TEST_F(ManagedTrimTest, UnreadableOutputKeepsEveryPageWhole) {
  s.buildParseInfo = true;
  s.contentEndInk = true;
  StartToTrimScript();
  Answer({{"tailPx", 10}});
  WritePdf("this is not a pdf at all");
  browser->printCallback->OnPdfPrintFinished(s.output, true);
  EXPECT_TRUE(client->success());
  EXPECT_EQ(client->contentEndPage, 1);
  EXPECT_NEAR(client->contentEndCut, 841.89, 1e-9);
  EXPECT_NEAR(client->contentEndInkEnd, 841.89, 1e-9);
  EXPECT_FALSE(client->contentEndInkError.empty());
  EXPECT_NE(Log().find("ERROR: [PdfClient] Ink pass could not read the output (" + client->contentEndInkError +
                       "); keeping every page whole"),
            std::string::npos);
  EXPECT_NE(OutputJson().find("\"contentEndInkError\": \"" + client->contentEndInkError + "\""), std::string::npos);
}

TEST_F(ManagedTrimTest, FixedFooterIsNotTheContentEnd) {
  // Footer painted at 800-830 pt; the script reports its box in CSS px
  // (scale 1: 0.75 pt per px), grown by 2 px.
  double fx0 = 72 / 0.75 - 2, fy0 = 800 / 0.75 - 2, fx1 = 172 / 0.75 + 2, fy1 = 830 / 0.75 + 2;
  RunInk({{"tailPx", 0},
          {"paintEnd", 200 / 0.75},
          {"fixedRects", {{fx0, fy0, fx1, fy1}, {1, 2, 3}, "x"}}},
         {Rect(100, 200) + Rect(800, 830)});
  EXPECT_NEAR(client->contentEndInkEnd, 200.75, 1e-6);
  EXPECT_NE(Log().find(", 1 painting ops, 1 fixed boxes (1 ops excluded) [read+xref"), std::string::npos) << Log();
}

TEST_F(ManagedTrimTest, FixedBoxOverTheFlowIsDroppedWhenTheFlowPaintsLower) {
  // The fixed box covers the flow's last paint (to 200 pt); with the rule the
  // ink would end at 100 pt, above where the page says its paint ends.
  RunInk({{"tailPx", 0}, {"paintEnd", 200 / 0.75}, {"fixedRects", {{0, 120 / 0.75, 400, 210 / 0.75}}}},
         {Rect(50, 100) + Rect(150, 200)});
  EXPECT_NEAR(client->contentEndInkEnd, 200.75, 1e-6);
  std::string log = Log();
  EXPECT_NE(log.find("the fixed-box rule cut into the flow's paint (page 1 at 100pt, the flow paints to page 1 at "
                     "200pt) - measuring without it"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("fixed boxes"), std::string::npos);
}

TEST_F(ManagedTrimTest, PaintedCanvasFirstFillIsSkipped) {
  std::string page = "0.2 0.4 0.6 rg 0 0 595.28 841.89 re f\n" + Rect(10, 300);
  RunInk({{"canvasPainted", true}, {"canvasR", 0.2}, {"canvasG", 0.4}, {"canvasB", 0.6}}, {page});
  EXPECT_NEAR(client->contentEndInkEnd, 300.75, 1e-6);
}

TEST_F(ManagedTrimTest, CanvasFillCountsWithoutCanvasReport) {
  std::string page = "0.2 0.4 0.6 rg 0 0 595.28 841.89 re f\n" + Rect(10, 300);
  RunInk(nlohmann::json::object(), {page});
  EXPECT_NEAR(client->contentEndInkEnd, 841.89, 1e-6);
}

}  // namespace
