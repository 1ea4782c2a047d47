#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pdfink/pdf_reader.h"

namespace pdfink {

struct InkOptions {
  bool skipCanvas = false;
  bool canvasImage = false;
  std::array<double, 3> canvasRgb{1, 1, 1};
  std::int32_t maxPages = 64;
  // x0, y0, x1, y1 in points from the page's top-left corner, y down.
  std::vector<std::array<double, 4>> fixedRects;
  bool fixedRuleOnFirstPage = true;
  double firstPageOffset = 0;
};

struct Box {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

struct FontMetrics {
  double ascent = 0.9;
  double descent = -0.25;
  bool twoByteFont = false;
  bool type3Font = false;
};

struct GraphicsState {
  std::array<double, 6> ctm{1, 0, 0, 1, 0, 0};
  Box clip;
  std::array<double, 3> fillRgb{0, 0, 0};
  bool fillKnown = true;
  bool fillIsPattern = false;
  double fillAlpha = 1, strokeAlpha = 1, lineWidth = 1;
  double ascent = 0.9, descent = -0.25;
  bool twoByteFont = false, type3Font = false;
  double fontSize = 0, charSpacing = 0, wordSpacing = 0;
  double horizontalScale = 1;
  double rise = 0, leading = 0;
  std::int32_t renderMode = 0;
};

// Work and results of measuring one page.
struct InkMeasure {
  bool hasInk = false;
  double minY = 1e300, minYText = 1e300, minYGeom = 1e300;
  std::uint32_t paints = 0;
  std::uint32_t fixedSkipped = 0;
  std::int64_t budget = 5000000;
  bool aborted = false;
  Document* document = nullptr;
  const InkOptions* options = nullptr;
  Box pageBox;
  Box canvasBox;
  bool ruleActive = false;
  bool firstPaintSeen = false;
  std::map<const Obj*, std::map<std::string, FontMetrics>> fontCache;
};

// Initial state for a page: identity CTM, clip = page box.
GraphicsState initialGraphicsState(const Box& pageBox);

void interpret(InkMeasure& m, const std::vector<std::uint8_t>& content, const ObjPtr& resources,
               const GraphicsState& initial, int depth);

void recordPaint(InkMeasure& m, const GraphicsState& gs, bool solid,
                 const std::array<double, 3>* rgb, bool isText, double x0, double y0, double x1,
                 double y1, double alpha);

FontMetrics fontMetrics(InkMeasure& m, const ObjPtr& resources, const std::string& name);

void drawXObject(InkMeasure& m, const GraphicsState& gs, const ObjPtr& resources,
                 const std::string& name, int depth);

// True when HALVERN_INK_TRACE starts with '1' (read once per process).
bool inkTraceEnabled();
void inkTrace(const char* format, ...);

}  // namespace pdfink
