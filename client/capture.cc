#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/base64.h"
#include "client/page_number.h"
#include "client/pdf_client.h"
#include "client/scripts.h"
#include "client/staged_file.h"
#include "client/text_escape.h"

namespace {

std::string ScriptWithSelector(const char* script, const std::string& selector) {
  std::string s = script;
  std::string quoted = "\"" + EscapeJsString(selector) + "\"";
  size_t pos = s.find("__SELECTOR__");
  if (pos != std::string::npos) s.replace(pos, 12, quoted);
  while (!s.empty() && (s.back() == '\n' || s.back() == ';')) s.pop_back();
  return s;
}

// A box edge or size from the page, clamped; false when it is no number.
bool Number(const engine::Json& obj, const char* key, double& out) {
  out = PageNumber(obj, key, -kMaxPagePx, kMaxPagePx, NAN);
  return !std::isnan(out);
}

// Taller images cost the process gigabytes; the run fails instead.
constexpr long kMaxPngRows = 65535;

// Rows of a PNG from its header; -1 when it is not one.
long PngRows(const std::string& png) {
  if (png.size() < 24 || png.compare(1, 3, "PNG") != 0) return -1;
  long rows = 0;
  for (int i = 20; i < 24; ++i) rows = (rows << 8) | static_cast<unsigned char>(png[i]);
  return rows;
}

std::string Num(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

}  // namespace

void PdfClient::ResizeView(Browser browser, int height) {
  GetRenderHandler();
  renderHandler_->height = height;
  if (browser) browser->WasResized();
}

long PdfClient::PngRowsNeeded() const {
  double pngScale = s_.scale > 0 ? s_.scale / 100.0 : 1.0;
  double height = hasBbox ? bboxHeight : s_.viewportHeight >= 1 ? s_.viewportHeight : contentHeightPx;
  return std::lround(std::min(height * pngScale, 1e15));
}

// The limit is checked before the view grows: a view as tall as the page
// costs the browser memory and time for an image that is never taken.
void PdfClient::GrowViewAndCapture(Browser browser) {
  if (long rows = PngRowsNeeded(); rows > kMaxPngRows) {
    FailConversion("PNG output is limited to " + std::to_string(kMaxPngRows) + " pixel rows; this page needs " +
                   std::to_string(rows) + ".");
    return;
  }
  ResizeView(browser, contentHeightPx);
  auto self = shared_from_this();
  PostDelayed(200, [self, browser] { self->DoCapturePng(browser); });
}

void PdfClient::DoCaptureScreenshot(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  auto self = shared_from_this();
  if (s_.visibleWebElementSelector.empty()) {
    LogLine("[PdfClient] Measuring page height for PNG screenshot...");
    EvaluateScript(browser,
                   "Math.max(document.documentElement ? document.documentElement.scrollHeight : 0,"
                   "document.body ? document.body.scrollHeight : 0)",
                   [self, browser](bool, const engine::Json& result) {
                     if (self->finished_) return;
                     long long value = PageInt(EvaluatedValue(result), 0, kMaxPagePx, 0);
                     if (value <= 0) value = self->s_.viewportWidth;
                     self->contentHeightPx = static_cast<int>(value) + 1;
                     std::string line = "[PdfClient] PNG content height: " + std::to_string(self->contentHeightPx) + "px";
                     if (self->s_.viewportHeight >= 1)
                       line += " (will clip to " + std::to_string(self->s_.viewportHeight) + "px)";
                     self->LogLine(line);
                     self->GrowViewAndCapture(browser);
                   });
    return;
  }
  LogLine("[PdfClient] Measuring bbox for selector: " + s_.visibleWebElementSelector);
  EvaluateScript(browser, ScriptWithSelector(kScript_element_box, s_.visibleWebElementSelector),
                 [self, browser](bool, const engine::Json& result) {
                   if (self->finished_) return;
                   const engine::Json& v = EvaluatedValue(result);
                   double x, y, w, h;
                   if (!v.is_object() || !Number(v, "x", x) || !Number(v, "y", y) || !Number(v, "width", w) ||
                       !Number(v, "height", h) || !(w > 0) || !(h > 0)) {
                     self->FailConversion("Element with the specified selector could not be found.");
                     return;
                   }
                   self->LogLine("[PdfClient] bbox x=" + Num(x) + " y=" + Num(y) + " w=" + Num(w) + " h=" + Num(h));
                   self->bboxX = x;
                   self->bboxY = y;
                   self->bboxWidth = w;
                   self->bboxHeight = h;
                   self->hasBbox = true;
                   self->contentHeightPx = static_cast<int>(std::max(1.0, std::trunc(y + h) + 1));
                   self->GrowViewAndCapture(browser);
                 });
}

void PdfClient::DoCapturePng(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  LogLine("[PdfClient] Starting Page.captureScreenshot...");
  double pngScale = s_.scale > 0 ? s_.scale / 100.0 : 1.0;
  engine::Json params = {{"format", "png"}};
  auto clip = [&](double x, double y, double w, double h) {
    params["clip"] = {{"x", x}, {"y", y}, {"width", w}, {"height", h}, {"scale", pngScale}};
  };
  if (hasBbox) {
    clip(bboxX, bboxY, bboxWidth, bboxHeight);
  } else if (s_.viewportHeight >= 1) {
    clip(0, 0, s_.viewportWidth, s_.viewportHeight);
  } else if (pngScale != 1.0) {
    clip(0, 0, s_.viewportWidth, contentHeightPx);
  }
  // A box may land on fractional pixels and a scaled clip may round either
  // way; anything further off is a cut image.
  long expectRows = hasBbox ? -1 : PngRowsNeeded();
  long slack = params.contains("clip") ? 1 : 0;
  outputStarted_ = true;
  auto self = shared_from_this();
  auto check = [expectRows, slack](long got) { return expectRows < 0 || std::abs(got - expectRows) <= slack; };
  SendDevToolsRequest(browser, "Page.captureScreenshot", params, [self, check](bool ok, const engine::Json& result) {
    if (self->finished_) return;
    if (!ok) {
      self->FailConversion("Page.captureScreenshot DevTools call failed.");
      return;
    }
    std::string data;
    if (result.is_object() && result.contains("data") && result["data"].is_string())
      data = result["data"].get<std::string>();
    if (data.empty()) {
      self->FailConversion("Page.captureScreenshot: no image data in response.");
      return;
    }
    // A truncated or corrupted reply must not leave a broken image behind.
    std::string bytes;
    if (!Base64Decode(data, &bytes)) {
      self->FailConversion("Page.captureScreenshot: image data is not valid base64.");
      return;
    }
    if (!check(PngRows(bytes))) {
      self->FailConversion("Page.captureScreenshot returned an image of " + std::to_string(PngRows(bytes)) +
                           " pixel rows, not the whole page.");
      return;
    }
    // A full disk shows up only on write or close; a short image is no result.
    if (!WriteFileWhole(self->s_.output, bytes)) {
      self->FailConversion("Failed to write output file: " + self->s_.output);
      return;
    }
    self->LogLine("[PdfClient] PNG saved to: " + self->s_.output);
    if (self->s_.buildParseInfo || !self->consoleEntries.empty()) self->WriteOutputJson();
    self->FinishSuccess();
  });
}

void PdfClient::DoIsolateVisibleElement(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  LogLine("[PdfClient] Isolating element for partial conversion: " + s_.visibleWebElementSelector);
  auto self = shared_from_this();
  EvaluateScript(browser, ScriptWithSelector(kScript_isolate, s_.visibleWebElementSelector),
                 [self, browser](bool, const engine::Json& result) {
                   if (self->finished_) return;
                   const engine::Json& v = EvaluatedValue(result);
                   double w, h;
                   if (!v.is_object() || !Number(v, "width", w) || !Number(v, "height", h) || !(w > 0) || !(h > 0)) {
                     self->FailConversion("Element with the specified selector could not be found.");
                     return;
                   }
                   self->LogLine("[PdfClient] Isolated element size: " + Num(w) + "x" + Num(h) + "px");
                   self->DoAnchorInjection(browser);
                 });
}
