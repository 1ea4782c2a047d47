#include "pdfink/ink_measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

namespace pdfink {
namespace {

constexpr double kUnmarked = 1e299;

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

using Content = std::shared_ptr<const std::vector<std::uint8_t>>;

// Page content: one stream, or the parts of an array joined by line feeds;
// nullptr when it cannot be decoded.
Content pageContent(Document& doc, const ObjPtr& page) {
  ObjPtr contents = doc.resolve(doc.get(page, "Contents"));
  if (contents->kind == kStream) return doc.decodedContent(contents);
  auto joined = std::make_shared<std::vector<std::uint8_t>>();
  if (contents->kind != kArray) return joined;
  for (const auto& part : contents->items) {
    Content bytes = doc.decodedContent(doc.resolve(part));
    if (!bytes) return nullptr;
    joined->insert(joined->end(), bytes->begin(), bytes->end());
    joined->push_back('\n');
  }
  return joined;
}

double distanceFromTop(double top, double mark, double height) {
  double d = top - mark;
  if (!(d < height)) d = height;
  if (!(d > 0)) d = 0;
  return d;
}

bool measurePages(Document& doc, const InkOptions& options, InkResult& result) {
  auto treeStart = std::chrono::steady_clock::now();
  const std::vector<ObjPtr>& pages = doc.pages();
  result.pageTreeMs = msSince(treeStart);
  result.pages = static_cast<std::int32_t>(pages.size());
  if (pages.empty()) {
    result.error = "no pages";
    return false;
  }
  auto start = std::chrono::steady_clock::now();

  for (std::int32_t i = result.pages - 1; i >= 0; --i) {
    if (options.maxPages <= result.pages - 1 - i) break;
    PageInkRecord rec;
    rec.pageIndex = i;
    const ObjPtr& page = pages[static_cast<std::size_t>(i)];

    Box box{0, 0, 612, 792};
    ObjPtr media = doc.inherited(page, "MediaBox");
    if (media->kind == kArray && media->items.size() >= 4) {
      double v[4];
      for (int k = 0; k < 4; ++k) v[k] = doc.number(media->items[k], 0);
      box = Box{std::min(v[0], v[2]), std::min(v[1], v[3]), std::max(v[0], v[2]),
                std::max(v[1], v[3])};
      double w = box.x1 - box.x0, h = box.y1 - box.y0;
      if (!(w > 1 && w < 1e6 && h > 1 && h < 1e6)) {
        result.error = "unusable MediaBox";
        result.measureMs = msSince(start);
        return false;
      }
    }
    const double height = box.y1 - box.y0;
    const double top = box.y1;
    rec.pageHeight = height;

    Content content = pageContent(doc, page);
    ObjPtr resources = doc.inherited(page, "Resources");

    if (!content) {
      rec.found = 1;
      rec.readable = false;
      rec.inkEnd = rec.inkEndGeom = height;
      rec.inkEndText = 0;
    } else {
      auto measure = [&](bool ruleActive) {
        InkMeasure m;
        m.document = &doc;
        m.options = &options;
        m.pageBox = box;
        m.canvasBox = box;
        if (i == 0 && options.firstPageOffset > 0 && options.firstPageOffset < height)
          m.canvasBox.y1 = box.y1 - options.firstPageOffset;
        m.ruleActive = ruleActive;
        interpret(m, *content, resources, initialGraphicsState(box), 0);
        return m;
      };
      const bool rule = !options.fixedRects.empty() && (i > 0 || options.fixedRuleOnFirstPage);
      InkMeasure m = measure(rule);
      rec.fixedSkipped = m.fixedSkipped;
      if (!m.aborted && rule && !m.hasInk && m.fixedSkipped > 0) {
        inkTrace(
            "[ink] page %d: every op was inside a fixed rectangle (%d) - measured without the "
            "rule\n",
            i + 1, static_cast<int>(m.fixedSkipped));
        m = measure(false);
        rec.measuredWithoutRule = true;
      }
      rec.paints = m.paints;
      if (m.aborted) {
        rec.found = 1;
        rec.readable = false;
        rec.inkEnd = rec.inkEndGeom = height;
        rec.inkEndText = 0;
      } else {
        rec.found = m.hasInk ? 1 : 0;
        rec.inkEnd = rec.found ? distanceFromTop(top, m.minY, height) : 0;
        rec.inkEndText = m.minYText < kUnmarked ? distanceFromTop(top, m.minYText, height) : 0;
        rec.inkEndGeom = m.minYGeom < kUnmarked ? distanceFromTop(top, m.minYGeom, height) : 0;
      }
    }
    if (!(rec.inkEnd >= 0 && rec.inkEnd <= height)) rec.inkEnd = height;
    if (!(rec.inkEndText >= 0 && rec.inkEndText <= height)) rec.inkEndText = rec.inkEnd;
    if (!(rec.inkEndGeom >= 0 && rec.inkEndGeom <= height)) rec.inkEndGeom = rec.inkEnd;

    result.records.push_back(rec);
    if (rec.found) {
      result.lastPage = i + 1;
      result.inkEnd = rec.inkEnd;
      result.inkEndText = rec.inkEndText;
      result.inkEndGeom = rec.inkEndGeom;
      result.pageHeight = height;
      result.measureMs = msSince(start);
      return true;
    }
  }
  result.lastPage = 0;
  result.inkEnd = 0;
  result.pageHeight = result.records.empty() ? 0 : result.records.front().pageHeight;
  result.measureMs = msSince(start);
  return true;
}

template <typename Open>
bool measureWith(Open open, const InkOptions& options, InkResult& result) {
  result = InkResult{};
  Document doc;
  auto start = std::chrono::steady_clock::now();
  bool opened = open(doc, result.error);
  result.readXrefMs = msSince(start);
  if (!opened) return false;
  return measurePages(doc, options, result);
}

void appendEscaped(std::string& out, const std::string& text) {
  for (unsigned char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
}

std::string general(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

bool measureInk(const std::string& pdfPath, const InkOptions& options, InkResult& result) {
  return measureWith(
      [&pdfPath](Document& doc, std::string& error) { return doc.open(pdfPath, error); }, options,
      result);
}

bool measureInkBytes(std::vector<std::uint8_t> bytes, const InkOptions& options,
                     InkResult& result) {
  try {
    return measureWith(
        [&bytes](Document& doc, std::string& error) {
          return doc.openBytes(std::move(bytes), error);
        },
        options, result);
  } catch (const std::exception& e) {
    result.error = std::string("ink pass exception: ") + e.what();
  } catch (...) {
    result.error = "ink pass exception";
  }
  return false;
}

bool measureInkGuarded(const std::string& pdfPath, const InkOptions& options, InkResult& result) {
  try {
    return measureInk(pdfPath, options, result);
  } catch (const std::exception& e) {
    result.error = std::string("ink pass exception: ") + e.what();
  } catch (...) {
    result.error = "ink pass exception";
  }
  return false;
}

InkOptions commandModeOptions() {
  InkOptions o;
  o.skipCanvas = false;
  o.canvasImage = false;
  o.canvasRgb = {1, 1, 1};
  o.maxPages = 64;
  o.fixedRects.clear();
  o.fixedRuleOnFirstPage = true;
  o.firstPageOffset = 0;
  return o;
}

std::string formatInkResultLine(bool ok, const InkResult& r) {
  std::string line = "{\"ok\":";
  line += ok ? "true" : "false";
  line += ",\"pages\":" + std::to_string(r.pages);
  line += ",\"lastPage\":" + std::to_string(r.lastPage);
  line += ",\"inkEnd\":" + general(r.inkEnd);
  line += ",\"inkEndText\":" + general(r.inkEndText);
  line += ",\"inkEndGeom\":" + general(r.inkEndGeom);
  line += ",\"pageHeight\":" + general(r.pageHeight);
  line += ",\"examined\":" + std::to_string(r.records.size());
  line += ",\"readable\":";
  line += r.records.empty() || r.records.front().readable ? "true" : "false";
  line += ",\"error\":\"";
  appendEscaped(line, r.error);
  line += "\"}";
  return line;
}

std::string InkMeasureCommandLine(const std::string& pdfPath) {
  InkResult result;
  bool ok = measureInkGuarded(pdfPath, commandModeOptions(), result);
  return formatInkResultLine(ok, result);
}

}  // namespace pdfink
