#include "pdfink/ink_interpreter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

#include "pdfink/ink_geometry.h"

namespace pdfink {
namespace {

constexpr std::size_t kOperandStack = 64;
constexpr std::size_t kStateStack = 256;

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
      // A form that ran out of budget aborts the page that draws it too.
      if (m_.aborted || --m_.budget < 1) {
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

}  // namespace

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

}  // namespace pdfink
