#include "pdfink/ink_measure.h"

#include <gtest/gtest.h>

#include "pdf_fixtures.h"

#ifndef PDFINK_CLI
#define PDFINK_CLI "ink_measure_cli"
#endif

namespace {

using namespace pdfink_test;
using pdfink::InkOptions;
using pdfink::InkResult;

// Pages given by content stream and MediaBox; objects 1 catalog, 2 pages,
// then page and content pairs.
std::string multiPagePdf(const std::vector<std::pair<std::string, std::string>>& pages,
                         const std::string& pagesExtra = "") {
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    int pageObj = static_cast<int>(3 + 2 * i);
    kids += std::to_string(pageObj) + " 0 R ";
    std::string box = pages[i].second.empty() ? "" : " /MediaBox " + pages[i].second;
    objs.push_back("<< /Type /Page /Parent 2 0 R" + box + " /Contents " +
                   std::to_string(pageObj + 1) + " 0 R >>");
    objs.push_back(streamObject(pages[i].first, true));
  }
  objs[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " " +
            pagesExtra + " >>";
  return buildPdf(objs);
}

bool measureText(const std::string& pdf, const InkOptions& options, InkResult& r) {
  return pdfink::measureInkBytes({pdf.begin(), pdf.end()}, options, r);
}

TEST(CommandLine, ExactLines) {
  TempDir dir;
  std::string good = dir.file("good.pdf");
  writeFile(good, singlePagePdf("0 0 1 rg 100 200.5 50 50 re f BT /F1 10 Tf 50 600 Td (x) Tj ET"));
  std::string notPdf = dir.file("page.html");
  writeFile(notPdf, "<html><body>definitely not a pdf</body></html>");
  std::string degenerate = dir.file("degenerate.pdf");
  writeFile(degenerate, singlePagePdf("0 g 0 0 1 1 re f", "<<>>", "[0 0 0.5 792]"));
  std::string odd = dir.file("a\"b\\c\n.pdf");

  const std::pair<std::string, std::string> cases[] = {
      {good,
       R"({"ok":true,"pages":1,"lastPage":1,"inkEnd":591.5,"inkEndText":194.5,"inkEndGeom":591.5,)"
       R"("pageHeight":792,"examined":1,"readable":true,"error":""})"},
      {dir.file("missing.pdf"),
       R"({"ok":false,"pages":0,"lastPage":0,"inkEnd":0,"inkEndText":0,"inkEndGeom":0,)"
       R"("pageHeight":0,"examined":0,"readable":true,"error":"cannot open )" +
           dir.file("missing.pdf") + "\"}"},
      {notPdf,
       R"({"ok":false,"pages":0,"lastPage":0,"inkEnd":0,"inkEndText":0,"inkEndGeom":0,)"
       R"("pageHeight":0,"examined":0,"readable":true,"error":"not a PDF"})"},
      {degenerate,
       R"({"ok":false,"pages":1,"lastPage":0,"inkEnd":0,"inkEndText":0,"inkEndGeom":0,)"
       R"("pageHeight":0,"examined":0,"readable":true,"error":"unusable MediaBox"})"},
      {odd,
       R"({"ok":false,"pages":0,"lastPage":0,"inkEnd":0,"inkEndText":0,"inkEndGeom":0,)"
       R"("pageHeight":0,"examined":0,"readable":true,"error":"cannot open )" +
           dir.path().string() + R"(/a\"b\\c\n.pdf"})"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(pdfink::InkMeasureCommandLine(path), expected);
}

TEST(CommandLine, NumbersUseSixSignificantDigits) {
  InkResult r;
  r.inkEnd = 123.456789;
  r.inkEndText = 1e-05;
  r.inkEndGeom = 1234567.0;
  r.pageHeight = 792;
  EXPECT_EQ(pdfink::formatInkResultLine(true, r),
            R"({"ok":true,"pages":0,"lastPage":0,"inkEnd":123.457,"inkEndText":1e-05,)"
            R"("inkEndGeom":1.23457e+06,"pageHeight":792,"examined":0,"readable":true,"error":""})");
  r.error = std::string("tab\tcr\rctl\x01/\x7f");
  r.records.push_back({});
  r.records[0].readable = false;
  EXPECT_NE(pdfink::formatInkResultLine(false, r).find(
                R"("readable":false,"error":"tab\tcr\rctl\u0001/)" "\x7f" R"("})"),
            std::string::npos);
}

