#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/page_number.h"
#include "client/pdf_client.h"
#include "client/pdf_finish.h"
#include "client/scripts.h"
#include "client/staged_file.h"

namespace {

const char kHeightScript[] =
    "Math.max(document.documentElement ? document.documentElement.scrollHeight : 0,"
    "document.body ? document.body.scrollHeight : 0)";

// Default stream formatting (6 significant digits), as log lines print numbers.
std::string Num(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

}  // namespace

double RequestedPrintScale(const ConversionSettings& s) {
  if (s.scale >= 1) return s.scale / 100.0;
  double w = s.landscape ? s.paperHeight : s.paperWidth;
  return ((w - s.marginLeft - s.marginRight) / 72.0 * 96.0) / s.viewportWidth;
}

double ClampPrintScale(double requested) { return requested > 2.0 ? 2.0 : (requested < 0.1 ? 0.1 : requested); }

void PdfClient::DoPrint(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  if (s_.preferCssPageSize && !cssPageSizeRead_) {
    ReadCssPageSize(browser);
    return;
  }
  if (contentHeightPx != 0) {
    DispatchPrint(browser);
    return;
  }
  LogLine("[PdfClient] Measuring page height for PDF auto-fit...");
  auto self = shared_from_this();
  EvaluateScript(browser, kHeightScript, [self, browser](bool, const engine::Json& result) {
    if (self->finished_) return;  // a timeout or crash ended the run meanwhile
    long long value = PageInt(EvaluatedValue(result), 0, kMaxPagePx, 0);
    if (value >= 1) {
      self->contentHeightPx = static_cast<int>(value + 1);
      self->LogLine("[PdfClient] PDF content height: " + std::to_string(self->contentHeightPx) +
              "px (incl. +1px rounding guard)");
    }
    self->DispatchPrint(browser);
  });
}

// The browser prints the sheet the style sheet asks for; the automatic scale,
// the paper trim and the managed trim must reckon with that sheet too.
void PdfClient::ReadCssPageSize(Browser browser) {
  cssPageSizeRead_ = true;
  std::string script = kScript_css_page_size;
  while (!script.empty() && (script.back() == '\n' || script.back() == ';')) script.pop_back();
  auto self = shared_from_this();
  EvaluateScript(browser, script, [self, browser](bool, const engine::Json& result) {
    if (self->finished_) return;
    const engine::Json& text = EvaluatedValue(result);
    const auto v = engine::Json::parse(text.is_string() ? text.get<std::string>() : "", nullptr, false);
    if (v.is_array() && v.size() == 2 && v[0].is_number() && v[1].is_number()) {
      const double w = v[0].get<double>(), h = v[1].get<double>();
      if (w > 0 && h > 0 && w < 1e5 && h < 1e5) {
        self->s_.paperWidth = self->paperWidth = w;
        self->s_.paperHeight = self->paperHeight = h;
        self->s_.landscape = false;  // the style sheet's size is the sheet as printed
        self->cssSheet_ = true;
        self->LogLine("[PdfClient] CSS page size: " + Num(w) + "x" + Num(h) + "pt");
      }
    }
    self->DoPrint(browser);
  });
}

void PdfClient::DispatchPrint(Browser browser) {
  if (s_.contentEndInk) {
    DoPrepareManagedTrimInk(browser);
  } else if (s_.contentEndMarker || s_.firstPageAvailableHeight > 0) {
    DoPrepareManagedTrim(browser);
  } else {
    DoPrintActual(browser);
  }
}

void PdfClient::DoPrintActual(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  LogLine("[PdfClient] Starting PrintToPDF...");

  engine::PdfPrintSettings ps;
  ps.landscape = s_.landscape;
  ps.printBackground = s_.printBackground;
  ps.paperWidth = paperWidth / 72.0;
  ps.paperHeight = paperHeight / 72.0;
  ps.preferCssPageSize = s_.preferCssPageSize;
  ps.marginTop = s_.marginTop / 72.0;
  ps.marginRight = s_.marginRight / 72.0;
  ps.marginBottom = s_.marginBottom / 72.0;
  ps.marginLeft = s_.marginLeft / 72.0;
  ps.displayHeaderFooter = s_.displayHeaderFooter;
  // An empty template prints the browser's default; beside a template of
  // the host's, the other edge stays blank.
  if (!s_.headerTemplate.empty() || !s_.footerTemplate.empty()) {
    ps.headerTemplate = s_.headerTemplate.empty() ? "<span></span>" : s_.headerTemplate;
    ps.footerTemplate = s_.footerTemplate.empty() ? "<span></span>" : s_.footerTemplate;
  }

  bool automatic = s_.scale < 1;
  double requested = RequestedPrintScale(s_);
  effectiveScale = ClampPrintScale(requested);
  if (automatic) LogLine("[PdfClient] Auto scale: " + Num(requested) + " (viewport=" + std::to_string(s_.viewportWidth) + "px)");
  if (requested != effectiveScale) {
    LogLine("[PdfClient] Clamping scale " + Num(requested) + " to " + Num(effectiveScale) +
            " (Chromium PrintToPDF allowed range is [0.1, 2.0]).");
  }
  ps.scale = effectiveScale;

  if (contentHeightPx > 0 && (s_.viewportHeight == 0 || s_.allowPdfCut) && !s_.contentEndMarker &&
      !s_.contentEndInk && !(s_.firstPageAvailableHeight > 0) && !cssSheet_) {
    double length = s_.landscape ? paperWidth : paperHeight;
    double content = s_.marginTop + contentHeightPx * effectiveScale * 0.75 + s_.marginBottom;
    if (content < length) {
      LogLine("[PdfClient] Trimming paper height from " + Num(length) + "pt to content height " + Num(content) +
              "pt.");
      // In landscape the engine swaps the sheet, so the length is the width.
      if (s_.landscape) {
        paperWidth = content;
        ps.paperWidth = content / 72.0;
      } else {
        paperHeight = content;
        ps.paperHeight = content / 72.0;
      }
    }
  }
  if (s_.tagged) {
    LogLine("[PdfClient] Tagged PDF generation enabled (generate_tagged_pdf + document_outline).");
    ps.generateTaggedPdf = true;
    ps.generateDocumentOutline = true;
  } else if (s_.documentOutline) {
    LogLine("[PdfClient] Document outline enabled (generate_document_outline).");
    ps.generateDocumentOutline = true;
  }
  if (!s_.pageRanges.empty()) {
    LogLine("[PdfClient] Applying page_ranges: " + s_.pageRanges);
    ps.pageRanges = s_.pageRanges;
  }

  // The engine writes beside the target; the file takes its place once whole.
  pendingPdf_ = std::make_unique<StagedFile>(s_.output);
  if (pendingPdf_->error() != 0) {
    int error = pendingPdf_->error();
    pendingPdf_.reset();
    FailConversion("PrintToPDF failed for: " + s_.output + " (" + std::strerror(error) + ")");
    return;
  }
  auto self = shared_from_this();
  auto callback = std::make_shared<PdfPrintCallback>(
      [self, browser, file = pendingPdf_.get()](const std::string&, bool ok) {
        self->OnPrintFinished(browser, file, ok);
      });
  outputStarted_ = true;
  browser->PrintToPDF(pendingPdf_->path(), ps, callback);
}

void PdfClient::OnPrintFinished(Browser, const StagedFile* file, bool ok) {
  // A print that a restarted pipeline replaced has no file to finish.
  if (finished_ || !pendingPdf_ || pendingPdf_.get() != file) return;
  std::unique_ptr<StagedFile> pdf = std::move(pendingPdf_);
  const std::string& path = s_.output;
  if (!ok) {
    // Opened without creating: a failed run must not leave an empty file.
    std::string reason;
    int fd = open(pdf->path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
    } else {
      reason = std::string(" (") + std::strerror(errno) + ")";
    }
    pdf.reset();
    FailConversion("PrintToPDF failed for: " + path + reason);
    return;
  }
  if (PdfFinishingWanted(s_)) {
    // The ink pass reads the browser's file; the target gets only the
    // finished one, so a failure leaves what was there before the run.
    if (s_.contentEndInk) RunInkPass(pdf->path());
    std::string error;
    if (!WriteFinishedPdf(*pdf, error)) {
      pdf.reset();
      FailConversion("Could not finish the PDF: " + error);
      return;
    }
    LogLine("[PdfClient] PDF saved to: " + path + " (" + DescribeFinishing(s_) + ")");
  } else {
    if (!pdf->Commit()) {
      FailConversion("PrintToPDF failed for: " + path + " (" + std::strerror(errno) + ")");
      return;
    }
    LogLine("[PdfClient] PDF saved to: " + path);
    if (s_.contentEndInk) RunInkPass(path);
  }
  if (s_.buildParseInfo || !s_.webElementsSelectors.empty() || !consoleEntries.empty()) WriteOutputJson();
  FinishSuccess();
}

bool PdfClient::WriteFinishedPdf(StagedFile& printed, std::string& error) {
  std::string bytes;
  if (!FinishPdf(printed.path(), s_, {docTitle, docAuthor, docDescription, docKeywords}, bytes, error)) return false;
  StagedFile finished(s_.output);
  // A target written in place is the printed file itself: it is kept, then
  // overwritten with the finished bytes.
  if (finished.path() == printed.path() && !printed.Commit()) {
    error = std::strerror(errno);
    return false;
  }
  if (finished.error() != 0 || !finished.Write(bytes) || !finished.Commit()) {
    error = std::strerror(finished.error() ? finished.error() : errno);
    return false;
  }
  return true;
}
