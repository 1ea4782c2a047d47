#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "tests/support/e2e_support.h"

namespace {

using e2e::TestServer;

const char kMarkerHost[] = "https://content-end.halvern.invalid/";
// Automatic scale on A4 without side margins at 1024 px: points per CSS px.
const double kPt = 595.28 / 72 * 96 / 1024 * 0.75;
// Chromium paginates on whole pixels; positions agree within this.
const double kTol = 1.5;

std::string Page(const std::string& style, const std::string& body, bool quirks = false) {
  return std::string(quirks ? "" : "<!DOCTYPE html>") + "<html><head><style>body{margin:0;font:16px/20px sans-serif}" + style +
         "</style></head><body>" + body + "</body></html>";
}

class ManagedTrim : public ::testing::Test {
 protected:
  // Converts html with the given settings through a configuration file and
  // returns the output JSON's parseInfo.
  nlohmann::json Convert(const std::string& html, nlohmann::json settings) {
    settings["url"] = TestServer::Get().Html(html);
    settings["output"] = pdf();
    settings["outputJsonFile"] = out.File("out.json");
    settings["buildParseInfo"] = true;
    settings["conversionDelay"] = 0;
    std::remove(out.File("out.json").c_str());
    e2e::WriteFile(out.File("config.json"), settings.dump());
    e2e::RunResult r = e2e::RunChecked(tmp.path(), {out.File("config.json"), "--verbose"});
    log = r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    auto j = nlohmann::json::parse(e2e::ReadFile(out.File("out.json")), nullptr, false);
    return j.is_object() && j.contains("parseInfo") ? j["parseInfo"] : nlohmann::json();
  }
  // Content-end link annotations.
  std::vector<e2e::Link> Markers() {
    std::vector<e2e::Link> found = e2e::PdfLinks(pdf());
    std::erase_if(found, [](const e2e::Link& l) { return l.uri.rfind(kMarkerHost, 0) != 0; });
    return found;
  }
  std::string pdf() { return out.File("out.pdf"); }
  e2e::TempDir tmp, out;
  std::string log;
};

struct MarkerCase {
  const char* name;
  std::string style, body;
  double fpah;         // firstPageAvailableHeight
  int page;            // expected marker page
  double topPt;        // expected marker bottom, points from that page's top
  std::string trail;   // expected query
  int contentHeight;   // CSS px
  bool quirks = false;
};

TEST_F(ManagedTrim, MarkerSitsAtTheFlowEnd) {
  const MarkerCase cases[] = {
      MarkerCase{"Plain", "", "<p style='margin:0'>a</p><p style='margin:0'>b</p>", 0, 1, 40 * kPt, "?trail=0.00", 40},
      // Body padding below the last paragraph is trailing space.
      MarkerCase{"BodyPadding", "body{padding:10px 0 25px}", "<p style='margin:0'>a</p>", 0, 1, 30 * kPt,
                 "?trail=14.53", 55},
      // Without a doctype the body still ends where its content does.
      MarkerCase{"Quirks", "", "<div style='height:500px;background:#eee'></div><p style='margin:0'>b</p>", 0, 1,
                 520 * kPt, "?trail=0.00", 520, true},
      // A scrolling body must not hide the end of the flow.
      MarkerCase{"OverflowScroll", "body{overflow-y:scroll}", "<div style='height:700px;background:#eee'></div>", 0,
                 1, 700 * kPt, "?trail=0.00", 700},
      // Bare text at the end of the body, no element around it.
      MarkerCase{"TrailingBodyText", "", "<div style='height:400px;background:#eee'></div>tail text", 0, 1,
                 420 * kPt, "?trail=0.00", 421},
      // The paragraph's collapsed bottom margin is trailing content.
      MarkerCase{"BottomMargin", "", "<div style='height:1200px;background:#eee'>a</div><p style='margin:0 0 20px'>b</p>",
                 0, 1, 1220 * kPt, "?trail=11.63", 1240},
      MarkerCase{"SecondPage", "", "<div style='height:2000px'>a</div><p style='margin:0'>b</p>", 0, 2,
                 (2020 - 1448) * kPt, "?trail=0.00", 2020},
      // A shorter first page pushes the flow down: 500 pt fit on page 1.
      MarkerCase{"FirstPageOffset", "", "<div style='height:1200px;background:#ccc'></div>", 500, 2,
                 36 + 1200 * kPt - 500, "?trail=0.00", 1200},
      // An unpainted box: the marker follows its text and the rest of the
      // box, plus its shadow (10 + 5 + 2 px), is trailing space.
      MarkerCase{"BoxShadow", "", "<div style='height:300px;box-shadow:0 10px 5px 2px #000'>a</div>", 0, 1,
                 20 * kPt, "?trail=172.65", 317},
  };
  for (const MarkerCase& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json settings = {{"contentEndMarker", true}};
    if (c.fpah > 0) {
      settings["firstPageAvailableHeight"] = c.fpah;
      settings["marginTop"] = 36;
      settings["marginBottom"] = 36;
    }
    nlohmann::json info = Convert(Page(c.style, c.body, c.quirks), settings);
    ASSERT_TRUE(info.is_object()) << log;
    EXPECT_EQ(info["contentEndMarker"], true);
    EXPECT_EQ(info["contentHeight"], c.contentHeight);
    auto markers = Markers();
    ASSERT_EQ(markers.size(), 1u) << log;
    double w, h;
    ASSERT_TRUE(e2e::PageSize(pdf(), w, h, markers[0].page));
    EXPECT_EQ(markers[0].page, c.page);
    EXPECT_NEAR(h - std::min(markers[0].y1, markers[0].y2), c.topPt, kTol);
    EXPECT_EQ(markers[0].uri, kMarkerHost + c.trail);
    if (c.fpah > 0) {
      // A4 less both margins less the first page's height.
      EXPECT_NEAR(info.value("firstPageOffset", 0.0), 841.89 - 72 - c.fpah, 1e-6);
      EXPECT_NE(log.find(", first-page offset 269.89pt"), std::string::npos);
    }
  }
}

struct InkCase {
  const char* name;
  std::string style, body;
  int page;
  double inkEnd, cut;  // points from the page top
  double inkTol = 2.5;
};

TEST_F(ManagedTrim, ContentEndMatchesTheLayout) {
  const InkCase cases[] = {
      // Box ends at 1220 px; 30 px of body padding is the tail.
      InkCase{"PaddingTail", "body{padding-bottom:30px}", "<div style='height:1220px;background:#ccc'></div>", 1,
              1220 * kPt, 1250 * kPt},
      // The fixed footer repeats on every page and is not the content end.
      InkCase{"FixedFooter", "body{padding-bottom:30px}",
              "<div style='height:1220px;background:#ccc'></div>"
              "<div style='position:fixed;bottom:0;left:0;right:0;height:30px;background:#333'></div>",
              1, 1220 * kPt, 1250 * kPt},
      // A bordered block: its bottom border is the last paint.
      InkCase{"BorderedBlock", "", "<div style='height:600px;border-bottom:4px solid #000'></div>", 1, 604 * kPt,
              604 * kPt},
      // A text line ends between its baseline (at 638.85 px for DejaVu
      // Sans 40px in a 50px line) and 0.3 em below it.
      InkCase{"TextLine", "", "<div style='height:600px'></div><p style='margin:0;font:40px/50px DejaVu Sans'>Text</p>",
              1, (638.85 + 6) * kPt, 650 * kPt, 6 * kPt + 1},
      // Unpainted space after the last paint spans into a blank page.
      InkCase{"BlankLastPage", "", "<div style='height:2000px;background:#ccc'></div><div style='height:1500px'></div>",
              2, (2000 - 1448) * kPt, 841.92},
  };
  for (const InkCase& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json info = Convert(Page(c.style, c.body), {{"contentEndInk", true}});
    ASSERT_TRUE(info.is_object()) << log;
    ASSERT_TRUE(info.contains("contentEnd")) << log;
    const auto& ce = info["contentEnd"];
    EXPECT_EQ(ce["page"], c.page) << log;
    EXPECT_NEAR(ce["inkEnd"].get<double>(), c.inkEnd, c.inkTol) << log;
    EXPECT_NEAR(ce["cut"].get<double>(), c.cut, 2.5) << log;
    EXPECT_FALSE(info.contains("contentEndInkError"));
    EXPECT_TRUE(Markers().empty());
    // The page's result as received, in the page's own key order.
    EXPECT_NE(log.find("[PdfClient] Ink measurements: {\"result\":{\"type\":\"object\",\"value\":{\"tailPx\":"),
              std::string::npos) << log;
  }
}

TEST_F(ManagedTrim, InkPassIsASmallShareOfTheRun) {
  std::string body;
  for (int i = 0; i < 400; ++i) body += "<p>Paragraph " + std::to_string(i) + " with a line of text.</p>";
  Convert(Page("", body), {{"contentEndInk", true}});
  size_t at = log.find("[PdfClient] Content end (ink): ");
  ASSERT_NE(at, std::string::npos) << log;
  double read = 0, tree = 0, measure = 0;
  size_t t = log.find("[read+xref ", at);
  ASSERT_NE(t, std::string::npos);
  ASSERT_EQ(std::sscanf(log.c_str() + t, "[read+xref %lfms, page tree %lfms, measure %lfms]", &read, &tree, &measure),
            3);
  size_t e = log.find("Elapsed: ");
  ASSERT_NE(e, std::string::npos);
  double elapsed = std::atof(log.c_str() + e + 9);
  RecordProperty("ink_ms", std::to_string(read + tree + measure));
  RecordProperty("run_ms", std::to_string(elapsed));
  EXPECT_LT(read + tree + measure, 0.1 * elapsed);
}

}  // namespace
