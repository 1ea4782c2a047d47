#include <gtest/gtest.h>

#include <sstream>

#include "tests/client/fake_engine.h"

namespace {

// A PDF with one page per content stream, pages 595.28 x 841.89 pt.
std::string MakePdf(const std::vector<std::string>& contents) {
  const int n = static_cast<int>(contents.size());
  std::string kids;
  for (int i = 0; i < n; ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>",
                                   "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>"};
  for (int i = 0; i < n; ++i) {
    objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.28 841.89] /Contents " + std::to_string(4 + 2 * i) +
                   " 0 R /Resources << >> >>");
    objs.push_back("<< /Length " + std::to_string(contents[i].size()) + " >>\nstream\n" + contents[i] + "\nendstream");
  }
  std::string out = "%PDF-1.4\n", xref;
  for (size_t i = 0; i < objs.size(); ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", out.size());
    xref += line;
    out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  const size_t at = out.size();
  return out + "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n" + xref + "trailer\n<< /Size " +
         std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
}

// A black rectangle whose top and bottom are given in points from the page top.
std::string Rect(double top, double bottom) {
  std::ostringstream os;
  os << "0 0 0 rg 72 " << 841.89 - bottom << " 100 " << bottom - top << " re f\n";
  return os.str();
}

class ManagedTrimTest : public fake::ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    s.scale = 100;
  }
  // Runs the pipeline up to the managed-trim script and returns its text.
  std::string StartToTrimScript(int measuredHeight = 5000) {
    Start();
    Navigate(client->targetUrl, 200);
    // Metadata capture and the height measurement come first.
    for (int i = 0; i < 3; ++i) {
      const fake::DevToolsCall* c = browser->Last("Runtime.evaluate");
      if (!c) break;
      std::string expr = c->params["expression"].get<std::string>();
      if (expr.rfind("(() => {\n", 0) == 0) return expr;
      Answer(expr.rfind("Math.max", 0) == 0 ? nlohmann::json(measuredHeight) : nlohmann::json("{}"));
    }
    ADD_FAILURE() << "no managed-trim script";
    return "";
  }
  // Answers the ink script and prints a PDF with the given pages.
  void RunInk(const nlohmann::json& measurements, const std::string& pdf) {
    s.contentEndInk = true;
    StartToTrimScript();
    Answer(measurements);
    ASSERT_EQ(browser->prints, 1);
    std::ofstream(browser->printPath, std::ios::binary) << pdf;
    browser->printCallback->OnPdfPrintFinished(browser->printPath, true);
    ASSERT_TRUE(client->success());
  }
};

TEST_F(ManagedTrimTest, FirstPageOffsetAndStyle) {
  struct Case {
    bool ink, landscape;
    double available, offset;
    std::string style;  // empty: no first-page rule
  } const cases[] = {
      {true, false, 500, 269.89, "margin-top: 305.89pt !important; margin-bottom: 36pt !important;"},
      // Landscape: the page length is the paper width.
      {false, true, 400, 123.28, "margin-top: 159.28pt"},
      {false, false, 2000, 0, ""},
      {true, false, 769.89, 0, ""},  // exactly the printable height
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "ink " << c.ink << " landscape " << c.landscape << " available " << c.available);
    Restart();
    s.contentEndInk = c.ink;
    s.contentEndMarker = !c.ink;
    s.landscape = c.landscape;
    s.marginTop = s.marginBottom = 36;
    s.firstPageAvailableHeight = c.available;
    const std::string script = StartToTrimScript();
    EXPECT_NEAR(client->firstPageOffset, c.offset, 1e-9);
    if (c.style.empty())
      EXPECT_EQ(script.find("@page :first"), std::string::npos);
    else
      EXPECT_NE(script.find(c.style), std::string::npos) << script.substr(0, 400);
  }
}

TEST_F(ManagedTrimTest, UnusableMarkerResultKeepsMeasuredHeight) {
  for (const nlohmann::json& v : {nlohmann::json("oops"), nlohmann::json{{"trailPx", 5}},
                                  nlohmann::json{{"markerBottom", -3}, {"trailPx", 1}}}) {
    SCOPED_TRACE(v.dump());
    Restart();
    s.contentEndMarker = true;
    StartToTrimScript(300);
    Answer(v);
    EXPECT_EQ(client->contentHeightPx, 301);
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

TEST_F(ManagedTrimTest, InkEndOnPagesTheBrowserCannotShow) {
  const std::string canvasFill = "0.2 0.4 0.6 rg 0 0 595.28 841.89 re f\n";
  struct Case {
    const char* name;
    nlohmann::json measurements;
    std::vector<std::string> pages;
    double inkEnd, cut;
  } const cases[] = {
      {"no ink anywhere: the tail on page 1", {{"tailPx", 40}}, {"", ""}, 0, 30},
      // A fixed box over the flow's last paint would end the ink at 100 pt,
      // above where the page says its paint ends: the rule is dropped.
      {"fixed box over the flow",
       {{"tailPx", 0}, {"paintEnd", 200 / 0.75}, {"fixedRects", {{0, 120 / 0.75, 400, 210 / 0.75}}}},
       {Rect(50, 100) + Rect(150, 200)}, 200.75, 200.75},
      {"painted canvas: its fill is skipped",
       {{"canvasPainted", true}, {"canvasR", 0.2}, {"canvasG", 0.4}, {"canvasB", 0.6}},
       {canvasFill + Rect(10, 300)}, 300.75, 300.75},
      {"no canvas report: the fill is ink", nlohmann::json::object(), {canvasFill + Rect(10, 300)}, 841.89, 841.89},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    RunInk(c.measurements, MakePdf(c.pages));
    EXPECT_EQ(client->contentEndPage, 1);
    EXPECT_NEAR(client->contentEndInkEnd, c.inkEnd, 1e-6);
    EXPECT_NEAR(client->contentEndCut, c.cut, 1e-6);
  }
}

TEST_F(ManagedTrimTest, UnreadableOutputKeepsEveryPageWhole) {
  s.buildParseInfo = true;
  RunInk({{"tailPx", 10}}, "this is not a pdf at all");
  EXPECT_EQ(client->contentEndPage, 1);
  EXPECT_NEAR(client->contentEndCut, 841.89, 1e-9);
  EXPECT_NEAR(client->contentEndInkEnd, 841.89, 1e-9);
  ASSERT_FALSE(client->contentEndInkError.empty());
  EXPECT_NE(Read("out.json").find("\"contentEndInkError\": \"" + client->contentEndInkError + "\""), std::string::npos);
}

}  // namespace
