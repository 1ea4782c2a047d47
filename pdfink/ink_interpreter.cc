#include "pdfink/ink_interpreter.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace pdfink {
namespace {

using Matrix = std::array<double, 6>;

constexpr std::size_t kOperandStack = 64;
constexpr std::size_t kStateStack = 256;
constexpr int kMaxFormDepth = 17;
constexpr double kEmpty = 1e300;

// this × other, PDF row-vector convention.
Matrix multiply(const Matrix& m, const Matrix& n) {
  return {m[0] * n[0] + m[1] * n[2],        m[0] * n[1] + m[1] * n[3],
          m[2] * n[0] + m[3] * n[2],        m[2] * n[1] + m[3] * n[3],
          m[4] * n[0] + m[5] * n[2] + n[4], m[4] * n[1] + m[5] * n[3] + n[5]};
}

void apply(const Matrix& m, double x, double y, double& ox, double& oy) {
  ox = m[0] * x + m[2] * y + m[4];
  oy = m[1] * x + m[3] * y + m[5];
}

void addPoint(Box& b, double x, double y) {
  b.x0 = std::min(b.x0, x);
  b.y0 = std::min(b.y0, y);
  b.x1 = std::max(b.x1, x);
  b.y1 = std::max(b.y1, y);
}

Box emptyBox() { return Box{kEmpty, kEmpty, -kEmpty, -kEmpty}; }
bool isEmpty(const Box& b) { return !(b.x0 <= b.x1 && b.y0 <= b.y1); }

Box intersect(const Box& a, const Box& b) {
  return Box{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1),
             std::min(a.y1, b.y1)};
}

