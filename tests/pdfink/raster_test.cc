// Ink end of browser-printed pages against the lowest non-white row of a
// pdftoppm rendering of the same page.
#include <gtest/gtest.h>

#include "pdf_fixtures.h"
#include "pdfink/ink_measure.h"

namespace {

using namespace pdfink_test;

std::string base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) | static_cast<unsigned char>(in[i + 2]);
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

// An opaque 24-bit BMP with a colour gradient, as a data URL.
std::string bmpDataUrl(int w, int h) {
  auto le = [](std::string& s, unsigned v, int n) {
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  int stride = (w * 3 + 3) & ~3;
  std::string b = "BM";
  le(b, 54 + stride * h, 4);
  le(b, 0, 4);
  le(b, 54, 4);
  le(b, 40, 4);
  le(b, w, 4);
  le(b, h, 4);
  le(b, 1, 2);
  le(b, 24, 2);
  le(b, 0, 4);
  le(b, stride * h, 4);
  le(b, 2835, 4);
  le(b, 2835, 4);
  le(b, 0, 4);  // palette size
  le(b, 0, 4);  // important colours
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      b.push_back(static_cast<char>(40 + x * 150 / w));
      b.push_back(static_cast<char>(30 + y * 120 / h));
      b.push_back(static_cast<char>(120));
    }
    b.append(stride - w * 3, '\0');
  }
  return "data:image/bmp;base64," + base64(b);
}

std::string page(const std::string& body, const std::string& style = "") {
  return "<!doctype html><html><head><style>@page{size:612pt 792pt;margin:0}"
         "html,body{margin:0;-webkit-print-color-adjust:exact;print-color-adjust:exact}" +
         style + "</style></head><body>" + body + "</body></html>";
}

class Raster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!toolAvailable("pdftoppm")) GTEST_SKIP() << "pdftoppm missing";
    if (!browserAvailable()) GTEST_SKIP() << "browser missing";
  }
};

struct GeomCase {
  const char* name;
  std::string html;
  // Strokes grow by half their width on every side, which overstates a
  // diagonal line: those cases may end below the pixels by this much.
  double strokeSlack = 0;
};

TEST_F(Raster, GeometryImagesAndCanvasWithinOnePoint) {
  const std::string canvas =
      "<div style='height:300px'></div><canvas id=c width=320 height=170></canvas><script>"
      "var g=document.getElementById('c').getContext('2d');g.fillStyle='#dde';g.fillRect(0,0,320,170);"
      "g.fillStyle='#803';g.beginPath();g.arc(160,85,60,0,7);g.fill();</script>";
  const GeomCase cases[] = {
      {"box", page("<div style='height:137px'></div><div style='height:55px;width:300px;background:#246'></div>")},
      {"border only", page("<div style='margin-top:400px;height:60px;width:200px;border-bottom:3px solid #a00'></div>")},
      {"rotated", page("<div style='margin:300px 0 0 100px;width:200px;height:80px;background:#393;"
                       "transform:rotate(25deg)'></div>")},
      {"rounded", page("<div style='margin-top:500px;width:120px;height:120px;border-radius:60px;"
                       "background:#c60'></div>")},
      {"svg horizontal stroke", page("<svg width=400 height=600 style='display:block'><line x1=10 y1=570 "
                                   "x2=380 y2=570 stroke='#000' stroke-width=6 /></svg>")},
      {"svg diagonal stroke", page("<svg width=400 height=600 style='display:block'><line x1=10 y1=20 "
                                 "x2=380 y2=570 stroke='#000' stroke-width=6 /></svg>"), 2.25 + 0.5},
      {"second page", page("<div style='height:1300px;background:#79b'></div>")},
      {"light grey", page("<div style='height:700px;background:#f4f4f4'></div>")},
      {"image", page("<div style='height:1200px'></div><img style='display:block;width:240px;height:130px' src='" +
                     bmpDataUrl(24, 13) + "'>")},
      {"canvas", page(canvas)},
  };
  for (const auto& c : cases) {
    std::string pdf = browserPdf(std::string("geom-") + c.name, c.html);
    ASSERT_FALSE(pdf.empty()) << c.name;
    pdfink::InkResult r;
    ASSERT_TRUE(pdfink::measureInkGuarded(pdf, pdfink::commandModeOptions(), r)) << c.name << r.error;
    ASSERT_EQ(r.lastPage, r.pages) << c.name;
    double raster = rasterInkEnd(pdf, r.lastPage);
    ASSERT_GT(raster, 0) << c.name;
    RecordProperty(c.name, std::to_string(r.inkEnd) + " vs raster " + std::to_string(raster));
    EXPECT_GE(r.inkEnd, raster - 1.0) << c.name;
    EXPECT_LE(r.inkEnd, raster + 1.0 + c.strokeSlack) << c.name;
    EXPECT_EQ(r.inkEndGeom, r.inkEnd) << c.name;
  }
}