TEST(CommandLine, ProcessPrintsTraceThenOneLineAndExitsZero) {
  TempDir dir;
  std::string pdf = dir.file("t.pdf");
  writeFile(pdf, singlePagePdf("0 0 1 rg 100 200 50 50 re f"));
  int status = -1;
  std::string out = run("HALVERN_INK_TRACE=1 " PDFINK_CLI " '--ink-measure=" + pdf + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out,
            "[ink] fill rgb 0.000 0.000 1.000 y 200.0-250.0\n"
            "[ink] paint y 200.0-250.0 x 100.0-150.0 solid \n"
            R"({"ok":true,"pages":1,"lastPage":1,"inkEnd":592,"inkEndText":0,"inkEndGeom":592,)"
            R"("pageHeight":792,"examined":1,"readable":true,"error":""})" "\n");
  out = run("HALVERN_INK_TRACE=0 " PDFINK_CLI " --ink-measure=/nonexistent/file.pdf", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.find("[ink]"), std::string::npos);
  EXPECT_NE(out.find(R"("ok":false)"), std::string::npos);
}

TEST(Measure, WalksBackwardsToTheLastInkedPage) {
  InkResult r;
  ASSERT_TRUE(measureText(multiPagePdf({{"0 g 0 0 10 10 re f", ""},
                                        {"BT /F1 10 Tf 72 700 Td (text) Tj ET", ""},
                                        {"1 g 0 0 612 792 re f", ""}}),
                          pdfink::commandModeOptions(), r));
  EXPECT_EQ(r.pages, 3);
  EXPECT_EQ(r.lastPage, 2);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[0].pageIndex, 2);
  EXPECT_EQ(r.records[0].found, 0);
  EXPECT_TRUE(r.records[0].readable);
  EXPECT_DOUBLE_EQ(r.inkEnd, 94.5);
  EXPECT_DOUBLE_EQ(r.inkEndText, 94.5);
  EXPECT_DOUBLE_EQ(r.inkEndGeom, 0);
}

TEST(Measure, BlankDocumentStopsAfterMaxPages) {
  std::vector<std::pair<std::string, std::string>> pages(100, {"", ""});
  pages.back().second = "[0 0 500 600]";
  InkResult r;
  ASSERT_TRUE(measureText(multiPagePdf(pages), pdfink::commandModeOptions(), r));
  EXPECT_EQ(r.records.size(), 64u);
  EXPECT_EQ(r.lastPage, 0);
  EXPECT_EQ(r.inkEnd, 0);
  EXPECT_EQ(r.pageHeight, 600);
}

TEST(Measure, PageBoxesAndContents) {
  struct Case {
    const char* name;
    std::string pdf;
    bool ok;
    double inkEnd, pageHeight;
    bool readable;
    std::string error;
  };
  const std::string rect = "0 g 100 300 10 10 re f";
  std::string twoParts = buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] >>",
                                   "<< /Type /Page /Contents [4 0 R 5 0 R] >>",
                                   streamObject("0 g 100 300 10", true), streamObject("10 re f", true)});
  std::string badPart = twoParts;
  badPart.replace(badPart.rfind("/FlateDecode"), 12, "/RunLengthDe");
  const Case cases[] = {
      {"inverted box", multiPagePdf({{rect, "[612 792 0 0]"}}), true, 492, 792, true, ""},
      {"offset box", multiPagePdf({{rect, "[0 100 612 892]"}}), true, 592, 792, true, ""},
      {"inherited box", multiPagePdf({{rect, ""}}, "/MediaBox [0 0 300 400]"), true, 100, 400, true, ""},
      {"ink above the box is clipped", multiPagePdf({{rect, "[0 0 612 200]"}}), true, 0, 200, false, ""},
      {"huge box", multiPagePdf({{rect, "[0 0 612 2000000]"}}), false, 0, 0, true, "unusable MediaBox"},
      {"contents array joined", twoParts, true, 492, 792, true, ""},
      {"one undecodable part", badPart, true, 792, 792, false, ""},
      {"unsupported filter", multiPagePdf({{rect, ""}}).replace(
           multiPagePdf({{rect, ""}}).rfind("/FlateDecode"), 12, "/DCTDecode  "), true, 792, 792, false, ""},
      {"no pages", buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] >>"}), false, 0,
       0, true, "no pages"},
  };
  for (const auto& c : cases) {
    InkResult r;
    EXPECT_EQ(measureText(c.pdf, pdfink::commandModeOptions(), r), c.ok) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
    EXPECT_DOUBLE_EQ(r.inkEnd, c.inkEnd) << c.name;
    EXPECT_DOUBLE_EQ(r.pageHeight, c.pageHeight) << c.name;
    if (std::string(c.name) != "ink above the box is clipped" && !r.records.empty())
      EXPECT_EQ(r.records[0].readable, c.readable) << c.name;
  }
}

