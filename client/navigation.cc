#include <map>

#include "runlog/run_log.h"
#include "client/pdf_client.h"

std::string HttpStatusText(int code) {
  static const std::map<int, const char*> kTexts = {
      {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
      {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"}, {410, "Gone"},
      {411, "Length Required"}, {412, "Precondition Failed"}, {413, "Content Too Large"},
      {414, "URI Too Long"}, {415, "Unsupported Media Type"}, {416, "Range Not Satisfiable"},
      {417, "Expectation Failed"}, {422, "Unprocessable Content"}, {425, "Too Early"},
      {426, "Upgrade Required"}, {428, "Precondition Required"}, {429, "Too Many Requests"},
      {431, "Request Header Fields Too Large"}, {451, "Unavailable For Legal Reasons"},
      {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
      {503, "Service Unavailable"}, {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
      {506, "Variant Also Negotiates"}, {507, "Insufficient Storage"}, {508, "Loop Detected"},
      {511, "Network Authentication Required"}};
  auto it = kTexts.find(code);
  return it == kTexts.end() ? "Unknown" : it->second;
}

namespace {
std::string MainFrameUrl(const std::shared_ptr<engine::Browser>& browser) {
  if (!browser) return "";
  auto frame = browser->GetMainFrame();
  return frame ? frame->GetURL() : "";
}
}  // namespace

bool PdfClient::OnBeforeBrowse(Browser, Frame frame, const std::string& url, bool, bool isRedirect) {
  if (frame && frame->IsMain() && !isRedirect) {
    navigationPending_ = true;
    LogLine("[PdfClient] Main-frame navigation started: " + url);
  }
  return false;
}

void PdfClient::OnLoadStart(Browser, Frame frame) {
  if (!frame || !frame->IsMain()) return;
  navigationPending_ = false;
  ++loadGeneration_;
}

void PdfClient::OnLoadEnd(Browser browser, Frame frame, int status) {
  if (!frame || !frame->IsMain()) return;

  if (!directMode && !preloadDone_.exchange(true)) {
    if (!s_.loginPage.empty()) {
      LogLine("[PdfClient] Preload complete, navigating to login page: " + s_.loginPage);
      frame->LoadURL(s_.loginPage);
    } else if (s_.httpPostFields.empty()) {
      LogLine("[PdfClient] Preload complete, navigating to: " + targetUrl);
      frame->LoadURL(targetUrl);
    } else {
      LogLine("[PdfClient] Preload complete, navigating to: " + targetUrl);
      SubmitPostForm(frame);
    }
    return;
  }

  if (!s_.loginPage.empty()) {
    if (loginPageLoaded_.exchange(true)) {
      if (!loginNavigated_) {
        LogLine("[PdfClient] Ignoring post-submit navigation to: " + frame->GetURL() +
                " (still waiting for DoLoginNavigate to target the real URL).");
        return;
      }
    } else {
      LogLine("[PdfClient] Login page loaded (HTTP " + std::to_string(status) + "), filling credentials...");
      auto self = shared_from_this();
      if (s_.loginDelayBefore > 0) {
        PostDelayed(s_.loginDelayBefore, [self, browser] { self->DoLoginFill(browser); });
      } else {
        DoLoginFill(browser);
      }
      return;
    }
  }

  if (navigationPending_) {
    LogLine("[PdfClient] Load end of " + frame->GetURL() +
            " deferred: a main-frame navigation it started has not committed yet.");
    deferredStatus_ = status;
    deferredLoadEnd_ = true;
    return;
  }

  deferredLoadEnd_ = false;
  if (!pipelineStarted_.exchange(true)) {
    OnPageLoaded(browser, status);
    return;
  }
  if (outputStarted_) return;
  if (loadGeneration_ == pipelineGeneration_) return;
  restartStatus_ = status;
  if (pipelineStopped_) {
    OnPageLoaded(browser, status);
  } else {
    restartPending_ = true;
    LogLine("[PdfClient] " + frame->GetURL() +
            " loaded while the print pipeline runs on the document it replaced - restarting when that run stops.");
  }
}

void PdfClient::OnLoadingStateChange(Browser browser, bool isLoading, bool, bool) {
  if (isLoading || outputStarted_ || finished_) return;
  if (deferredLoadEnd_ && !pipelineStarted_) {
    LogLine("[PdfClient] Loading stopped with the deferred load end's navigation not committed - printing the "
            "current document.");
    navigationPending_ = false;
    OnLoadEnd(browser, browser ? browser->GetMainFrame() : nullptr, deferredStatus_);
  } else if (pipelineStopped_ && navigationPending_) {
    LogLine("[PdfClient] Loading stopped with the replacing navigation not committed - restarting the print "
            "pipeline on the current document.");
    navigationPending_ = false;
    restartStatus_ = 200;
    RestartPrintPipeline(browser);
  }
}

void PdfClient::OnPageLoaded(Browser browser, int status) {
  pipelineGeneration_ = loadGeneration_;
  pipelineStopped_ = false;
  restartPending_ = false;
  delayStageEntered_ = false;
  if (status >= 400) {
    FailConversion("HTTP error " + std::to_string(status) + " " + HttpStatusText(status) +
                   " for URL: " + MainFrameUrl(browser));
    return;
  }
  LogLine("[PdfClient] Page loaded (HTTP " + std::to_string(status) + ").");
  SendEmulatedMedia(browser);
  BeginPagePreparation(browser);
}

void PdfClient::SendEmulatedMedia(Browser browser) {
  // Not awaited: the next request replaces the observer slot anyway.
  if (browser) browser->ExecuteDevToolsMethod(0, "Emulation.setEmulatedMedia", {{"media", s_.mediaType}});
}

bool PdfClient::DocumentChangedUnderPipeline() {
  if (outputStarted_ || renderingAsIs_) return false;
  if (!navigationPending_ && loadGeneration_ == pipelineGeneration_) return false;
  if (!pipelineStopped_.exchange(true)) {
    LogLine("[PdfClient] The document changed under the print pipeline (a main-frame navigation started after "
            "its load) - stopping this run for the document that replaces it.");
  }
  if (restartPending_.exchange(false) && browser_) {
    auto self = shared_from_this();
    auto browser = browser_;
    PostTask([self, browser] { self->RestartPrintPipeline(browser); });
  }
  return true;
}

void PdfClient::RestartPrintPipeline(Browser browser) {
  if (finished_ || outputStarted_) return;
  LogLine("[PdfClient] Restarting the print pipeline on " + MainFrameUrl(browser));
  OnPageLoaded(browser, restartStatus_);
}

void PdfClient::OnLoadError(Browser, Frame frame, int errorCode, const std::string& errorText,
                            const std::string& failedUrl) {
  if (!frame || !frame->IsMain() || errorCode == engine::net_error::kAborted) return;
  FailConversion("Load error " + std::to_string(errorCode) + " (" + errorText + ")" + " for URL: " + failedUrl);
}

void PdfClient::OnRenderProcessTerminated(Browser, engine::TerminationStatus status, int errorCode,
                                          const std::string& errorString) {
  FailConversion("Renderer process crashed (status=" + std::to_string(static_cast<int>(status)) +
                 " error=" + std::to_string(errorCode) + " " + errorString + ").");
}

void PdfClient::OnNavigationTimeout() {
  if (pageReady_) return;
  if (!activeWait_.empty()) return FailConversion("Timed out waiting for " + activeWait_);
  if (s_.renderOnTimeout && !s_.startupModeManual && browser_ && !finished_) {
    LogLine("[PdfClient] Navigation timeout after " + std::to_string(s_.navigationTimeout) +
            "ms \xE2\x80\x94 renderOnTimeout is set, rendering the page as it is.");
    bool wasStarted = pipelineStarted_.exchange(true);
    renderingAsIs_ = true;
    pageReady_ = true;
    browser_->StopLoad();
    if (!wasStarted) SendEmulatedMedia(browser_);
    WaitBeforePrinting(browser_);
    return;
  }
  FailConversion("Navigation timeout after " + std::to_string(s_.navigationTimeout) + "ms.");
}

void PdfClient::ArmConversionTimeout() {
  if (s_.printTimeout < 1 || conversionTimerArmed_.exchange(true)) return;
  int64_t base = std::max(s_.conversionDelay, s_.navigationTimeout);
  int64_t ms = std::max<int64_t>(base + 60000, s_.printTimeout);
  conversionTimeoutMs_ = static_cast<int>(std::min<int64_t>(ms, INT32_MAX));
  auto self = shared_from_this();
  PostDelayed(conversionTimeoutMs_, [self] { self->OnConversionTimeout(); });
}

void PdfClient::OnConversionTimeout() {
  if (finished_) return;
  if (!activeWait_.empty() && !pageReady_) return FailConversion("Timed out waiting for " + activeWait_);
  FailConversion("Conversion timeout after " + std::to_string(conversionTimeoutMs_) + "ms.");
}
