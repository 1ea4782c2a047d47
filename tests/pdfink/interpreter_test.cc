#include "pdfink/ink_interpreter.h"

#include <gtest/gtest.h>

#include "pdf_fixtures.h"
#include "pdfink/ink_measure.h"

namespace {

using pdfink::InkMeasure;
using pdfink::InkOptions;

constexpr double kNone = 1e300;

const std::string kResources =
    "<< /Font << /F1 << /Subtype /Type1 >>"
    " /Deep << /Subtype /TrueType /FontDescriptor << /Ascent 700 /Descent 300 >> >>"
    " /Shallow << /Subtype /TrueType /FontDescriptor << /Ascent 500 /Descent -50 >> >>"
    " /Boxed << /Subtype /TrueType /FontDescriptor << /FontBBox [0 -400 1000 900] >> >>"
    " /CID << /Subtype /Type0 /DescendantFonts [<< /Subtype /CIDFontType2"
    "   /FontDescriptor << /Ascent 800 /Descent -220 >> >>] >>"
    " /T3 << /Subtype /Type3 /FontBBox [0 -300 1000 700] /FontMatrix [0.002 0 0 0.002 0 0] >> >>"
    " /ExtGState << /Clear << /ca 0 >> /Thick << /LW 10 >> >>"
    " /XObject << /Im << /Subtype /Image >> /Odd << /Subtype /PS >> >> >>";

InkMeasure measure(const std::string& content, const InkOptions& options) {
  static pdfink::Document doc;
  InkMeasure m;
  m.document = &doc;
  m.options = &options;
  m.pageBox = m.canvasBox = pdfink::Box{0, 0, 612, 792};
  m.ruleActive = !options.fixedRects.empty();
  std::size_t pos = 0;
  pdfink::ObjPtr res = pdfink::parseValue(reinterpret_cast<const std::uint8_t*>(kResources.data()),
                                          kResources.size(), pos);
  pdfink::interpret(m, {content.begin(), content.end()}, res, pdfink::initialGraphicsState(m.pageBox), 0);
  return m;
}

struct Case {
  const char* name;
  std::string content;
  double y;  // lowest inked y in PDF space, kNone for none
};

// Each case inks only text or only geometry.
void expectInk(const std::vector<Case>& cases, bool text, const InkOptions& options = {}) {
  for (const auto& c : cases) {
    InkMeasure m = measure(c.content, options);
    EXPECT_EQ(m.hasInk, c.y != kNone) << c.name;
    EXPECT_NEAR(m.minY, c.y, 1e-6) << c.name;
    EXPECT_NEAR(text ? m.minYText : m.minYGeom, c.y, 1e-6) << c.name;
    EXPECT_EQ(text ? m.minYGeom : m.minYText, kNone) << c.name;
  }
}

TEST(Interpreter, ColoursPathsAndImages) {
  expectInk({
      {"white fill ignored", "1 g 0 0 612 792 re f 1 1 1 rg 10 10 5 5 re f", kNone},
      {"near-white ignored", "0.995 0.995 0.995 rg 10 10 100 100 re f", kNone},
      {"light grey counts", "0.98 g 10 10 100 100 re f", 10},
      {"one channel off counts", "1 1 0.98 rg 10 20 100 100 re f", 20},
      {"cmyk white ignored, black counts", "0 0 0 0 k 1 1 5 5 re f 0 0 0 1 k 9 9 5 5 re f", 9},
      {"pattern counts even in white", "/Pattern cs /P0 scn 10 20 30 30 re f /Pattern cs 1 1 1 sc 5 5 5 5 re f", 5},
      {"named space, one component", "/CS0 cs 1 sc 1 1 5 5 re f 0 sc 2 3 5 5 re f", 3},
      {"device space after pattern", "/Pattern cs /DeviceRGB cs 1 1 1 sc 1 1 5 5 re f", kNone},
      {"stroke is never solid", "1 g 1 G 10 30 m 100 30 l S", 29},
      {"stroke width and CTM scale", "2 0 0 2 0 0 cm 10 w 50 100 m 100 100 l S", 189.5},
      {"ExtGState line width", "/Thick gs 50 100 m 100 100 l s", 94.5},
      {"fill alpha 0 hides fills and text", "/Clear gs 0 g 10 10 50 50 re f BT /F1 10 Tf 10 10 Td (a) Tj ET", kNone},
      {"fill alpha 0 keeps strokes", "/Clear gs 10 40 m 50 50 l S", 39},
      {"empty path paints nothing", "0 g f S B", kNone},
      {"curve adds its last two points", "0 g 10 500 m 20 30 40 600 50 600 c f", 500},
      {"clip removes a paint", "100 100 10 10 re W n 0 g 300 300 10 10 re f", kNone},
      {"clip ends with Q", "q 100 100 10 10 re W n Q 0 g 300 300 10 10 re f", 300},
      {"fill clipped to the clip", "0 400 612 392 re W n 0 g 0 0 612 792 re f", 400},
      {"shading fills the clip", "q 0 50 612 400 re W n /Sh sh Q", 50},
      {"image is the unit square", "q 200 0 0 100 50 250 cm /Im Do Q", 250},
      {"unknown XObject ignored", "/Odd Do /Missing Do", kNone},
      {"inline image then content", "q 100 0 0 100 50 600 cm BI /W 1 /H 1 ID x EI Q 0 g 5 300 10 10 re f", 300},
      {"inline image without EI ends the stream", "BI /W 1 ID xyzEI 0 g 0 0 10 10 re f", kNone},
      {"paint outside the page ignored", "0 g 700 10 50 50 re f 10 -100 5 50 re f", kNone},
  }, false);
}

TEST(Interpreter, Text) {
  expectInk({
      {"default metrics", "BT /F1 10 Tf 100 500 Td (abc) Tj ET", 497.5},
      {"white text counts", "1 g BT /F1 12 Tf 100 500 Td (abc) Tj ET", 497},
      {"positive Descent negated", "BT /Deep 10 Tf 100 500 Td (a) Tj ET", 497},
      {"shallow descent becomes -0.2", "BT /Shallow 10 Tf 0 500 Td (a) Tj ET", 498},
      {"FontBBox fills in Descent", "BT /Boxed 10 Tf 0 500 Td (a) Tj ET", 496},
      {"Type0 uses its descendant", "BT /CID 10 Tf 0 500 Td <0041> Tj ET", 497.8},
      {"Type3 bbox through FontMatrix", "BT /T3 10 Tf 0 500 Td (a) Tj ET", 494},
      {"rise moves the box", "BT /F1 10 Tf 5 Ts 0 500 Td (a) Tj ET", 502.5},
      {"zero size shows nothing", "BT /F1 0 Tf 100 500 Td (abc) Tj ET", kNone},
      {"render mode 7 paints nothing", "BT /F1 10 Tf 7 Tr 100 500 Td (abc) Tj ET", kNone},
      // Text running downwards turns advance widths into y extents.
      {"Tj width", "BT /F1 10 Tf 0 -1 1 0 100 700 Tm (abcd) Tj ET", 678},
      {"render mode 3 still advances", "BT /F1 10 Tf 3 Tr 0 -1 1 0 100 700 Tm (abcd) Tj 0 Tr (x) Tj ET", 672.5},
      {"TJ positive adjustment", "BT /F1 10 Tf 0 -1 1 0 100 700 Tm [(abcd) 1000] TJ ET", 688},
      {"two-byte glyph count", "BT /CID 10 Tf 0 -1 1 0 100 700 Tm <00410042> Tj ET", 689},
      {"char spacing and scale", "BT /F1 10 Tf 1 Tc 50 Tz 0 -1 1 0 100 700 Tm (ab) Tj ET", 693.5},
      {"leading and T*", "BT /F1 10 Tf 20 TL 0 500 Td T* (a) Tj ET", 477.5},
      {"TD sets leading", "BT /F1 10 Tf 0 500 Td 0 -30 TD T* (a) Tj ET", 437.5},
      {"double quote ignores its spacings", "BT /F1 10 Tf 15 TL 0 500 Td 9 9 (a) \" ET", 482.5},
      {"CTM applies to text", "1 0 0 1 0 -100 cm BT /F1 10 Tf 0 500 Td (a) Tj ET", 397.5},
  }, true);
  InkMeasure both = measure("0 g 0 300 10 10 re f BT /F1 10 Tf 0 500 Td (a) Tj ET", {});
  EXPECT_EQ(both.minY, 300);
  EXPECT_EQ(both.minYGeom, 300);
  EXPECT_EQ(both.minYText, 497.5);
}

TEST(Interpreter, CanvasRule) {
  InkOptions options;
  options.skipCanvas = true;
  options.canvasRgb = {0.2, 0.4, 0.6};
  expectInk({
      {"first covering paint skipped whatever its colour", "1 0 0 rg 0 0 612 792 re f", kNone},
      {"second covering paint counts", "1 0 0 rg 0 0 612 792 re f 0 0 612 792 re f", 0},
      {"canvas colour ignored later", "0 g 0 0 612 792 re f 0.2 0.4 0.6 rg 5 5 5 5 re f", kNone},
      {"white counts when not the canvas", "0 g 0 0 612 792 re f 1 g 5 5 5 5 re f", 5},
      {"first paint not covering counts", "0 g 5 6 5 5 re f 0 0 612 792 re f", 0},
  }, false, options);
}

TEST(Interpreter, FixedRectangles) {
  InkOptions options;
  options.fixedRects = {{0, 742, 612, 792}, {100, 250, 140, 320}};  // from the top-left: footer, narrow box
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"footer box swallowed", "0 g 20 10 500 30 re f", false},
      {"box poking above the footer counts", "0 g 20 10 500 50 re f", true},
      // Text 44 wide from x 100: the box ends at 140, slack 13.
      {"overhanging text swallowed", "BT /F1 10 Tf 100 500 Td (abcdefgh) Tj ET", false},
      {"geometry gets no slack", "0 g 100 500 44 5 re f", true},
      {"text past the slack counts", "BT /F1 10 Tf 100 500 Td (abcdefghijklmnopqrst) Tj ET", true},
  };
  for (const auto& [name, content, ink] : cases) {
    InkMeasure m = measure(content, options);
    EXPECT_EQ(m.hasInk, ink) << name;
    EXPECT_EQ(m.fixedSkipped, ink ? 0u : 1u) << name;
  }
}

