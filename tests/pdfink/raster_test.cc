// Ink end of a browser-printed page against the lowest non-white row of a
// pdftoppm rendering of it, one page per shape of data/raster.html.
#include <gtest/gtest.h>

#include <sstream>

#include "pdfink/ink_measure.h"
#include "support.h"

namespace {

using namespace pdfink_test;

// Points from the page top to the bottom of the lowest non-white row of a
// 144 dpi rendering; -1 when blank.
double rasterInkEnd(const std::string& pdf, int page, const TempDir& dir) {
  const std::string n = std::to_string(page), out = dir.File("r" + n);
  run("pdftoppm -gray -r 144 -f " + n + " -l " + n + " -singlefile '" + pdf + "' '" + out + "'");
  std::istringstream pgm(ReadFile(out + ".pgm"));
  std::string magic;
  int w = 0, h = 0, maxValue = 0, lowest = -1;
  pgm >> magic >> w >> h >> maxValue;
  pgm.get();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (static_cast<unsigned char>(pgm.get()) < 250) lowest = y;
  return magic == "P5" && lowest >= 0 ? (lowest + 1) / 2.0 : -1;
}

TEST(Raster, PrintedPagesEndWhereTheirPixelsEnd) {
  if (!toolAvailable("pdftoppm") || !toolAvailable("qpdf")) GTEST_SKIP() << "pdftoppm/qpdf missing";
  if (!std::filesystem::exists(PDFINK_TEST_BROWSER)) GTEST_SKIP() << "browser missing";
  TempDir dir;
  const std::string pdf = dir.File("raster.pdf");
  run("timeout 90 " PDFINK_TEST_BROWSER " --no-sandbox --disable-gpu --no-zygote --disable-dev-shm-usage"
      " --user-data-dir='" + dir.File("profile") + "' --no-pdf-header-footer '--print-to-pdf=" + pdf +
      "' 'file://" PDFINK_DATA "/raster.html' >/dev/null 2>&1");
  pdfink::InkResult whole;
  ASSERT_TRUE(pdfink::measureInkGuarded(pdf, pdfink::commandModeOptions(), whole)) << whole.error;
  for (const json& c : loadData("raster.json")) {
    SCOPED_TRACE(c["why"].get<std::string>());
    // The page alone, so that the measurement stops there.
    const int page = c["page"];
    const std::string one = dir.File(std::to_string(page) + ".pdf");
    run("qpdf '" + pdf + "' --pages . " + std::to_string(page) + " -- '" + one + "'");
    pdfink::InkResult r;
    ASSERT_TRUE(pdfink::measureInkGuarded(one, pdfink::commandModeOptions(), r)) << r.error;
    const double raster = rasterInkEnd(pdf, page, dir);
    ASSERT_GT(raster, 0);
    EXPECT_EQ(r.lastPage, 1);
    EXPECT_GE(r.inkEnd, raster + c["within"][0].get<double>());
    EXPECT_LE(r.inkEnd, raster + c["within"][1].get<double>());
    EXPECT_EQ(c["ink"] == "text" ? r.inkEndText : r.inkEndGeom, r.inkEnd);
    if (page == whole.pages) EXPECT_EQ(whole.inkEnd, r.inkEnd);
  }
  EXPECT_EQ(whole.lastPage, 15);
}

}  // namespace
