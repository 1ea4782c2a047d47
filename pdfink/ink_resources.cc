// The page resources the interpreter draws from: font metrics and XObjects
// (images and form XObjects, which are interpreted in turn).
#include "pdfink/ink_geometry.h"

namespace pdfink {
namespace {

constexpr int kMaxFormDepth = 17;

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

}  // namespace

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

  if (auto content = doc.decodedContent(xobj)) {
    interpret(m, *content, formResources, inner, depth + 1);
  } else if (doc.decodeBudgetSpent()) {
    m.aborted = true;
  } else {
    const Box& c = inner.clip;
    recordPaint(m, inner, false, nullptr, false, c.x0, c.y0, c.x1, c.y1, inner.fillAlpha);
  }
}

}  // namespace pdfink
