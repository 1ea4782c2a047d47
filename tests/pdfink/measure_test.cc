#include "pdfink/ink_measure.h"

#include <gtest/gtest.h>

#include "pdf_fixtures.h"

namespace {

using namespace pdfink_test;
using pdfink::InkOptions;
using pdfink::InkResult;

bool measureText(const std::string& pdf, const InkOptions& options, InkResult& r) {
  return pdfink::measureInkBytes({pdf.begin(), pdf.end()}, options, r);
}

// The command-mode line: a failure prints zeros, a one-page file its ends.
std::string failureLine(int pages, const std::string& error) {
  return R"({"ok":false,"pages":)" + std::to_string(pages) +
         R"(,"lastPage":0,"inkEnd":0,"inkEndText":0,"inkEndGeom":0,"pageHeight":0,"examined":0,)"
         R"("readable":true,"error":")" + error + "\"}";
}
std::string okLine(const std::string& ink, const std::string& text, const std::string& geom,
                   const std::string& height, bool readable = true, int lastPage = 1) {
  return R"({"ok":true,"pages":1,"lastPage":)" + std::to_string(lastPage) + R"(,"inkEnd":)" + ink + R"(,"inkEndText":)" + text +
         R"(,"inkEndGeom":)" + geom + R"(,"pageHeight":)" + height + R"(,"examined":1,"readable":)" +
         (readable ? "true" : "false") + R"(,"error":""})";
}

TEST(CommandLine, PageBoxesContentsAndExactLines) {
  const std::string rect = "0 g 100 300 10 10 re f";
  std::string twoParts = buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] >>",
                                   "<< /Type /Page /Contents [4 0 R 5 0 R] >>",
                                   streamObject("0 g 100 300 10", true), streamObject("10 re f", true)});
  auto filter = [](std::string pdf, const std::string& name) {
    return pdf.replace(pdf.rfind("/FlateDecode"), 12, name);
  };
  TempDir dir;
  const std::string oddName = "a\"b\\c\n\t\x01\x7f.pdf";
  const std::tuple<std::string, std::string, std::string> cases[] = {  // file, contents (none: missing), line
      {"rounded", pagesPdf({{"0 0 1 rg 100 200.123456 50 50 re f BT /F1 10 Tf 50 600 Td (x) Tj ET"}}),
       okLine("591.877", "194.5", "591.877", "792")},
      {"inverted box", pagesPdf({{rect, "[612 792 0 0]"}}), okLine("492", "0", "492", "792")},
      {"offset box", pagesPdf({{rect, "[0 100 612 892]"}}), okLine("592", "0", "592", "792")},
      {"inherited box", pagesPdf({{rect}}, "/MediaBox [0 0 300 400]"), okLine("100", "0", "100", "400")},
      {"ink above the box is clipped", pagesPdf({{rect, "[0 0 612 200]"}}), okLine("0", "0", "0", "200", true, 0)},
      {"huge box", pagesPdf({{rect, "[0 0 612 2000000]"}}), failureLine(1, "unusable MediaBox")},
      {"narrow box", pagesPdf({{rect, "[0 0 0.5 792]"}}), failureLine(1, "unusable MediaBox")},
      {"contents array joined", twoParts, okLine("492", "0", "492", "792")},
      {"one undecodable part", filter(twoParts, "/RunLengthDe"), okLine("792", "0", "792", "792", false)},
      {"unsupported filter", filter(pagesPdf({{rect}}), "/DCTDecode  "), okLine("792", "0", "792", "792", false)},
      {"no pages", buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] >>"}),
       failureLine(0, "no pages")},
      {"page.html", "<html><body>definitely not a pdf</body></html>", failureLine(0, "not a PDF")},
      {"missing.pdf", "", failureLine(0, "cannot open " + dir.file("missing.pdf"))},
      {oddName, "", failureLine(0, "cannot open " + dir.path.string() + R"(/a\"b\\c\n\t\u0001)" "\x7f.pdf")},
  };
  for (const auto& [name, pdf, expected] : cases) {
    if (!pdf.empty()) writeFile(dir.file(name), pdf);
    EXPECT_EQ(pdfink::InkMeasureCommandLine(dir.file(name)), expected) << name;
  }
}

TEST(CommandLine, ProcessPrintsTraceThenOneLineAndExitsZero) {
  TempDir dir;
  std::string pdf = dir.file("t.pdf");
  writeFile(pdf, pagesPdf({{"0 0 1 rg 100 200 50 50 re f"}}));
  int status = -1;
  EXPECT_EQ(run("HALVERN_INK_TRACE=1 " PDFINK_CLI " '--ink-measure=" + pdf + "'", &status),
            "[ink] fill rgb 0.000 0.000 1.000 y 200.0-250.0\n"
            "[ink] paint y 200.0-250.0 x 100.0-150.0 solid \n"
            R"({"ok":true,"pages":1,"lastPage":1,"inkEnd":592,"inkEndText":0,"inkEndGeom":592,)"
            R"("pageHeight":792,"examined":1,"readable":true,"error":""})" "\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run("HALVERN_INK_TRACE=0 " PDFINK_CLI " --ink-measure=/nonexistent/file.pdf", &status),
            failureLine(0, "cannot open /nonexistent/file.pdf") + "\n");
  EXPECT_EQ(status, 0);
}

