#include <cmath>

#include "runlog/run_log.h"
#include "client/output_json.h"
#include "client/pdf_client.h"
#include "client/scripts.h"
#include "config/validation.h"

void PdfDevToolsObserver::OnDevToolsMethodResult(std::shared_ptr<engine::Browser>, int messageId, bool success,
                                                 const engine::Json& result) {
  if (messageId != expectedMessageId || !callback) return;
  // Move out first: the callback usually drops the registration that owns us.
  Callback cb = std::move(callback);
  callback = nullptr;
  cb(success, result);
}

const engine::Json& EvaluatedValue(const engine::Json& reply) {
  static const engine::Json kNone;
  auto r = reply.is_object() ? reply.find("result") : reply.end();
  if (r == reply.end() || !r->is_object()) return kNone;
  auto v = r->find("value");
  return v == r->end() ? kNone : *v;
}

std::string ReplyText(const engine::Json& reply) {
  return reply.dump(-1, ' ', false, engine::Json::error_handler_t::replace);
}

PdfClient::PdfClient(const ConversionSettings& settings, const RunLog& log)
    : paperWidth(settings.paperWidth), paperHeight(settings.paperHeight), s_(settings), log_(log) {
  if (!s_.failOnResourceStatus.empty()) ParseStatusList(s_.failOnResourceStatus, failStatuses_);
}

std::shared_ptr<engine::RenderHandler> PdfClient::GetRenderHandler() {
  if (renderHandler_) return renderHandler_;
  int height = 1;
  if (s_.viewportHeight >= 1) {
    height = s_.viewportHeight;
  } else if (s_.outputFormat != "png" &&
             (s_.contentEndMarker || s_.contentEndInk || s_.firstPageAvailableHeight > 0)) {
    // Managed trim measures layout at the aspect of the printable area.
    double w = s_.landscape ? s_.paperHeight : s_.paperWidth;
    double h = s_.landscape ? s_.paperWidth : s_.paperHeight;
    double pw = w - s_.marginLeft - s_.marginRight;
    double ph = h - s_.marginTop - s_.marginBottom;
    if (pw > 0 && ph > 0) {
      double v = std::round(s_.viewportWidth * ph / pw);
      if (v < 1) v = 1;
      if (v > 32767) v = 32767;
      height = static_cast<int>(v);
    }
  }
  renderHandler_ = std::make_shared<PdfRenderHandler>(s_.viewportWidth, height);
  return renderHandler_;
}

std::string PdfClient::BuildStartupScript() const {
  std::string script = kScript_lazy_instrumentation;
  if (script.empty() || script.back() != '\n') script += '\n';
  script += kScript_manual_start;
  if (!s_.startupScript.empty()) {
    script += '\n';
    script += s_.startupScript;
  }
  return script;
}

void PdfClient::OnAfterCreated(Browser browser) {
  LogLine("[PdfClient] OnAfterCreated \xE2\x80\x94 browser ready.");
  browser_ = browser;
  browser->ExecuteDevToolsMethod(0, "Page.enable", engine::Json::object());
  if (s_.enableOfflineMode) {
    LogLine("[PdfClient] Enabling offline mode.");
    browser->ExecuteDevToolsMethod(0, "Network.emulateNetworkConditions",
                                   {{"offline", true},
                                    {"latency", 0.0},
                                    {"downloadThroughput", -1.0},
                                    {"uploadThroughput", -1.0}});
  }
  if (!directMode) {
    browser->ExecuteDevToolsMethod(0, "Page.addScriptToEvaluateOnNewDocument", {{"source", BuildStartupScript()}});
  }
}

void PdfClient::OnBeforeClose(Browser) {
  LogLine("[PdfClient] OnBeforeClose \xE2\x80\x94 browser released.");
  devToolsRegistration_.reset();
  browser_.reset();
}

void PdfClient::SendDevToolsRequest(Browser browser, const std::string& method, const engine::Json& params,
                                    PdfDevToolsObserver::Callback callback) {
  if (!browser) return;
  int id = nextMessageId_++;
  auto self = shared_from_this();
  auto observer = std::make_shared<PdfDevToolsObserver>(
      id, [self, browser, cb = std::move(callback)](bool ok, const engine::Json& result) {
        self->DropDevToolsRegistration();
        cb(ok, result);
      });
  devToolsRegistration_ = browser->AddDevToolsMessageObserver(observer);
  browser->ExecuteDevToolsMethod(id, method, params);
}

void PdfClient::EvaluateScript(Browser browser, const std::string& expression, PdfDevToolsObserver::Callback callback,
                               bool awaitPromise) {
  engine::Json params = {{"expression", expression}, {"returnByValue", true}};
  if (awaitPromise) params["awaitPromise"] = true;
  SendDevToolsRequest(browser, "Runtime.evaluate", params, std::move(callback));
}

// What the program's own scripts throw is caught in the page: it is no
// exception of the page and no console line of it.
void PdfClient::ExecuteOnMainFrame(Browser browser, const std::string& code) {
  ExecuteAsPage(browser, "try{" + code + "\n}catch(e){}");
}

void PdfClient::ExecuteAsPage(Browser browser, const std::string& code) {
  if (!browser) return;
  if (auto frame = browser->GetMainFrame()) frame->ExecuteJavaScript(code, frame->GetURL(), 0);
}

void PdfClient::PostTask(std::function<void()> task) { engine::PostTask(std::move(task)); }

void PdfClient::PostDelayed(int64_t ms, std::function<void()> task) {
  engine::PostDelayedTask(std::move(task), ms);
}

bool PdfClient::OnConsoleMessage(Browser, engine::LogSeverity level, const std::string& message,
                                 const std::string& source, int line) {
  ConsoleEntry e;
  e.level = ConsoleLevelName(static_cast<int>(level));
  e.message = message;
  e.source = source;
  e.line = line;
  consoleEntries.push_back(std::move(e));
  return false;
}

void PdfClient::FinishSuccess() {
  success_ = true;
  finished_ = true;
  engine::QuitMessageLoop();
}

void PdfClient::FailConversion(const std::string& message) {
  if (finished_) return;
  RecordFailure(message);
  engine::QuitMessageLoop();
}

void PdfClient::RecordFailure(const std::string& message) {
  pendingPdf_.reset();  // whatever ended the run, a half-printed file goes
  if (finished_.exchange(true)) return;
  LogErrorLine("[PdfClient] " + message);
  errorMessage_ = message;
  WriteOutputJson();
  success_ = false;
}