TEST_F(Raster, FixedFooterRectanglesAreSkipped) {
  // A footer 40 px (30 pt) high repeated on every page.
  std::string html = page(
      "<div style='height:900px;background:#9bd'></div><p style='font:14px sans-serif'>after</p>"
      "<div style='height:200px;width:300px;background:#363'></div>"
      "<div style='position:fixed;left:0;right:0;bottom:0;height:40px;background:#444;color:#fff'>"
      "footer text</div>");
  std::string pdf = browserPdf("fixed-footer", html);
  ASSERT_FALSE(pdf.empty());
  pdfink::InkOptions options = pdfink::commandModeOptions();
  pdfink::InkResult plain, ruled;
  ASSERT_TRUE(pdfink::measureInkGuarded(pdf, options, plain));
  // The footer occupies 762-792 pt; browsers place it a few 1e-5 pt off,
  // so the rectangle gets a little room.
  options.fixedRects = {{0, 760, 612, 792}};
  ASSERT_TRUE(pdfink::measureInkGuarded(pdf, options, ruled));
  ASSERT_EQ(ruled.lastPage, 2);
  EXPECT_NEAR(plain.inkEnd, rasterInkEnd(pdf, 2), 1.0) << "without the rule the footer is the end";
  EXPECT_NEAR(ruled.inkEnd, rasterInkEnd(pdf, 2, 144, 760), 1.0);
  EXPECT_GT(ruled.records[0].fixedSkipped, 0u);
  EXPECT_FALSE(ruled.records[0].measuredWithoutRule);
}

struct TextCase {
  const char* name;
  double sizePt;
  std::string family, text;
};

TEST_F(Raster, TextEndsAtOrBelowItsPixelsWithinTheDescent) {
  const TextCase cases[] = {
      {"sans 12", 12, "sans-serif", "Plain capitals HELLO"},
      {"sans 30 descenders", 30, "sans-serif", "gjpqy descenders"},
      {"serif 18", 18, "serif", "Serif text, with a comma"},
      {"mono 9", 9, "monospace", "int main() { return 0; }"},
      {"serif 48", 48, "serif", "Big"},
  };
  for (const auto& c : cases) {
    std::string html = page("<div style='height:250px'></div><p style='margin:0 40px;font-family:" + c.family +
                            ";font-size:" + std::to_string(c.sizePt) + "pt;line-height:1.6'>" + c.text +
                            "</p>");
    std::string pdf = browserPdf(std::string("text-") + c.name, html);
    ASSERT_FALSE(pdf.empty()) << c.name;
    pdfink::InkResult r;
    ASSERT_TRUE(pdfink::measureInkGuarded(pdf, pdfink::commandModeOptions(), r)) << c.name;
    double raster = rasterInkEnd(pdf, r.lastPage);
    ASSERT_GT(raster, 0) << c.name;
    RecordProperty(c.name, std::to_string(r.inkEndText) + " vs raster " + std::to_string(raster));
    EXPECT_GE(r.inkEndText, raster - 0.5) << c.name;  // half a raster row of slack
    EXPECT_LE(r.inkEndText, raster + 0.3 * c.sizePt + 0.5) << c.name;
    EXPECT_EQ(r.inkEnd, r.inkEndText) << c.name;
  }
}

}  // namespace
