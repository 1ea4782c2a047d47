// What the page must reach before output (a selector, an expression, a quiet
// network) and what it must not do meanwhile (throw, or lose sub-resources).
#include <cctype>

#include "runlog/run_log.h"
#include "client/pdf_client.h"
#include "client/scripts.h"
#include "client/text_escape.h"

namespace {
std::string WithoutClosingSemicolons(std::string js) {
  while (!js.empty() && (js.back() == ';' || std::isspace(static_cast<unsigned char>(js.back())))) js.pop_back();
  return js;
}
}  // namespace

// Steps: 0 selector, 1 expression, 2 network idle, 3 done. Each wait that is
// set runs in turn; the navigation timer bounds them all.
void PdfClient::WaitForPageConditions(Browser browser, int step) {
  if (DocumentChangedUnderPipeline() || finished_ || renderingAsIs_) return;
  if (step == 0 && (!s_.waitForSelector.empty() || !s_.waitForExpression.empty() || s_.waitForNetworkIdle > 0))
    ArmConversionTimeout();  // the bound when there is no navigation timer
  if (step < 1 && !s_.waitForSelector.empty()) {
    // Its first look runs as the check too: an invalid selector ends the wait.
    const std::string sel = "\"" + EscapeJsString(s_.waitForSelector) + "\"";
    const std::string test =
        "function(){var e=document.querySelector(" + sel + ");return !!e&&e.getClientRects().length>0;}";
    return WaitInPage(browser, 1, "selector: " + s_.waitForSelector, test, test);
  }
  // The expression is compiled with the wait script, so a syntax error ends
  // the wait before the first look; a statement's closing ";" would be one.
  if (step < 2 && !s_.waitForExpression.empty())
    return WaitInPage(browser, 2, "expression: " + s_.waitForExpression,
                      "function(){return (" + WithoutClosingSemicolons(s_.waitForExpression) + "\n);}", "");
  if (step < 3 && s_.waitForNetworkIdle > 0) return WaitForNetworkIdle(browser);
  activeWait_.clear();
  pageReady_ = true;
  WaitBeforePrinting(browser);
}

// check: a function run once before the first look; what it throws ends the
// wait ("" for none).
void PdfClient::WaitInPage(Browser browser, int nextStep, const std::string& what, const std::string& test,
                           const std::string& check) {
  activeWait_ = what;
  LogLine("[PdfClient] Waiting for " + what + "...");
  auto self = shared_from_this();
  EvaluateScript(
      browser, kScript_wait_until + ("(" + test + (check.empty() ? "" : "," + check) + ")"),
      [self, browser, nextStep, what](bool, const engine::Json& result) {
        if (self->finished_ || self->DocumentChangedUnderPipeline()) return;
        if (EvaluatedValue(result) == true) {
          self->LogLine("[PdfClient] Done waiting for " + what + ".");
          return self->WaitForPageConditions(browser, nextStep);
        }
        auto details = result.find("exceptionDetails");
        if (details != result.end()) {
          std::string text = details->value("exception", engine::Json::object())
                                 .value("description", details->value("text", ""));
          return self->FailConversion("Cannot wait for " + what + " (" + text.substr(0, text.find('\n')) + ")");
        }
        // The document's context went away under the wait: look again soon.
        self->PostDelayed(100, [self, browser, nextStep] { self->WaitForPageConditions(browser, nextStep - 1); });
      },
      true);
}

void PdfClient::WaitForNetworkIdle(Browser) {
  activeWait_ = "network idle: " + std::to_string(s_.waitForNetworkIdle) + "ms";
  LogLine("[PdfClient] Waiting for " + activeWait_ + " without requests...");
  waitingForIdle_ = true;
  if (requestsInFlight_.empty()) ArmNetworkIdleTimer();
}

// Any request that starts or ends meanwhile makes the timer stale.
void PdfClient::ArmNetworkIdleTimer() {
  auto self = shared_from_this();
  const uint64_t mark = networkChanges_;
  const uint32_t generation = pipelineGeneration_;
  PostDelayed(s_.waitForNetworkIdle, [self, mark, generation] {
    if (self->finished_ || !self->waitingForIdle_ || self->networkChanges_ != mark ||
        self->pipelineGeneration_ != generation)
      return;
    self->waitingForIdle_ = false;
    self->LogLine("[PdfClient] Done waiting for " + self->activeWait_ + ".");
    self->WaitForPageConditions(self->browser_, 3);
  });
}

void PdfClient::OnResourceLoadStart(Browser, const std::string& requestId) {
  if (requestsInFlight_.insert(requestId).second) ++networkChanges_;
}

void PdfClient::OnResourceLoadComplete(Browser, const engine::ResourceLoad& load) {
  if (requestsInFlight_.erase(load.requestId)) {
    ++networkChanges_;
    if (waitingForIdle_ && requestsInFlight_.empty()) ArmNetworkIdleTimer();
  }
  if (!s_.failOnResourceLoadingFailed && s_.failOnResourceStatus.empty()) return;
  // The main document has its own rules; what the run blocks is not a fault.
  if (outputStarted_ || finished_ || load.mainDocument || load.blocked || BlockedByRules(load.url)) return;
  if (!load.errorText.empty()) {
    if (s_.failOnResourceLoadingFailed && !load.canceled)
      FailConversion("Load error " + std::to_string(load.errorCode) + " (" + load.errorText +
                     ") for resource: " + load.url);
    return;
  }
  for (const auto& [low, high] : failStatuses_) {
    if (load.httpStatus < low || load.httpStatus > high) continue;
    return FailConversion("HTTP error " + std::to_string(load.httpStatus) + " " + HttpStatusText(load.httpStatus) +
                          " for resource: " + load.url);
  }
}

void PdfClient::OnUncaughtException(Browser, const std::string& text, const std::string& source, int line) {
  if (!s_.failOnConsoleExceptions || outputStarted_ || finished_) return;
  FailConversion("Exception in the page: " + text + " (" + source + ":" + std::to_string(line) + ")");
}