// Bounding box of a rectangle given in some space, mapped through m.
Box mapRect(const Matrix& m, double x0, double y0, double x1, double y1) {
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

// Operators are at most three bytes; pack them for a switch.
constexpr std::uint32_t op(const char* s) {
  std::uint32_t v = 0;
  for (int i = 0; s[i] != 0; ++i) v = (v << 8) | static_cast<std::uint8_t>(s[i]);
  return v;
}

std::uint32_t packOperator(const std::string& t) {
  if (t.empty() || t.size() > 3) return 0;
  std::uint32_t v = 0;
  for (char c : t) v = (v << 8) | static_cast<std::uint8_t>(c);
  return v;
}

// Elements of an array; non-numbers take the matching default (or 0).
std::vector<double> numbers(Document& doc, const ObjPtr& arrayObj,
                            const std::vector<double>& defaults = {}) {
  std::vector<double> out;
  ObjPtr arr = doc.resolve(arrayObj);
  if (arr->kind != kArray) return out;
  for (const auto& item : arr->items) {
    ObjPtr v = doc.resolve(item);
    double fallback = out.size() < defaults.size() ? defaults[out.size()] : 0;
    out.push_back(v->kind == kNumber ? v->number : fallback);
  }
  return out;
}

bool findInlineImageEnd(const std::vector<std::uint8_t>& data, std::size_t& pos) {
  const std::size_t size = data.size();
  std::size_t id = std::string::npos;
  for (std::size_t i = pos; i + 1 < size; ++i) {
    if (data[i] == 'I' && data[i + 1] == 'D') {
      id = i;
      break;
    }
  }
  if (id == std::string::npos) return false;
  auto white = [](std::uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; };
  for (std::size_t i = id + 3; i + 1 < size; ++i) {
    if (data[i] == 'E' && data[i + 1] == 'I' && white(data[i - 1]) &&
        (i + 2 == size || white(data[i + 2]))) {
      pos = i + 2;
      return true;
    }
  }
  return false;
}

class Interpreter {
 public:
  Interpreter(InkMeasure& m, const std::vector<std::uint8_t>& content, const ObjPtr& resources,
              const GraphicsState& initial, int depth)
      : m_(m), doc_(*m.document), data_(content), resources_(resources), gs_(initial),
        depth_(depth) {}

  void run() {
    std::size_t pos = 0;
    for (;;) {
      if (--m_.budget < 1) {
        m_.aborted = true;
        return;
      }
      ObjPtr obj = parseObject(data_.data(), data_.size(), pos, 0);
      if (!obj) return;
      if (obj->kind != kKeyword) {
        if (stack_.size() >= kOperandStack) stack_.pop_front();
        stack_.push_back(std::move(obj));
        continue;
      }
      bool keepGoing = execute(obj->text, pos);
      stack_.clear();
      if (!keepGoing) return;
    }
  }

 private:
  // Operand i of the last n (0 = the deepest of them); missing or
  // non-numbers read as 0.
  double num(std::size_t i, std::size_t n) const {
    if (stack_.size() < n - i) return 0;
    const ObjPtr& o = stack_[stack_.size() - n + i];
    return o->kind == kNumber ? o->number : 0;
  }
  double last() const { return num(0, 1); }
  const Obj* top() const { return stack_.empty() ? nullptr : stack_.back().get(); }

  void setFill(std::size_t n) {
    if (gs_.fillIsPattern) {
      gs_.fillKnown = false;
      return;
    }
    gs_.fillKnown = true;
    if (n == 1) {
      double v = last();
      gs_.fillRgb = {v, v, v};
    } else if (n == 3) {
      gs_.fillRgb = {num(0, 3), num(1, 3), num(2, 3)};
    } else if (n == 4) {
      double c = num(0, 4), mg = num(1, 4), y = num(2, 4), k = num(3, 4);
      gs_.fillRgb = {(1 - c) * (1 - k), (1 - mg) * (1 - k), (1 - y) * (1 - k)};
    }
  }

  void addPathPoint(double x, double y) {
    double dx, dy;
    apply(gs_.ctm, x, y, dx, dy);
    addPoint(path_, dx, dy);
  }

  Box strokedPath() const {
    Box b = path_;
    if (!isEmpty(b)) {
      const auto& c = gs_.ctm;
      double grow = 0.5 * gs_.lineWidth * std::sqrt(std::fabs(c[0] * c[3] - c[1] * c[2])) + 0.5;
      b.x0 -= grow;
      b.y0 -= grow;
      b.x1 += grow;
      b.y1 += grow;
    }
    return b;
  }

  void endPath() {
    if (pendingClip_ && !isEmpty(path_)) gs_.clip = intersect(gs_.clip, path_);
    pendingClip_ = false;
    path_ = emptyBox();
  }

  void paint(const Box& b, bool solid, const std::array<double, 3>* rgb, bool isText,
             double alpha) {
    recordPaint(m_, gs_, solid, rgb, isText, b.x0, b.y0, b.x1, b.y1, alpha);
  }

  void paintUnitSquare() {
    paint(mapRect(gs_.ctm, 0, 0, 1, 1), false, nullptr, false, gs_.fillAlpha);
  }

  void fillPath(bool stroke, double alpha) {
    bool solid = gs_.fillKnown && !gs_.fillIsPattern;
    paint(stroke ? strokedPath() : path_, solid, &gs_.fillRgb, false, alpha);
  }

  void nextLine(double tx, double ty) {
    lineMatrix_ = multiply(Matrix{1, 0, 0, 1, tx, ty}, lineMatrix_);
    textMatrix_ = lineMatrix_;
  }

  void showText(std::size_t bytes, double adjust) {
    if (gs_.fontSize == 0) return;
    std::size_t n = gs_.twoByteFont ? (bytes + 1) / 2 : bytes;
    double w = static_cast<double>(n) * (0.55 * gs_.fontSize + gs_.charSpacing) + adjust;
    double width = w * gs_.horizontalScale;
    if (n > 0 && gs_.renderMode != 3 && gs_.renderMode != 7) {
      Matrix trm = multiply(textMatrix_, gs_.ctm);
      Box b = mapRect(trm, 0, gs_.fontSize * gs_.descent + gs_.rise, width,
                      gs_.fontSize * gs_.ascent + gs_.rise);
      paint(b, false, nullptr, true, gs_.fillAlpha);
    }
    textMatrix_[4] += width * textMatrix_[0];
    textMatrix_[5] += width * textMatrix_[1];
  }

  void showString() {
    const Obj* t = top();
    if (t != nullptr && t->kind == kString) showText(t->text.size(), 0);
  }

  void setExtGState() {
    const Obj* t = top();
    if (t == nullptr || t->kind != kName) return;
    ObjPtr dict = doc_.resolve(doc_.get(doc_.resolve(doc_.get(resources_, "ExtGState")), t->text));
    if (!dict->isDict()) return;
    ObjPtr v = doc_.resolve(doc_.get(dict, "ca"));
    if (v->kind == kNumber) gs_.fillAlpha = v->number;
    v = doc_.resolve(doc_.get(dict, "CA"));
    if (v->kind == kNumber) gs_.strokeAlpha = v->number;
    v = doc_.resolve(doc_.get(dict, "LW"));
    if (v->kind == kNumber) gs_.lineWidth = v->number;
  }

  void setColor() {
    std::size_t n = 0;
    for (auto it = stack_.rbegin(); it != stack_.rend() && (*it)->kind == kNumber; ++it) ++n;
    if (gs_.fillIsPattern) {
      gs_.fillKnown = false;
      return;
    }
    const Obj* t = top();
    if (t != nullptr && t->kind == kName) {
      gs_.fillKnown = false;
      return;
    }
    bool device = colorSpace_.empty() || colorSpace_ == "DeviceGray" ||
                  colorSpace_ == "DeviceRGB" || colorSpace_ == "DeviceCMYK";
    if (!device && n != 1 && n != 3 && n != 4) {
      gs_.fillKnown = false;
      return;
    }
    setFill(n);
  }

  bool execute(const std::string& name, std::size_t& pos) {
    switch (packOperator(name)) {
      case op("q"):
        if (states_.size() >= kStateStack) states_.pop_front();
        states_.push_back(gs_);
        break;
      case op("Q"):
        if (!states_.empty()) {
          gs_ = states_.back();
          states_.pop_back();
        }
        break;
      case op("cm"):
        if (stack_.size() >= 6)
          gs_.ctm = multiply(Matrix{num(0, 6), num(1, 6), num(2, 6), num(3, 6), num(4, 6),
                                    num(5, 6)},
                             gs_.ctm);
        break;
      case op("w"): gs_.lineWidth = last(); break;
      case op("gs"): setExtGState(); break;
      case op("g"): setFill(1); break;
      case op("rg"): setFill(3); break;
      case op("k"): setFill(4); break;
      case op("cs"): {
        const Obj* t = top();
        if (t != nullptr && t->kind == kName) {
          colorSpace_ = t->text;
          gs_.fillIsPattern = t->text == "Pattern";
        } else {
          colorSpace_.clear();
          gs_.fillIsPattern = false;
        }
        if (gs_.fillIsPattern) gs_.fillKnown = false;
        break;
      }
      case op("sc"):
      case op("scn"): setColor(); break;

      case op("m"):
      case op("l"): addPathPoint(num(0, 2), num(1, 2)); break;
      case op("c"):
      case op("v"):
      case op("y"):
        addPathPoint(num(0, 4), num(1, 4));
        addPathPoint(num(2, 4), num(3, 4));
        break;
      case op("re"): {
        double x = num(0, 4), y = num(1, 4), w = num(2, 4), h = num(3, 4);
        addPathPoint(x, y);
        addPathPoint(x + w, y);
        addPathPoint(x, y + h);
        addPathPoint(x + w, y + h);
        break;
      }
      case op("h"): break;
      case op("W"):
      case op("W*"): pendingClip_ = true; break;

      case op("f"):
      case op("F"):
      case op("f*"):
        fillPath(false, gs_.fillAlpha);
        endPath();
        break;
      case op("S"):
      case op("s"):
        paint(strokedPath(), false, nullptr, false, gs_.strokeAlpha);
        endPath();
        break;
      case op("B"):
      case op("B*"):
      case op("b"):
      case op("b*"):
        fillPath(true, gs_.fillAlpha);
        endPath();
        break;
      case op("n"): endPath(); break;
      case op("sh"): paint(gs_.clip, false, nullptr, false, gs_.fillAlpha); break;
      case op("Do"): {
        const Obj* t = top();
        if (t != nullptr && t->kind == kName) drawXObject(m_, gs_, resources_, t->text, depth_);
        break;
      }
      case op("BI"):
        if (!findInlineImageEnd(data_, pos)) return false;
        paintUnitSquare();
        break;

      case op("BT"):
        textMatrix_ = lineMatrix_ = Matrix{1, 0, 0, 1, 0, 0};
        break;
      case op("ET"): break;
      case op("Tf"): {
        if (stack_.size() >= 2 && stack_[stack_.size() - 2]->kind == kName &&
            resources_->isDict()) {
          FontMetrics f = fontMetrics(m_, resources_, stack_[stack_.size() - 2]->text);
          gs_.ascent = f.ascent;
          gs_.descent = f.descent;
          gs_.twoByteFont = f.twoByteFont;
          gs_.type3Font = f.type3Font;
        }
        gs_.fontSize = last();
        break;
      }
      case op("Td"): nextLine(num(0, 2), num(1, 2)); break;
      case op("TD"):
        gs_.leading = -num(1, 2);
        nextLine(num(0, 2), num(1, 2));
        break;
      case op("T*"): nextLine(0, -gs_.leading); break;
      case op("Tm"):
        if (stack_.size() >= 6)
          textMatrix_ = lineMatrix_ =
              Matrix{num(0, 6), num(1, 6), num(2, 6), num(3, 6), num(4, 6), num(5, 6)};
        break;
      case op("TL"): gs_.leading = last(); break;
      case op("Tc"): gs_.charSpacing = last(); break;
      case op("Tw"): gs_.wordSpacing = last(); break;
      case op("Ts"): gs_.rise = last(); break;
      case op("Tz"): gs_.horizontalScale = last() / 100; break;
      case op("Tr"): {
        double v = last();
        if (v >= 0 && v <= 7) gs_.renderMode = static_cast<std::int32_t>(v);
        break;
      }
      case op("Tj"): showString(); break;
      case op("'"):
      case op("\""):
        nextLine(0, -gs_.leading);
        showString();
        break;
      case op("TJ"): {
        const Obj* t = top();
        if (t == nullptr || t->kind != kArray) break;
        std::size_t bytes = 0;
        double adjust = 0;
        for (const auto& item : t->items) {
          if (item->kind == kString) bytes += item->text.size();
          else if (item->kind == kNumber) adjust -= item->number / 1000 * gs_.fontSize;
        }
        showText(bytes, adjust);
        break;
      }
      default: break;
    }
    return true;
  }

  InkMeasure& m_;
  Document& doc_;
  const std::vector<std::uint8_t>& data_;
  ObjPtr resources_;
  GraphicsState gs_;
  int depth_;
  std::deque<ObjPtr> stack_;
  std::deque<GraphicsState> states_;
  Matrix textMatrix_{1, 0, 0, 1, 0, 0};
  Matrix lineMatrix_{1, 0, 0, 1, 0, 0};
  Box path_ = emptyBox();
  bool pendingClip_ = false;
  std::string colorSpace_ = "DeviceRGB";
};

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

GraphicsState initialGraphicsState(const Box& pageBox) {
  GraphicsState gs;
  gs.clip = pageBox;
  return gs;
}

void interpret(InkMeasure& m, const std::vector<std::uint8_t>& content, const ObjPtr& resources,
               const GraphicsState& initial, int depth) {
  ObjPtr res = resources ? resources : std::make_shared<Obj>();
  Interpreter(m, content, res, initial, depth).run();
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

FontMetrics fontMetrics(InkMeasure& m, const ObjPtr& resources, const std::string& name) {
  auto& perResources = m.fontCache[resources.get()];
  auto cached = perResources.find(name);
  if (cached != perResources.end()) return cached->second;

  Document& doc = *m.document;
  FontMetrics f;
  ObjPtr font = doc.resolve(doc.get(doc.resolve(doc.get(resources, "Font")), name));
  if (font->isDict()) {
    ObjPtr subtype = doc.resolve(doc.get(font, "Subtype"));
    if (subtype->isName("Type0")) {
      f.twoByteFont = true;
      ObjPtr desc = doc.resolve(doc.get(font, "DescendantFonts"));
      font = desc->kind == kArray && !desc->items.empty() ? doc.resolve(desc->items[0])
                                                          : std::make_shared<Obj>();
      subtype = doc.resolve(doc.get(font, "Subtype"));
    }
    if (subtype->isName("Type3")) {
      f.type3Font = true;
      std::vector<double> bbox = numbers(doc, doc.get(font, "FontBBox"));
      std::vector<double> matrix = numbers(doc, doc.get(font, "FontMatrix"));
      if (bbox.size() >= 4) {
        double d = matrix.size() >= 6 ? matrix[3] : 0.001;
        double e = matrix.size() >= 6 ? matrix[5] : 0;
        double y0 = d * bbox[1] + e, y1 = d * bbox[3] + e;
        f.ascent = std::max(y0, y1);
        f.descent = std::min(y0, y1);
      }
    } else {
      ObjPtr fd = doc.resolve(doc.get(font, "FontDescriptor"));
      if (fd->isDict()) {
        double a = doc.number(doc.get(fd, "Ascent"), 0);
        double d = doc.number(doc.get(fd, "Descent"), 0);
        if (d > 0) d = -d;
        std::vector<double> bbox = numbers(doc, doc.get(fd, "FontBBox"));
        if (bbox.size() >= 4) {
          if (a == 0) a = bbox[3];
          if (d == 0 && bbox[1] < 0) d = bbox[1];
        }
        f.ascent = a > 0 ? std::max(a / 1000, 0.75) : 0.9;
        f.descent = d < 0 ? d / 1000 : -0.25;
        if (f.descent > -0.2) f.descent = -0.2;
      }
    }
  }
  perResources[name] = f;
  return f;
}

void drawXObject(InkMeasure& m, const GraphicsState& gs, const ObjPtr& resources,
                 const std::string& name, int depth) {
  Document& doc = *m.document;
  ObjPtr xobj = doc.resolve(doc.get(doc.resolve(doc.get(resources, "XObject")), name));
  ObjPtr subtype = doc.resolve(doc.get(xobj, "Subtype"));
  if (subtype->isName("Image")) {
    Box b = mapRect(gs.ctm, 0, 0, 1, 1);
    recordPaint(m, gs, false, nullptr, false, b.x0, b.y0, b.x1, b.y1, gs.fillAlpha);
    return;
  }
  if (!subtype->isName("Form") || depth == kMaxFormDepth) return;

  GraphicsState inner = gs;
  std::vector<double> mat = numbers(doc, doc.get(xobj, "Matrix"), {1, 0, 0, 1, 0, 0});
  if (mat.size() >= 6)
    inner.ctm = multiply(Matrix{mat[0], mat[1], mat[2], mat[3], mat[4], mat[5]}, gs.ctm);
  std::vector<double> bbox = numbers(doc, doc.get(xobj, "BBox"));
  if (bbox.size() >= 4) {
    inner.clip = intersect(inner.clip, mapRect(inner.ctm, bbox[0], bbox[1], bbox[2], bbox[3]));
    if (isEmpty(inner.clip)) return;
  }
  ObjPtr formResources = doc.resolve(doc.get(xobj, "Resources"));
  if (!formResources->isDict()) formResources = resources;

  std::vector<std::uint8_t> content;
  if (doc.decodeStream(xobj, content)) {
    interpret(m, content, formResources, inner, depth + 1);
  } else {
    const Box& c = inner.clip;
    recordPaint(m, inner, false, nullptr, false, c.x0, c.y0, c.x1, c.y1, inner.fillAlpha);
  }
}

}  // namespace pdfink
