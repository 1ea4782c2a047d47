// Boxes and matrices of the ink interpreter, in PDF user space.
#pragma once

#include <algorithm>
#include <array>

#include "pdfink/ink_interpreter.h"

namespace pdfink {

using Matrix = std::array<double, 6>;

constexpr double kEmpty = 1e300;

// this × other, PDF row-vector convention.
inline Matrix multiply(const Matrix& m, const Matrix& n) {
  return {m[0] * n[0] + m[1] * n[2],        m[0] * n[1] + m[1] * n[3],
          m[2] * n[0] + m[3] * n[2],        m[2] * n[1] + m[3] * n[3],
          m[4] * n[0] + m[5] * n[2] + n[4], m[4] * n[1] + m[5] * n[3] + n[5]};
}

inline void apply(const Matrix& m, double x, double y, double& ox, double& oy) {
  ox = m[0] * x + m[2] * y + m[4];
  oy = m[1] * x + m[3] * y + m[5];
}

inline void addPoint(Box& b, double x, double y) {
  b.x0 = std::min(b.x0, x);
  b.y0 = std::min(b.y0, y);
  b.x1 = std::max(b.x1, x);
  b.y1 = std::max(b.y1, y);
}

inline Box emptyBox() { return Box{kEmpty, kEmpty, -kEmpty, -kEmpty}; }
inline bool isEmpty(const Box& b) { return !(b.x0 <= b.x1 && b.y0 <= b.y1); }

inline Box intersect(const Box& a, const Box& b) {
  return Box{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1),
             std::min(a.y1, b.y1)};
}

// Bounding box of a rectangle given in some space, mapped through m.
inline Box mapRect(const Matrix& m, double x0, double y0, double x1, double y1) {
  Box b = emptyBox();
  double x, y;
  apply(m, x0, y0, x, y);
  addPoint(b, x, y);
  apply(m, x1, y0, x, y);
  addPoint(b, x, y);
  apply(m, x0, y1, x, y);
  addPoint(b, x, y);
  apply(m, x1, y1, x, y);
  addPoint(b, x, y);
  return b;
}

}  // namespace pdfink