// Forms need indirect objects, so these go through a whole document.
double formInkEnd(const std::string& pageContent, const std::vector<std::string>& forms) {
  pdfink::InkResult r;
  std::string pdf = pdfink_test::pagesPdf({{pageContent, "", "<< /XObject << /X 5 0 R >> >>"}}, "", forms);
  EXPECT_TRUE(pdfink::measureInkBytes({pdf.begin(), pdf.end()}, pdfink::commandModeOptions(), r)) << r.error;
  return r.lastPage == 1 ? r.inkEnd : -1;
}

TEST(Interpreter, FormXObjects) {
  const std::string box = "0 g 0 100 10 10 re f";
  for (int depth : {17, 18}) {
    std::vector<std::string> chain;
    for (int k = 0; k < depth; ++k)
      chain.push_back(pdfink_test::streamObject(k == depth - 1 ? box : "/X Do", true,
                                                "/Subtype /Form /Resources << /XObject << /X " +
                                                    std::to_string(6 + k) + " 0 R >> >>"));
    EXPECT_EQ(formInkEnd("/X Do", chain), depth == 17 ? 692 : -1) << "forms nest 17 deep, no more";
  }
  auto form = [](const std::string& dict, const std::string& content = "0 g 0 0 100 100 re f", bool flate = true) {
    return formInkEnd("q 1 0 0 1 0 -100 cm /X Do Q", {pdfink_test::streamObject(content, flate, "/Subtype /Form " + dict)});
  };
  EXPECT_EQ(form("/Matrix [1 0 0 1 0 500]"), 392);
  EXPECT_EQ(form("/Matrix [1 0 0 1 0 500] /BBox [0 50 10 60]"), 342);
  EXPECT_EQ(form("/Matrix [1 x 0 1 0 500]"), 392) << "non-numbers fall back to the identity";
  EXPECT_EQ(form("/BBox [0 2000 10 2010]"), -1) << "a form outside the clip is skipped";
  EXPECT_EQ(form("/BBox [0 300 50 350] /Filter /LZWDecode", "junk", false), 592)
      << "an undecodable form counts over its clip";
}

}  // namespace