TEST(Measure, WalksBackwardsToTheLastInkedPage) {
  std::vector<PageSpec> blank(100);
  blank.back().mediaBox = "[0 0 500 600]";
  const std::string threePages = pagesPdf({{"0 g 0 0 10 10 re f"}, {"BT /F1 10 Tf 72 700 Td (text) Tj ET"},
                                           {"1 g 0 0 612 792 re f"}}),
                    blankPages = pagesPdf(blank);
  // The same documents with their objects packed into object streams.
  TempDir dir;
  auto packed = [&](const std::string& pdf, const std::string& args) {
    writeFile(dir.file("in.pdf"), pdf);
    run("qpdf --object-streams=generate " + args + " '" + dir.file("in.pdf") + "' '" + dir.file("out.pdf") + "'");
    return readFile(dir.file("out.pdf"));
  };
  std::vector<std::string> forms = {""};
  if (toolAvailable("qpdf")) forms.insert(forms.end(), {"--compress-streams=n --decode-level=generalized", "--recompress-flate"});
  for (const auto& form : forms) {
    SCOPED_TRACE(form);
    InkResult r;
    ASSERT_TRUE(measureText(form.empty() ? threePages : packed(threePages, form), pdfink::commandModeOptions(), r));
    EXPECT_EQ(r.pages, 3);
    EXPECT_EQ(r.lastPage, 2);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0].pageIndex, 2);
    EXPECT_EQ(r.records[0].found, 0);
    EXPECT_DOUBLE_EQ(r.inkEnd, 94.5);
    EXPECT_DOUBLE_EQ(r.inkEndText, 94.5);
    EXPECT_DOUBLE_EQ(r.inkEndGeom, 0);

    ASSERT_TRUE(measureText(form.empty() ? blankPages : packed(blankPages, form), pdfink::commandModeOptions(), r));
    EXPECT_EQ(r.records.size(), 64u) << "a blank document stops after 64 pages";
    EXPECT_EQ(r.lastPage, 0);
    EXPECT_EQ(r.inkEnd, 0);
    EXPECT_EQ(r.pageHeight, 600);
  }
}

TEST(Measure, BudgetExhaustionCountsAsFullyInked) {
  std::string content;
  for (int i = 0; i < 5000000; ++i) content += "q ";
  InkResult r;
  ASSERT_TRUE(measureText(pagesPdf({{content}}), pdfink::commandModeOptions(), r));
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_FALSE(r.records[0].readable);
  EXPECT_EQ(r.records[0].found, 1);
  EXPECT_EQ(r.inkEnd, 792);
  EXPECT_EQ(r.inkEndText, 0);
}

// The fixed rule with a header band, and the canvas rule with a black canvas.
TEST(Measure, FixedRuleFallbackAndCanvasBelowTheOffset) {
  const std::string header = "BT /F1 10 Tf 72 750 Td (Header) Tj ET", both = header + " 0 g 72 300 100 20 re f",
                    canvas = "0.5 g 0 0 612 692 re f 1 g 72 300 10 10 re f";
  struct Case {
    const char* name;
    std::vector<PageSpec> pages;
    bool fixedRule, onFirstPage;
    double offset, inkEnd;
    bool remeasured;
    std::uint32_t skipped;
  };
  const Case cases[] = {
      {"only fixed paint: measured again", {{}, {header}}, true, true, 0, 44.5, true, 1},
      {"other ink wins", {{}, {both}}, true, true, 0, 492, false, 1},
      {"rule off on page 1", {{header}}, true, false, 0, 44.5, false, 0},
      {"rule on page 1 when asked", {{both}}, true, true, 0, 492, false, 1},
      {"canvas box from the top", {{canvas}}, false, true, 0, 792, false, 0},
      {"canvas box below the offset", {{canvas}}, false, true, 100, 492, false, 0},
      {"offset only on the first page", {{}, {canvas}}, false, true, 100, 792, false, 0},
  };
  for (const auto& c : cases) {
    InkOptions options = pdfink::commandModeOptions();
    if (c.fixedRule) options.fixedRects = {{0, 0, 612, 100}};
    options.fixedRuleOnFirstPage = c.onFirstPage;
    options.skipCanvas = !c.fixedRule;
    options.canvasRgb = {0, 0, 0};
    options.firstPageOffset = c.offset;
    InkResult r;
    ASSERT_TRUE(measureText(pagesPdf(c.pages), options, r)) << c.name;
    EXPECT_DOUBLE_EQ(r.inkEnd, c.inkEnd) << c.name;
    EXPECT_EQ(r.records[0].measuredWithoutRule, c.remeasured) << c.name;
    EXPECT_EQ(r.records[0].fixedSkipped, c.skipped) << c.name;
  }
}

}  // namespace