TEST(Measure, BudgetExhaustionCountsAsFullyInked) {
  std::string content;
  content.reserve(10100000);
  for (int i = 0; i < 5000000; ++i) content += "q ";
  InkResult r;
  ASSERT_TRUE(measureText(singlePagePdf(content), pdfink::commandModeOptions(), r));
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_FALSE(r.records[0].readable);
  EXPECT_EQ(r.records[0].found, 1);
  EXPECT_EQ(r.inkEnd, 792);
  EXPECT_EQ(r.inkEndText, 0);
}

TEST(Measure, FixedRuleFallsBackWhenEverythingIsInside) {
  InkOptions options = pdfink::commandModeOptions();
  options.fixedRects = {{0, 0, 612, 100}};  // a header band
  std::string onlyHeader = "BT /F1 10 Tf 72 750 Td (Header) Tj ET";
  std::string both = onlyHeader + " 0 g 72 300 100 20 re f";
  struct Case {
    const char* name;
    std::string pdf;
    bool onFirstPage;
    double inkEnd;
    bool remeasured;
    std::uint32_t skipped;
  };
  const Case cases[] = {
      {"only fixed paint: measured again", multiPagePdf({{"", ""}, {onlyHeader, ""}}), true, 44.5, true, 1},
      {"other ink wins", multiPagePdf({{"", ""}, {both, ""}}), true, 492, false, 1},
      {"rule off on page 1", multiPagePdf({{onlyHeader, ""}}), false, 44.5, false, 0},
      {"rule on page 1 when asked", multiPagePdf({{both, ""}}), true, 492, false, 1},
  };
  for (const auto& c : cases) {
    options.fixedRuleOnFirstPage = c.onFirstPage;
    InkResult r;
    ASSERT_TRUE(measureText(c.pdf, options, r)) << c.name;
    EXPECT_DOUBLE_EQ(r.inkEnd, c.inkEnd) << c.name;
    EXPECT_EQ(r.records[0].measuredWithoutRule, c.remeasured) << c.name;
    EXPECT_EQ(r.records[0].fixedSkipped, c.skipped) << c.name;
  }
}

TEST(Measure, CanvasBoxOnTheFirstPage) {
  InkOptions options = pdfink::commandModeOptions();
  options.skipCanvas = true;
  options.canvasRgb = {0, 0, 0};
  // The canvas starts 100 pt down on page 1: a fill of that area is the
  // background, but only there.
  std::string content = "0.5 g 0 0 612 692 re f 1 g 72 300 10 10 re f";
  for (double offset : {0.0, 100.0}) {
    options.firstPageOffset = offset;
    InkResult r;
    ASSERT_TRUE(measureText(multiPagePdf({{content, ""}}), options, r));
    EXPECT_DOUBLE_EQ(r.inkEnd, offset == 100 ? 492 : 792) << offset;
    ASSERT_TRUE(measureText(multiPagePdf({{"", ""}, {content, ""}}), options, r));
    EXPECT_DOUBLE_EQ(r.inkEnd, 792) << "page 2 keeps the full canvas box, offset " << offset;
  }
}

}  // namespace
