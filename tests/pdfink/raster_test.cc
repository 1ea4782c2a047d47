// Ink end of browser-printed pages against the lowest non-white row of a
// pdftoppm rendering of the same page.
#include <gtest/gtest.h>

#include "pdf_fixtures.h"
#include "pdfink/ink_measure.h"

namespace {

using namespace pdfink_test;

std::string page(const std::string& body) {
  return "<!doctype html><html><head><style>@page{size:612pt 792pt;margin:0}"
         "html,body{margin:0;-webkit-print-color-adjust:exact;print-color-adjust:exact}</style></head><body>" +
         body + "</body></html>";
}

// A painted canvas, or its pixels turned into an opaque <img>.
std::string canvas(bool asImage) {
  return "<div style='height:" + std::string(asImage ? "1200" : "300") +
         "px'></div><canvas id=c width=320 height=170></canvas><img id=i style='display:block'><script>"
         "var c=document.getElementById('c'),g=c.getContext('2d');g.fillStyle='#dde';g.fillRect(0,0,320,170);"
         "g.fillStyle='#803';g.beginPath();g.arc(160,85,60,0,7);g.fill();" +
         (asImage ? "document.getElementById('i').src=c.toDataURL('image/png');c.remove();" : "") + "</script>";
}

class Raster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!toolAvailable("pdftoppm")) GTEST_SKIP() << "pdftoppm missing";
    if (!browserAvailable()) GTEST_SKIP() << "browser missing";
  }

  // Measures the browser's PDF of html and renders its last inked page.
  bool measure(const std::string& name, const std::string& html, pdfink::InkResult& r, double& raster) {
    std::string pdf = browserPdf(name, html);
    EXPECT_FALSE(pdf.empty());
    if (pdf.empty() || !pdfink::measureInkGuarded(pdf, pdfink::commandModeOptions(), r)) return false;
    raster = rasterInkEnd(pdf, r.lastPage);
    RecordProperty(name, std::to_string(r.inkEnd) + " vs raster " + std::to_string(raster));
    return raster > 0;
  }
};

TEST_F(Raster, GeometryImagesAndCanvasWithinOnePoint) {
  const std::string svg = "<svg width=400 height=600 style='display:block'><line stroke='#000' stroke-width=6 ";
  // Strokes grow by half their width on every side, which overstates a
  // diagonal line: that case may end below its pixels by this much.
  const std::pair<std::string, double> cases[] = {
      {page("<div style='margin:300px 0 0 100px;width:200px;height:80px;background:#393;transform:rotate(25deg)'>"
            "</div>"), 0},
      {page("<div style='margin-top:500px;width:120px;height:120px;border-radius:60px;background:#c60'></div>"), 0},
      {page(svg + "x1=10 y1=570 x2=380 y2=570 /></svg>"), 0},
      {page(svg + "x1=10 y1=20 x2=380 y2=570 /></svg>"), 2.25 + 0.5},
      {page("<div style='height:1300px;background:#79b'></div>"), 0},  // ends on page 2
      {page("<div style='height:700px;background:#f4f4f4'></div>"), 0},
      {page(canvas(false)), 0},
      {page(canvas(true)), 0},
  };
  int n = 0;
  for (const auto& [html, strokeSlack] : cases) {
    std::string name = "geom-" + std::to_string(++n);
    SCOPED_TRACE(name);
    pdfink::InkResult r;
    double raster = 0;
    ASSERT_TRUE(measure(name, html, r, raster)) << r.error;
    EXPECT_EQ(r.lastPage, r.pages);
    EXPECT_GE(r.inkEnd, raster - 1.0);
    EXPECT_LE(r.inkEnd, raster + 1.0 + strokeSlack);
    EXPECT_EQ(r.inkEndGeom, r.inkEnd);
  }
}

TEST_F(Raster, TextEndsAtOrBelowItsPixelsWithinTheDescent) {
  const std::tuple<double, std::string, std::string> cases[] = {
      {12, "sans-serif", "Plain capitals HELLO"},
      {30, "sans-serif", "gjpqy descenders"},
      {18, "serif", "Serif text, with a comma"},
      {9, "monospace", "int main() { return 0; }"},
      {48, "serif", "Big"},
  };
  for (const auto& [sizePt, family, text] : cases) {
    std::string name = "text-" + family + std::to_string(int(sizePt));
    SCOPED_TRACE(name);
    pdfink::InkResult r;
    double raster = 0;
    ASSERT_TRUE(measure(name, page("<div style='height:250px'></div><p style='margin:0 40px;font-family:" + family +
                                   ";font-size:" + std::to_string(sizePt) + "pt;line-height:1.6'>" + text + "</p>"),
                        r, raster));
    EXPECT_GE(r.inkEndText, raster - 0.5);  // half a raster row of slack
    EXPECT_LE(r.inkEndText, raster + 0.3 * sizePt + 0.5);
    EXPECT_EQ(r.inkEnd, r.inkEndText);
  }
}

}  // namespace
