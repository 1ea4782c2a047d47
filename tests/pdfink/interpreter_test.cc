#include "pdfink/ink_interpreter.h"

#include <gtest/gtest.h>

#include "pdf_fixtures.h"
#include "pdfink/ink_measure.h"

namespace {

using pdfink::InkMeasure;
using pdfink::InkOptions;

constexpr double kNone = 1e300;

struct Outcome {
  bool hasInk;
  double minY, minYText, minYGeom;
  std::uint32_t paints, fixedSkipped;
};

Outcome measure(const std::string& content, const InkOptions& options,
                const std::string& resources = "<< >>") {
  pdfink::Document doc;
  InkMeasure m;
  m.document = &doc;
  m.options = &options;
  m.pageBox = m.canvasBox = pdfink::Box{0, 0, 612, 792};
  m.ruleActive = !options.fixedRects.empty();
  std::size_t pos = 0;
  pdfink::ObjPtr res = pdfink::parseValue(reinterpret_cast<const std::uint8_t*>(resources.data()),
                                          resources.size(), pos);
  std::vector<std::uint8_t> bytes(content.begin(), content.end());
  pdfink::interpret(m, bytes, res, pdfink::initialGraphicsState(m.pageBox), 0);
  return {m.hasInk, m.minY, m.minYText, m.minYGeom, m.paints, m.fixedSkipped};
}

struct Case {
  const char* name;
  std::string content;
  std::string resources;
  double minY;  // kNone: no ink
  double minYText = kNone;
  double minYGeom = kNone;
};

void runCases(const std::vector<Case>& cases, const InkOptions& options) {
  for (const auto& c : cases) {
    Outcome o = measure(c.content, options, c.resources.empty() ? "<< >>" : c.resources);
    EXPECT_EQ(o.hasInk, c.minY != kNone) << c.name;
    EXPECT_NEAR(o.minY, c.minY, 1e-6) << c.name;
    if (c.minYText != kNone || c.minYGeom != kNone) {
      EXPECT_NEAR(o.minYText, c.minYText, 1e-6) << c.name;
      EXPECT_NEAR(o.minYGeom, c.minYGeom, 1e-6) << c.name;
    }
  }
}

const std::string kFonts =
    "<< /Font << /F1 << /Subtype /Type1 >>"
    " /Deep << /Subtype /TrueType /FontDescriptor << /Ascent 700 /Descent 300 >> >>"
    " /Shallow << /Subtype /TrueType /FontDescriptor << /Ascent 500 /Descent -50 >> >>"
    " /Boxed << /Subtype /TrueType /FontDescriptor << /FontBBox [0 -400 1000 900] >> >>"
    " /CID << /Subtype /Type0 /DescendantFonts [<< /Subtype /CIDFontType2"
    "   /FontDescriptor << /Ascent 800 /Descent -220 >> >>] >>"
    " /T3 << /Subtype /Type3 /FontBBox [0 -300 1000 700] /FontMatrix [0.002 0 0 0.002 0 0] >> >>"
    " /ExtGState << /Clear << /ca 0 >> /Thick << /LW 10 >> >>"
    " /XObject << /Im << /Subtype /Image >> /Odd << /Subtype /PS >> >> >>";

TEST(Interpreter, ColoursAndFills) {
  runCases(
      {
          {"white fill ignored", "1 g 0 0 612 792 re f 1 1 1 rg 10 10 5 5 re f", "", kNone},
          {"near-white ignored", "0.995 0.995 0.995 rg 10 10 100 100 re f", "", kNone},
          {"light grey counts", "0.98 g 10 10 100 100 re f", "", 10},
          {"one channel off counts", "1 1 0.98 rg 10 20 100 100 re f", "", 20},
          {"cmyk white ignored, black counts", "0 0 0 0 k 1 1 5 5 re f 0 0 0 1 k 9 9 5 5 re f", "", 9},
          {"pattern fill counts even in white",
           "/Pattern cs /P0 scn 10 20 30 30 re f /Pattern cs 1 1 1 sc 5 5 5 5 re f", "", 5},
          {"named colour space, one component", "/CS0 cs 1 sc 1 1 5 5 re f 0 sc 2 3 5 5 re f", "", 3},
          {"named colour space, two components unknown", "/CS0 cs 1 1 sc 1 4 5 5 re f", "", 4},
          {"device space again after pattern", "/Pattern cs /DeviceRGB cs 1 1 1 sc 1 1 5 5 re f", "", kNone},
          {"stroke is never solid", "1 g 1 G 10 30 m 100 30 l S", "", 29},
          {"stroke width and CTM scale", "2 0 0 2 0 0 cm 10 w 50 100 m 100 100 l S", "", 189.5},
          {"ExtGState line width", "/Thick gs 50 100 m 100 100 l s", kFonts, 94.5},
          {"fill alpha 0 hides fills and text",
           "/Clear gs 0 g 10 10 50 50 re f BT /F1 10 Tf 10 10 Td (a) Tj ET", kFonts, kNone},
          {"fill alpha 0 keeps strokes", "/Clear gs 10 40 m 50 50 l S", kFonts, 39},
          {"empty path paints nothing", "0 g f S B", "", kNone},
          {"curve adds its last two points", "0 g 10 500 m 20 30 40 600 50 600 c f", "", 500},
          {"clip removes a paint", "100 100 10 10 re W n 0 g 300 300 10 10 re f", "", kNone},
          {"clip ends with Q", "q 100 100 10 10 re W n Q 0 g 300 300 10 10 re f", "", 300},
          {"fill clipped to the clip", "0 400 612 392 re W n 0 g 0 0 612 792 re f", "", 400},
          {"shading fills the clip", "q 0 50 612 400 re W n /Sh sh Q", "", 50},
          {"image is the unit square", "q 200 0 0 100 50 250 cm /Im Do Q", kFonts, 250},
          {"unknown XObject ignored", "/Odd Do /Missing Do", kFonts, kNone},
          {"inline image then more content",
           "q 100 0 0 100 50 600 cm BI /W 1 /H 1 ID x EI Q 0 g 5 300 10 10 re f", "", 300},
          {"inline image without EI ends the stream", "BI /W 1 ID xyzEI 0 g 0 0 10 10 re f", "", kNone},
          {"paint outside the page ignored", "0 g 700 10 50 50 re f 10 -100 5 50 re f", "", kNone},
          {"cm with too few operands ignored", "1 2 3 cm 0 g 10 10 5 5 re f", "", 10},
          {"stack keeps the newest 64 operands",
           [] {
             std::string s;
             for (int i = 0; i < 70; ++i) s += "9 ";
             return s + "0 g 10 11 5 5 re f";
           }(),
           "", 11},
      },
      InkOptions{});
}

TEST(Interpreter, Text) {
  runCases(
      {
          {"default metrics", "BT /F1 10 Tf 100 500 Td (abc) Tj ET", kFonts, 497.5, 497.5, kNone},
          {"white text counts", "1 g BT /F1 12 Tf 100 500 Td (abc) Tj ET", kFonts, 497, 497, kNone},
          {"positive Descent negated", "BT /Deep 10 Tf 100 500 Td (a) Tj ET", kFonts, 497, 497, kNone},
          {"shallow descent becomes -0.2", "BT /Shallow 10 Tf 0 500 Td (a) Tj ET", kFonts, 498, 498, kNone},
          {"FontBBox fills in Descent", "BT /Boxed 10 Tf 0 500 Td (a) Tj ET", kFonts, 496, 496, kNone},
          {"Type0 uses its descendant", "BT /CID 10 Tf 0 500 Td <0041> Tj ET", kFonts, 497.8, 497.8, kNone},
          {"Type3 bbox through FontMatrix", "BT /T3 10 Tf 0 500 Td (a) Tj ET", kFonts, 494, 494, kNone},
          {"rise moves the box", "BT /F1 10 Tf 5 Ts 0 500 Td (a) Tj ET", kFonts, 502.5, 502.5, kNone},
          {"zero size shows nothing", "BT /F1 0 Tf 100 500 Td (abc) Tj ET", kFonts, kNone},
          {"render mode 7 paints nothing", "BT /F1 10 Tf 7 Tr 100 500 Td (abc) Tj ET", kFonts, kNone},
          // Text running downwards turns advance widths into y extents.
          {"Tj width", "BT /F1 10 Tf 0 -1 1 0 100 700 Tm (abcd) Tj ET", kFonts, 678, 678, kNone},
          {"render mode 3 still advances",
           "BT /F1 10 Tf 3 Tr 0 -1 1 0 100 700 Tm (abcd) Tj 0 Tr (x) Tj ET", kFonts, 672.5, 672.5, kNone},
          {"TJ positive adjustment", "BT /F1 10 Tf 0 -1 1 0 100 700 Tm [(abcd) 1000] TJ ET", kFonts, 688,
           688, kNone},
          {"TJ negative adjustment", "BT /F1 10 Tf 0 -1 1 0 100 700 Tm [(abcd) -1000] TJ ET", kFonts, 668,
           668, kNone},
          {"two-byte glyph count", "BT /CID 10 Tf 0 -1 1 0 100 700 Tm <00410042> Tj ET", kFonts, 689,
           689, kNone},
          {"char spacing and horizontal scale",
           "BT /F1 10 Tf 1 Tc 50 Tz 0 -1 1 0 100 700 Tm (ab) Tj ET", kFonts, 693.5, 693.5, kNone},
          {"leading and T*", "BT /F1 10 Tf 20 TL 0 500 Td T* (a) Tj ET", kFonts, 477.5, 477.5, kNone},
          {"TD sets leading", "BT /F1 10 Tf 0 500 Td 0 -30 TD T* (a) Tj ET", kFonts, 437.5, 437.5, kNone},
          {"quote moves to the next line", "BT /F1 10 Tf 15 TL 0 500 Td (a) ' ET", kFonts, 482.5, 482.5,
           kNone},
          {"double quote ignores its spacings", "BT /F1 10 Tf 15 TL 0 500 Td 9 9 (a) \" ET", kFonts, 482.5,
           482.5, kNone},
          {"CTM applies to text", "1 0 0 1 0 -100 cm BT /F1 10 Tf 0 500 Td (a) Tj ET", kFonts, 397.5,
           397.5, kNone},
          {"text and geometry tracked apart",
           "0 g 0 300 10 10 re f BT /F1 10 Tf 0 500 Td (a) Tj ET", kFonts, 300, 497.5, 300},
          {"Tf without a name keeps metrics", "BT /Deep 10 Tf 20 Tf 0 500 Td (a) Tj ET", kFonts, 494, 494,
           kNone},
      },
      InkOptions{});
}

TEST(Interpreter, CanvasRule) {
  InkOptions options;
  options.skipCanvas = true;
  options.canvasRgb = {0.2, 0.4, 0.6};
  runCases(
      {
          {"first covering paint skipped whatever its colour", "1 0 0 rg 0 0 612 792 re f", "", kNone},
          {"second covering paint counts", "1 0 0 rg 0 0 612 792 re f 0 0 612 792 re f", "", 0},
          {"canvas colour ignored later", "0 g 0 0 612 792 re f 0.2 0.4 0.6 rg 5 5 5 5 re f", "", kNone},
          {"white counts when it is not the canvas", "0 g 0 0 612 792 re f 1 g 5 5 5 5 re f", "", 5},
          {"first paint not covering counts", "0 g 5 6 5 5 re f 0 0 612 792 re f", "", 0},
      },
      options);
}

TEST(Interpreter, FixedRectangles) {
  InkOptions options;
  // Rectangles from the top-left corner: a footer band and a narrow box.
  options.fixedRects = {{0, 742, 612, 792}, {100, 250, 140, 320}};
  struct Expect {
    const char* name;
    std::string content;
    bool ink;
    std::uint32_t skipped;
  };
  const Expect cases[] = {
      {"footer box swallowed", "0 g 20 10 500 30 re f", false, 1},
      {"box poking above the footer counts", "0 g 20 10 500 50 re f", true, 0},
      // Text 44 wide from x 100: the box ends at 140, slack 13.
      {"overhanging text swallowed", "BT /F1 10 Tf 100 500 Td (abcdefgh) Tj ET", false, 1},
      {"geometry gets no slack", "0 g 100 500 44 5 re f", true, 0},
      {"text past the slack counts", "BT /F1 10 Tf 100 500 Td (abcdefghijklmnopqrst) Tj ET", true, 0},
  };
  for (const auto& c : cases) {
    Outcome o = measure(c.content, options, kFonts);
    EXPECT_EQ(o.hasInk, c.ink) << c.name;
    EXPECT_EQ(o.fixedSkipped, c.skipped) << c.name;
  }
}

TEST(Interpreter, BudgetEndsHostileContent) {
  pdfink::Document doc;
  InkOptions options;
  InkMeasure m;
  m.document = &doc;
  m.options = &options;
  m.pageBox = m.canvasBox = pdfink::Box{0, 0, 612, 792};
  m.budget = 1000;
  std::string content;
  for (int i = 0; i < 600; ++i) content += "q Q ";
  content += "0 g 1 1 5 5 re f";
  std::vector<std::uint8_t> bytes(content.begin(), content.end());
  pdfink::interpret(m, bytes, nullptr, pdfink::initialGraphicsState(m.pageBox), 0);
  EXPECT_TRUE(m.aborted);
  EXPECT_FALSE(m.hasInk);
}

// Forms need indirect objects, so these go through a whole document.
std::string formChain(int forms, const std::string& innermost) {
  std::vector<std::string> extra;
  for (int k = 0; k < forms; ++k) {
    bool last = k == forms - 1;
    std::string res = last ? "<< >>" : "<< /XObject << /X " + std::to_string(6 + k) + " 0 R >> >>";
    extra.push_back(pdfink_test::streamObject(last ? innermost : "/X Do", true,
                                              "/Subtype /Form /Resources " + res));
  }
  return pdfink_test::singlePagePdf("/X Do", "<< /XObject << /X 5 0 R >> >>", "[0 0 612 792]", extra);
}

double inkEnd(const std::string& pdf, bool* found = nullptr) {
  pdfink::InkResult r;
  EXPECT_TRUE(pdfink::measureInkBytes({pdf.begin(), pdf.end()}, pdfink::commandModeOptions(), r))
      << r.error;
  if (found) *found = r.lastPage == 1;
  return r.inkEnd;
}

TEST(Interpreter, FormXObjects) {
  bool found = false;
  inkEnd(formChain(17, "0 g 0 100 10 10 re f"), &found);
  EXPECT_TRUE(found) << "17 nested forms are drawn";
  inkEnd(formChain(18, "0 g 0 100 10 10 re f"), &found);
  EXPECT_FALSE(found) << "the 18th is not";

  auto form = [](const std::string& dict, const std::string& content, bool flate = true) {
    return pdfink_test::singlePagePdf(
        "q 1 0 0 1 0 -100 cm /X Do Q", "<< /XObject << /X 5 0 R >> >>", "[0 0 612 792]",
        {pdfink_test::streamObject(content, flate, "/Subtype /Form " + dict)});
  };
  EXPECT_DOUBLE_EQ(inkEnd(form("/Matrix [1 0 0 1 0 500]", "0 g 0 0 100 100 re f")), 392);
  EXPECT_DOUBLE_EQ(inkEnd(form("/Matrix [1 0 0 1 0 500] /BBox [0 50 10 60]", "0 g 0 0 100 100 re f")),
                   342);
  EXPECT_DOUBLE_EQ(inkEnd(form("/Matrix [1 x 0 1 0 500]", "0 g 0 0 100 100 re f")), 392)
      << "non-numbers fall back to the identity";
  inkEnd(form("/BBox [0 2000 10 2010]", "0 g 0 0 100 100 re f"), &found);
  EXPECT_FALSE(found) << "a form outside the clip is skipped";
  EXPECT_DOUBLE_EQ(inkEnd(form("/BBox [0 300 50 350] /Filter /LZWDecode", "junk", false)), 592)
      << "an undecodable form counts over its clip";
}

}  // namespace
