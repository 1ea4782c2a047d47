// Content streams of interpreter.json against the lowest inked y, text and
// geometry apart, under each group's options (canvas rule, fixed boxes).
#include "pdfink/ink_interpreter.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support.h"

namespace {

using namespace pdfink_test;

TEST(Interpreter, ContentStreams) {
  const json data = loadData("interpreter.json");
  const std::string resources = data["resources"];
  std::size_t pos = 0;
  pdfink::ObjPtr res = pdfink::parseValue(reinterpret_cast<const std::uint8_t*>(resources.data()), resources.size(), pos);
  pdfink::Document doc;
  for (const json& group : data["groups"]) {
    const pdfink::InkOptions options = inkOptions(group["options"]);
    for (const json& c : group["cases"]) {  // name, content, lowest text y, lowest geometry y (null: none)
      const std::string content = c[1];
      const double none = 1e300, text = c[2].is_null() ? none : c[2].get<double>(),
                   geom = c[3].is_null() ? none : c[3].get<double>();
      pdfink::InkMeasure m;
      m.document = &doc;
      m.options = &options;
      m.pageBox = m.canvasBox = pdfink::Box{0, 0, 612, 792};
      m.ruleActive = !options.fixedRects.empty();
      pdfink::interpret(m, {content.begin(), content.end()}, res, pdfink::initialGraphicsState(m.pageBox), 0);
      EXPECT_EQ(m.hasInk, text != none || geom != none) << c[0];
      EXPECT_NEAR(m.minYText, text, 1e-6) << c[0];
      EXPECT_NEAR(m.minYGeom, geom, 1e-6) << c[0];
      EXPECT_EQ(m.minY, std::min(text, geom)) << c[0];
      // Under the fixed rule a row without ink is one swallowed paint.
      EXPECT_EQ(m.fixedSkipped, m.ruleActive && !m.hasInk) << c[0];
    }
  }
}

}  // namespace
