// What the page session makes of the browser's events: loads, loading state,
// crashes, console messages, dialogs and certificate errors.
#include <functional>

#include "engine/devtools_util.h"
#include "engine/engine_log.h"
#include "engine/page_session.h"

namespace engine {
namespace {

class CertificateCallbackImpl : public CertificateCallback {
 public:
  CertificateCallbackImpl(Connection& connection, std::string sessionId, int eventId,
                          std::function<void(bool allowed)> onAnswer)
      : connection_(connection), sessionId_(std::move(sessionId)), eventId_(eventId), onAnswer_(std::move(onAnswer)) {}
  // An unanswered error would stall the request.
  ~CertificateCallbackImpl() override { Answer("cancel"); }
  void Continue() override { Answer("continue"); }
  void Cancel() override { Answer("cancel"); }

 private:
  void Answer(const char* action) {
    if (answered_) return;
    answered_ = true;
    connection_.Send("Security.handleCertificateError", Json{{"eventId", eventId_}, {"action", action}}, sessionId_,
                     nullptr);
    if (onAnswer_) onAnswer_(std::string(action) == "continue");
  }
  Connection& connection_;
  std::string sessionId_;
  int eventId_;
  std::function<void(bool allowed)> onAnswer_;
  bool answered_ = false;
};

bool IsHttp(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

}  // namespace

const std::map<std::string, PageSession::Handler>& PageSession::EventTable() {
  static const std::map<std::string, Handler> table = {
      {"Page.frameStartedNavigating", &PageSession::OnFrameStartedNavigating},
      {"Page.frameStartedLoading", &PageSession::OnFrameStartedLoading},
      {"Page.frameStoppedLoading", &PageSession::OnFrameStoppedLoading},
      {"Page.frameDetached", &PageSession::OnFrameDetached},
      {"Page.frameNavigated", &PageSession::OnFrameNavigated},
      {"Page.navigatedWithinDocument", &PageSession::OnNavigatedWithinDocument},
      {"Page.loadEventFired", &PageSession::OnLoadEventFired},
      {"Page.javascriptDialogOpening", &PageSession::OnDialogOpening},
      {"Network.requestWillBeSent", &PageSession::OnRequestWillBeSent},
      {"Network.responseReceived", &PageSession::OnResponseReceived},
      {"Network.loadingFailed", &PageSession::OnLoadingFailed},
      {"Network.loadingFinished", &PageSession::OnLoadingFinished},
      {"Inspector.targetCrashed", &PageSession::OnInspectorTargetCrashed},
      {"Console.messageAdded", &PageSession::OnConsoleMessageAdded},
      {"Runtime.exceptionThrown", &PageSession::OnExceptionThrown},
      {"Runtime.executionContextCreated", &PageSession::OnContextCreated},
      {"Runtime.executionContextDestroyed", &PageSession::OnContextDestroyed},
      {"Runtime.executionContextsCleared", &PageSession::OnContextsCleared},
      {"Log.entryAdded", &PageSession::OnLogEntryAdded},
      {"Security.certificateError", &PageSession::OnCertificateError},
      {"Fetch.requestPaused", &PageSession::OnRequestPaused},
      {"Fetch.authRequired", &PageSession::OnAuthRequired},
  };
  return table;
}

void PageSession::OnFrameStartedNavigating(const Json& params) {
  if (params.value("frameId", "") != targetId_) return;
  std::string type = params.value("navigationType", "");
  if (type == "sameDocument" || type == "historySameDocument") return;
  reportLoads_ = true;
  client_->OnBeforeBrowse(shared_from_this(), mainFrame_, params.value("url", ""), false, false);
}

// The page is loading while any of its frames is, as the browser's own
// loading indicator has it.
void PageSession::SetLoading(const std::string& frameId, bool loading) {
  bool wasLoading = !loadingFrames_.empty();
  if (loading)
    loadingFrames_.insert(frameId);
  else
    loadingFrames_.erase(frameId);
  bool isLoading = !loadingFrames_.empty();
  if (isLoading != wasLoading && reportLoads_) client_->OnLoadingStateChange(shared_from_this(), isLoading, false, false);
}

void PageSession::OnFrameStartedLoading(const Json& params) { SetLoading(params.value("frameId", ""), true); }

void PageSession::OnFrameStoppedLoading(const Json& params) { SetLoading(params.value("frameId", ""), false); }

void PageSession::OnFrameDetached(const Json& params) {
  SetLoading(params.value("frameId", ""), false);
  childFrameUrls_.erase(params.value("frameId", ""));
}

void PageSession::OnFrameNavigated(const Json& params) {
  static const Json kNone = Json::object();
  auto f = params.find("frame");
  const Json& frame = f != params.end() ? *f : kNone;
  if (frame.contains("parentId")) childFrameUrls_[frame.value("id", "")] = frame.value("url", "");
  if (frame.contains("parentId") || frame.value("id", "") != targetId_) return;
  url_ = frame.value("url", "");
  loaderId_ = frame.value("loaderId", "");
  // The committing document is loading and the old one's frames went with
  // it, even when the event that said so was lost.
  if (!loadingFrames_.empty()) loadingFrames_ = {targetId_};
  // A failed navigation commits the browser's error page; the failure itself
  // is reported as a load error.
  errorPage_ = url_.rfind("chrome-error://", 0) == 0;
  crashReported_ = false;
  if (reportLoads_ && !errorPage_) client_->OnLoadStart(shared_from_this(), mainFrame_);
}

void PageSession::OnNavigatedWithinDocument(const Json& params) {
  if (params.value("frameId", "") == targetId_) url_ = params.value("url", url_);
}

void PageSession::OnLoadEventFired(const Json&) {
  if (!reportLoads_ || errorPage_ || loaderId_.empty() || loadEndReportedFor_ == loaderId_) return;
  loadEndReportedFor_ = loaderId_;
  int status = 0;
  if (IsHttp(url_)) {
    auto it = statusByLoader_.find(loaderId_);
    if (it != statusByLoader_.end()) status = it->second;
  }
  client_->OnLoadEnd(shared_from_this(), mainFrame_, status);
}

void PageSession::OnRequestWillBeSent(const Json& params) {
  const std::string id = params.value("requestId", "");
  const std::string url = params.value("request", Json::object()).value("url", "");
  if (params.value("type", "") == "Document" && params.value("frameId", "") == targetId_ &&
      id == params.value("loaderId", ""))
    documentRequests_[id] = url;
  // A redirect goes on under the same id.
  const bool started = resources_.find(id) == resources_.end();
  resources_[id].url = url;
  if (started && client_) client_->OnResourceLoadStart(shared_from_this(), id);
}

void PageSession::OnResponseReceived(const Json& params) {
  const int status = params.value("response", Json::object()).value("status", 0);
  if (params.value("type", "") == "Document" && params.value("frameId", "") == targetId_)
    statusByLoader_[params.value("loaderId", "")] = status;
  auto it = resources_.find(params.value("requestId", ""));
  if (it != resources_.end()) it->second.status = status;
}

void PageSession::OnLoadingFailed(const Json& params) {
  CompleteResource(params.value("requestId", ""), params);
  auto it = documentRequests_.find(params.value("requestId", ""));
  if (it == documentRequests_.end()) return;
  std::string url = it->second;
  documentRequests_.erase(it);
  ReportLoadError(params.value("requestId", ""), params.value("errorText", "net::ERR_FAILED"), url);
}

void PageSession::OnLoadingFinished(const Json& params) {
  CompleteResource(params.value("requestId", ""), Json());
  documentRequests_.erase(params.value("requestId", ""));
}

// failure: the loadingFailed parameters, null for a finished load.
void PageSession::CompleteResource(const std::string& requestId, const Json& failure) {
  auto it = resources_.find(requestId);
  if (it == resources_.end()) return;
  ResourceLoad load;
  load.requestId = requestId;
  load.url = it->second.url;
  load.httpStatus = it->second.status;
  load.mainDocument = documentRequests_.count(requestId) > 0;
  resources_.erase(it);
  if (failure.is_object()) {
    const std::string text = failure.value("errorText", "net::ERR_FAILED");
    load.errorCode = net_error::FromName(text);
    load.errorText = NetErrorShortName(text);
    load.canceled = failure.value("canceled", false);
    load.blocked = failure.contains("blockedReason") || load.errorText == "ERR_BLOCKED_BY_CLIENT";
  }
  if (client_) client_->OnResourceLoadComplete(shared_from_this(), load);
}

void PageSession::OnInspectorTargetCrashed(const Json&) {
  // Target.targetCrashed carries the status and code and normally follows at
  // once; this is the fallback when it does not.
  std::weak_ptr<PageSession> weak = shared_from_this();
  PostDelayedTask(
      [weak] {
        if (auto s = weak.lock()) s->ReportCrash(TerminationStatus::ProcessCrashed, 0, "crashed");
      },
      50);
}

void PageSession::ReportConsole(LogSeverity level, const std::string& text, std::string source, int line,
                                bool uncaught) {
  // What the start-up script logs belongs to the document it runs in.
  if (source == kStartupScriptUrl) source = url_;
  console_.push_back({nextConsoleSeq_++, true, level, text, std::move(source), line, uncaught});
  FlushConsole();
}

void PageSession::FlushConsole() {
  while (!console_.empty() && console_.front().ready) {
    ConsoleLine c = std::move(console_.front());
    console_.pop_front();
    if (client_) client_->OnConsoleMessage(shared_from_this(), c.level, c.text, c.source, c.line);
    if (client_ && c.uncaught) client_->OnUncaughtException(shared_from_this(), c.text, c.source, c.line);
  }
}

// The thrown value as the script engine words it: an object is converted by
// its own toString, in the page; "exception" when that fails, as the engine
// says then. Should the page not answer, the stand-in text goes out.
void PageSession::ReportUncaught(const Json& details, const std::string& source, int line) {
  std::string text = UncaughtExceptionText(details);
  if (!ExceptionNeedsItsStringConversion(details)) return ReportConsole(LogSeverity::Error, text, source, line, true);
  uint64_t seq = nextConsoleSeq_++;
  console_.push_back({seq, false, LogSeverity::Error, text, source, line, true});
  std::weak_ptr<PageSession> weak = shared_from_this();
  auto settle = [weak, seq](const std::string* converted) {
    auto self = weak.lock();
    if (!self) return;
    for (auto& c : self->console_) {
      if (c.seq != seq || c.ready) continue;
      if (converted) c.text = *converted;
      c.ready = true;
      self->FlushConsole();
      return;
    }
  };
  std::string prefix = details.value("text", "Uncaught");
  const Json call = {{"objectId", details["exception"].value("objectId", "")},
                     {"functionDeclaration", "function(){try{return String(this)}catch(e){return null}}"},
                     {"returnByValue", true},
                     {"silent", true}};
  int sent = SendPage("Runtime.callFunctionOn", call, [settle, prefix](const Json& m) {
    const Json value = m.value("result", Json::object()).value("result", Json::object()).value("value", Json());
    if (!m.contains("result") || m["result"].contains("exceptionDetails")) return settle(nullptr);
    std::string converted = prefix + " " + (value.is_string() ? value.get<std::string>() : std::string("exception"));
    settle(&converted);
  });
  if (!sent) return settle(nullptr);
  PostDelayedTask([settle] { settle(nullptr); }, 1000);
}

// The console domain carries the text the script engine builds for a
// console call ("[object Object]", "1,2"), not the argument previews.
void PageSession::OnConsoleMessageAdded(const Json& params) {
  static const std::map<std::string, LogSeverity> kLevels = {
      {"debug", LogSeverity::Debug}, {"warning", LogSeverity::Warning}, {"error", LogSeverity::Error}};
  const Json message = params.value("message", Json::object());
  auto level = kLevels.find(message.value("level", "log"));
  ReportConsole(level != kLevels.end() ? level->second : LogSeverity::Info, message.value("text", ""),
                message.value("url", ""), message.value("line", 0));
}

void PageSession::OnExceptionThrown(const Json& params) {
  const Json details = params.value("exceptionDetails", Json::object());
  std::string source = details.value("url", "");
  // What the start-up script's callbacks throw belongs to the document of
  // the frame they run in.
  if (source == kStartupScriptUrl) {
    auto context = contextFrames_.find(details.value("executionContextId", 0));
    auto child = context == contextFrames_.end() ? childFrameUrls_.end() : childFrameUrls_.find(context->second);
    source = child != childFrameUrls_.end() ? child->second : url_;
  }
  if (source.empty()) source = url_;
  ReportUncaught(details, source, details.value("lineNumber", -1) + 1);
}

void PageSession::OnContextCreated(const Json& params) {
  const Json context = params.value("context", Json::object());
  const Json aux = context.value("auxData", Json::object());
  if (aux.value("isDefault", false)) contextFrames_[context.value("id", 0)] = aux.value("frameId", "");
}

void PageSession::OnContextDestroyed(const Json& params) { contextFrames_.erase(params.value("executionContextId", 0)); }

void PageSession::OnContextsCleared(const Json&) { contextFrames_.clear(); }

void PageSession::OnLogEntryAdded(const Json& params) {
  const Json entry = params.value("entry", Json::object());
  // Console calls arrive through the console domain; network failures are
  // the browser's, not the page's console.
  std::string origin = entry.value("source", "");
  if (origin == "console-api" || origin == "network") return;
  std::string level = entry.value("level", "info");
  LogSeverity sev = level == "error"     ? LogSeverity::Error
                    : level == "warning" ? LogSeverity::Warning
                    : level == "verbose" ? LogSeverity::Debug
                                         : LogSeverity::Info;
  ReportConsole(sev, entry.value("text", ""), entry.value("url", ""), entry.value("lineNumber", -1) + 1);
}

// Off-screen there is nobody to answer a dialog: JavaScript dialogs are
// dismissed at once (confirm gives false, prompt null) and the page leaves
// when asked whether it may.
void PageSession::OnDialogOpening(const Json& params) {
  bool leave = params.value("type", "") == "beforeunload";
  SendPage("Page.handleJavaScriptDialog", Json{{"accept", leave}});
}

void PageSession::OnCertificateError(const Json& params) {
  std::string errorType = params.value("errorType", ""), url = params.value("requestURL", "");
  // A cancelled request fails as aborted; its load error is the certificate's.
  std::weak_ptr<PageSession> weak = shared_from_this();
  auto callback = std::make_shared<CertificateCallbackImpl>(
      connection_, sessionId_, params.value("eventId", 0), [weak, url, errorType](bool allowed) {
        auto s = weak.lock();
        if (s && !allowed) s->certificateErrors_[url] = errorType;
        // Once the client accepts the document's certificate, the page's other
        // requests are accepted by the browser itself. Answered one by one,
        // they lose a race: the browser cancels every unanswered error when
        // any of the page's frames finishes a navigation.
        if (s && allowed) {
          s->SendPage("Security.setOverrideCertificateErrors", Json{{"override", false}});
          s->SendPage("Security.setIgnoreCertificateErrors", Json{{"ignore", true}});
        }
      });
  // As in an embedded browser: only the main frame's own document is put to
  // the client; any other request with a bad certificate is refused at once.
  bool mainDocument = false;
  for (const auto& [id, documentUrl] : documentRequests_) mainDocument = mainDocument || documentUrl == url;
  if (!mainDocument) EngineLog("certificate error " + errorType + " refused for a sub-resource: " + url);
  if (!mainDocument || !client_->OnCertificateError(shared_from_this(), net_error::FromName(errorType), url, callback))
    callback->Cancel();
}

}  // namespace engine
