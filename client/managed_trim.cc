// Managed trim: the document prints on full pages and the content end is
// reported instead of cutting the paper, either as a marker link placed in
// the page before printing or measured from the printed PDF's ink.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/markers.h"
#include "client/page_number.h"
#include "client/pdf_client.h"
#include "client/scripts.h"
#include "client/text_escape.h"
#include "pdfink/ink_measure.h"

namespace {

std::string Fmt(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// The scale the print will use; needed before the print computes it.
double PrintScale(const ConversionSettings& s) { return ClampPrintScale(RequestedPrintScale(s)); }


// A page length in CSS px, clamped; fallback when missing.
double Px(const engine::Json& obj, const char* key, double lo, double fallback) {
  return PageNumber(obj, key, lo, kMaxPagePx, fallback);
}

// More fixed boxes than the page script collects come from the page itself.
constexpr size_t kMaxFixedRects = 500;

bool Bool(const engine::Json& obj, const char* key) {
  auto it = obj.find(key);
  return it != obj.end() && it->is_boolean() && it->get<bool>();
}

int CeilToInt(double v) {
  double c = std::ceil(v);
  if (!(c < INT_MAX)) return INT_MAX;
  if (!(c > INT_MIN)) return INT_MIN;
  return static_cast<int>(c);
}

}  // namespace

// Sets firstPageOffset and opens the page script with the first-page style.
std::string PdfClient::ManagedTrimPrologue() {
  firstPageOffset = 0;
  if (s_.firstPageAvailableHeight > 0) {
    double available = (s_.landscape ? s_.paperWidth : s_.paperHeight) - s_.marginTop - s_.marginBottom;
    if (s_.firstPageAvailableHeight < available) firstPageOffset = available - s_.firstPageAvailableHeight;
  }
  std::string script = "(() => {\n";
  if (firstPageOffset > 0) {
    script += FillPlaceholders(kScript_managed_trim_first_page,
                               {{"__TOP__", Fmt(s_.marginTop + firstPageOffset)}, {"__BOTTOM__", Fmt(s_.marginBottom)}});
  }
  return script;
}

void PdfClient::DoPrepareManagedTrim(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  std::string script = ManagedTrimPrologue();
  script += kScript_managed_trim_common;
  script += FillPlaceholders(kScript_managed_trim_marker,
                             {{"__MARKER_URL__", "\"" + EscapeJsString(kContentEndMarkerUrl) + "\""},
                              {"__PT_PER_PX__", Fmt(PrintScale(s_) * 72.0 / 96.0)}});
  script += "})()";

  std::string line = "[PdfClient] Managed trim: paper trim disabled, appending content-end marker";
  if (firstPageOffset > 0) line += ", first-page offset " + Fmt(firstPageOffset) + "pt";
  LogLine(line);

  auto self = shared_from_this();
  EvaluateScript(browser, script, [self, browser](bool, const engine::Json& result) {
    if (self->finished_) return;
    self->LogLine("[PdfClient] Content-end marker placed: " + ReplyText(result));
    const engine::Json& v = EvaluatedValue(result);
    if (v.is_object()) {
      double bottom = Px(v, "markerBottom", -kMaxPagePx, NAN), trail = Px(v, "trailPx", 0, NAN);
      if (bottom + trail > 0) self->contentHeightPx = CeilToInt(bottom + trail);
    }
    self->DoPrintActual(browser);
  });
}

void PdfClient::DoPrepareManagedTrimInk(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  std::string script = ManagedTrimPrologue();
  script += kScript_managed_trim_common;
  script += kScript_managed_trim_ink;
  script += "})()";

  std::string line = "[PdfClient] Managed trim (ink): paper trim disabled, measuring the trailing space and canvas";
  if (firstPageOffset > 0) line += ", first-page offset " + Fmt(firstPageOffset) + "pt";
  LogLine(line);

  auto self = shared_from_this();
  EvaluateScript(browser, script, [self, browser](bool, const engine::Json& result) {
    if (self->finished_) return;
    self->OnInkMeasurements(result);
    self->DoPrintActual(browser);
  });
}

void PdfClient::OnInkMeasurements(const engine::Json& result) {
  LogLine("[PdfClient] Ink measurements: " + ReplyText(result));
  static const engine::Json kNoValues = engine::Json::object();
  const engine::Json& v = EvaluatedValue(result).is_object() ? EvaluatedValue(result) : kNoValues;
  inkTailPx = Px(v, "tailPx", 0, 0);
  inkPaintEndPx_ = Px(v, "paintEnd", -1, 0);  // -1: nothing paints
  canvasPainted_ = Bool(v, "canvasPainted");
  canvasImage_ = Bool(v, "canvasImage");
  canvasR_ = PageNumber(v, "canvasR", 0, 1, 0);
  canvasG_ = PageNumber(v, "canvasG", 0, 1, 0);
  canvasB_ = PageNumber(v, "canvasB", 0, 1, 0);
  fixedRectValues_.clear();
  auto rects = v.find("fixedRects");
  if (rects == v.end() || !rects->is_array()) return;
  for (const auto& r : *rects) {
    if (!r.is_array() || r.size() <= 3) continue;
    if (fixedRectValues_.size() >= 4 * kMaxFixedRects) break;
    for (size_t i = 0; i < 4; ++i) fixedRectValues_.push_back(PageNumber(r[i], -kMaxPagePx, kMaxPagePx, 0));
  }
}

void PdfClient::RunInkPass(const std::string& path) {
  const double k = PrintScale(s_) * 72.0 / 96.0;
  const double tail = k * inkTailPx;
  const double pageLength = s_.landscape ? s_.paperWidth : s_.paperHeight;
  GetRenderHandler();
  const int viewHeight = renderHandler_ ? renderHandler_->height : 1;

  pdfink::InkOptions opt;
  opt.skipCanvas = canvasPainted_;
  opt.canvasImage = canvasImage_;
  opt.canvasRgb = {canvasR_, canvasG_, canvasB_};
  opt.maxPages = 64;
  for (size_t i = 0; i + 4 <= fixedRectValues_.size(); i += 4) {
    const double* r = &fixedRectValues_[i];
    opt.fixedRects.push_back({r[0] * k + s_.marginLeft, r[1] * k + s_.marginTop, r[2] * k + s_.marginLeft,
                              r[3] * k + s_.marginTop});
  }
  opt.fixedRuleOnFirstPage = firstPageOffset <= 0;
  opt.firstPageOffset = std::max(firstPageOffset, 0.0);

  pdfink::InkResult res;
  bool ok = pdfink::measureInkGuarded(path, opt, res);

  // Fixed rectangles can swallow flow content that happens to lie under a
  // fixed box; when the ink ends above where the page says its paint ends,
  // the rule is dropped.
  if (ok && !opt.fixedRects.empty() && inkPaintEndPx_ >= 0 && firstPageOffset <= 0 && viewHeight > 1) {
    const double V = viewHeight;
    int expectedPage = std::max(1, static_cast<int>(std::ceil(inkPaintEndPx_ / V - 1e-9)));
    double expectedY = (inkPaintEndPx_ - (expectedPage - 1) * V) * k;
    double tolerance = 12;
    if (res.pageHeight > 1) {
      tolerance = std::max(0.015 * res.pageHeight, 12.0);
    } else if (res.lastPage != 0) {
      tolerance = 12.63;
    }
    bool accepted = res.lastPage != 0 && (expectedPage < res.lastPage ||
                                          (expectedPage == res.lastPage && expectedY - tolerance <= res.inkEnd));
    if (!accepted) {
      LogLine("[PdfClient] Content end (ink): the fixed-box rule cut into the flow's paint (page " +
              std::to_string(res.lastPage) + " at " + Fmt(res.inkEnd) + "pt, the flow paints to page " +
              std::to_string(expectedPage) + " at " + Fmt(expectedY) + "pt) - measuring without it");
      opt.fixedRects.clear();
      res = pdfink::InkResult();
      ok = pdfink::measureInkGuarded(path, opt, res);
      if (!ok) {
        res = pdfink::InkResult();
        ok = pdfink::measureInkGuarded(path, opt, res);
      }
    }
  }

  if (!ok) {
    contentEndInkError = res.error.empty() ? "ink pass failed" : res.error;
    LogErrorLine("[PdfClient] Ink pass could not read the output (" + contentEndInkError +
                 "); keeping every page whole");
    contentEndPage = std::max(res.pages, 1);
    contentEndCut = contentEndInkEnd = contentEndPageHeight = pageLength;
  } else if (res.lastPage == 0) {
    contentEndPage = 1;
    contentEndInkEnd = 0;
    contentEndPageHeight = res.pageHeight > 0 ? res.pageHeight : pageLength;
    contentEndCut = std::min(tail, contentEndPageHeight);
  } else {
    contentEndPage = res.lastPage;
    contentEndPageHeight = res.pageHeight;
    // Geometry gets one CSS pixel of allowance: edges land on pixel rows.
    contentEndInkEnd = std::min(std::max(res.inkEndText, res.inkEndGeom + k), res.pageHeight);
    contentEndCut = std::min(contentEndInkEnd + tail, res.pageHeight);
  }
  contentHeightPx = CeilToInt((contentEndPage - 1) * static_cast<double>(viewHeight) + contentEndCut / k);

  std::string line = "[PdfClient] Content end (ink): page " + std::to_string(contentEndPage) + "/" +
                     std::to_string(res.pages) + ", ink " + Fmt(contentEndInkEnd) + "pt, tail " + Fmt(tail) +
                     "pt, cut " + Fmt(contentEndCut) + "pt of " + Fmt(contentEndPageHeight);
  if (!res.records.empty()) line += ", " + std::to_string(res.records.front().paints) + " painting ops";
  if (!opt.fixedRects.empty()) {
    line += ", " + std::to_string(opt.fixedRects.size()) + " fixed boxes";
    if (!res.records.empty()) {
      line += " (" + std::to_string(res.records.front().fixedSkipped) + " ops excluded";
      if (res.records.back().measuredWithoutRule)
        line += ", emptied page " + std::to_string(res.records.back().pageIndex + 1) + " - measured without the rule";
      line += ")";
    }
  }
  line += " [read+xref " + Fmt(res.readXrefMs) + "ms, page tree " + Fmt(res.pageTreeMs) + "ms, measure " +
          Fmt(res.measureMs) + "ms]";
  LogLine(line);
}
