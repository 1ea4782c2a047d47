// What a paint counts as: clipped, visible, not the page's own canvas, not
// inside a fixed box the page reported; and the trace of every decision.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "pdfink/ink_geometry.h"

namespace pdfink {
namespace {

bool differs(double a, double b) { return !(std::fabs(a - b) < 0.01); }

}  // namespace

bool inkTraceEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("HALVERN_INK_TRACE");
    return v != nullptr && v[0] == '1';
  }();
  return enabled;
}

void inkTrace(const char* format, ...) {
  if (!inkTraceEnabled()) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
}

void recordPaint(InkMeasure& m, const GraphicsState& gs, bool solid,
                 const std::array<double, 3>* rgb, bool isText, double x0, double y0, double x1,
                 double y1, double alpha) {
  if (!(x0 <= x1 && y0 <= y1)) return;
  Box b = intersect(Box{x0, y0, x1, y1}, gs.clip);
  if (isEmpty(b)) return;
  if (!(alpha > 0.001)) return;

  auto covers = [&b](const Box& p) {
    return b.x0 <= p.x0 + 1 && b.y0 <= p.y0 + 1 && b.x1 >= p.x1 - 1 && b.y1 >= p.y1 - 1;
  };
  const Box& page = m.pageBox;
  bool coversPage = covers(page);

  const InkOptions& opt = *m.options;
  bool first = !m.firstPaintSeen;
  m.firstPaintSeen = true;
  if (first && opt.skipCanvas && (coversPage || covers(m.canvasBox))) {
    inkTrace("[ink] canvas skipped (first page-covering paint)\n");
    return;
  }

  if (solid && rgb != nullptr) {
    inkTrace("[ink] fill rgb %.3f %.3f %.3f y %.1f-%.1f%s\n", (*rgb)[0], (*rgb)[1], (*rgb)[2],
             b.y0, b.y1, coversPage ? " (covers page)" : "");
    static constexpr std::array<double, 3> kWhite{1, 1, 1};
    const auto& canvas = opt.skipCanvas ? opt.canvasRgb : kWhite;
    if (!differs((*rgb)[0], canvas[0]) && !differs((*rgb)[1], canvas[1]) &&
        !differs((*rgb)[2], canvas[2]))
      return;
  }

  if (m.ruleActive) {
    double left = b.x0 - page.x0, right = b.x1 - page.x0;
    double top = page.y1 - b.y1, bottom = page.y1 - b.y0;
    double slack = isText ? 0.25 * (right - left) + 2 : 0;
    for (const auto& r : opt.fixedRects) {
      if (r[0] <= left && r[2] + slack >= right && r[1] <= top && r[3] >= bottom) {
        ++m.fixedSkipped;
        inkTrace(
            "[ink] fixed-box paint skipped y %.1f-%.1f x %.1f-%.1f (rect %.1f,%.1f-%.1f,%.1f "
            "from top)\n",
            b.y0, b.y1, b.x0, b.x1, r[0], r[1], r[2], r[3]);
        return;
      }
    }
  }

  m.hasInk = true;
  ++m.paints;
  m.minY = std::min(m.minY, b.y0);
  if (isText) m.minYText = std::min(m.minYText, b.y0);
  else m.minYGeom = std::min(m.minYGeom, b.y0);
  inkTrace("[ink] paint y %.1f-%.1f x %.1f-%.1f %s%s\n", b.y0, b.y1, b.x0, b.x1,
           solid ? "solid " : "", coversPage ? "(covers page)" : "");
}

}  // namespace pdfink
