// One browser of the engine: a page target and its flat DevTools session.
// It turns the session's events into the client's callbacks and carries out
// the browser operations over the session.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "engine/devtools_connection.h"
#include "engine/engine.h"

namespace engine {

class PageSession : public Browser, public std::enable_shared_from_this<PageSession> {
 public:
  PageSession(Connection& connection, int id, const BrowserSettings& settings, std::shared_ptr<Client> client,
              std::string url, std::string startupScript);

  // Browser.
  int GetIdentifier() const override { return id_; }
  std::shared_ptr<Frame> GetMainFrame() override { return mainFrame_; }
  void StopLoad() override { SendPage("Page.stopLoading", Json::object()); }
  int ExecuteDevToolsMethod(int messageId, const std::string& method, const Json& params) override;
  std::shared_ptr<Registration> AddDevToolsMessageObserver(std::shared_ptr<DevToolsMessageObserver> observer) override;
  void PrintToPDF(const std::string& path, const PdfPrintSettings& settings,
                  std::shared_ptr<PdfPrintCallback> callback) override;
  void WasResized() override { ApplyViewRect(); }

  // Engine side.
  // Drives targetId when given (a page the browser opened at launch), else a
  // new blank target.
  void Start(const std::string& targetId = "");
  // Drives a page already attached as sessionId, whose common set-up was
  // sent there; the commands of it still unanswered hold back navigation.
  void Adopt(const std::string& targetId, const std::string& sessionId, std::set<int> setupInFlight);
  // Sends what every page gets before its job's own set-up; answered is
  // called with each command's wire id as its reply comes.
  static std::set<int> SendCommonSetup(Connection& connection, const std::string& sessionId,
                                       std::function<void(int wire)> answered);
  void SetupAnswered(int wire);
  // Runs fn once every configuration command sent so far has been answered.
  void AfterSetup(std::function<void()> fn);
  void OnEvent(const std::string& method, const Json& params);
  void OnTargetCrashed(const std::string& status, int errorCode);
  bool crashReported() const { return crashReported_; }
  bool setupPending() const { return !setupInFlight_.empty() || !afterSetup_.empty(); }
  void NotifyClosed();
  void Detach() {
    client_.reset();
    observers_.clear();
  }
  void RemoveObserver(int key) { observers_.erase(key); }
  void Navigate(const std::string& url, const std::string& frameId);
  void ExecuteInMainFrame(const std::string& code, const std::string& scriptUrl, int startLine);
  // A paused request goes on (with new headers when not null) or fails as
  // blocked by the client.
  void AnswerPausedRequest(const std::string& requestId, bool cancel, const Json& headers);
  const std::string& url() const { return url_; }
  const std::string& sessionId() const { return sessionId_; }
  const std::string& targetId() const { return targetId_; }
  const std::string& browserContextId() const { return browserContextId_; }
  // The context of the page Start is given.
  void SetBrowserContextId(std::string id) { browserContextId_ = std::move(id); }

  // The start-up script runs under this name; what it logs or throws is
  // reported under the document's.
  static constexpr const char* kStartupScriptUrl = "halvern://startup-script";

 private:
  using ReplyFn = Connection::ReplyFn;
  int SendPage(const std::string& method, const Json& params, ReplyFn reply = nullptr);
  void SendTargetCommand(const std::string& method, const Json& params, std::function<void(const Json& result)> next);
  void SetUpPage(bool commonSetupSent);
  void ApplyViewRect();
  void DeliverResult(int clientId, const Json& reply);
  std::shared_ptr<Frame> FrameFor(const std::string& frameId, const std::string& url);

  // Event handlers (page_events.cc, page_requests.cc).
  using Handler = void (PageSession::*)(const Json& params);
  static const std::map<std::string, Handler>& EventTable();
  void OnFrameStartedNavigating(const Json& params);
  void OnFrameStartedLoading(const Json& params);
  void OnFrameStoppedLoading(const Json& params);
  void OnFrameDetached(const Json& params);
  void OnFrameNavigated(const Json& params);
  void OnNavigatedWithinDocument(const Json& params);
  void OnLoadEventFired(const Json& params);
  void OnRequestWillBeSent(const Json& params);
  void OnResponseReceived(const Json& params);
  void OnLoadingFailed(const Json& params);
  void OnLoadingFinished(const Json& params);
  void OnInspectorTargetCrashed(const Json& params);
  void OnConsoleMessageAdded(const Json& params);
  void OnExceptionThrown(const Json& params);
  void OnContextCreated(const Json& params);
  void OnContextDestroyed(const Json& params);
  void OnContextsCleared(const Json& params);
  void OnLogEntryAdded(const Json& params);
  void OnDialogOpening(const Json& params);
  void OnCertificateError(const Json& params);
  void OnRequestPaused(const Json& params);
  void OnAuthRequired(const Json& params);

  void ReportLoadError(const std::string& key, const std::string& errorText, const std::string& url);
  void ReportCrash(TerminationStatus status, int code, const std::string& text);
  void ReportConsole(LogSeverity level, const std::string& text, std::string source, int line,
                     bool uncaught = false);
  void CompleteResource(const std::string& requestId, const Json& failure);
  void ReportUncaught(const Json& exceptionDetails, const std::string& source, int line);
  void FlushConsole();
  void SetLoading(const std::string& frameId, bool loading);

  struct PrintJob;
  void PrintRead(std::shared_ptr<PrintJob> job);
  void PrintDone(std::shared_ptr<PrintJob> job, bool ok);

  Connection& connection_;
  int id_;
  BrowserSettings settings_;
  std::shared_ptr<Client> client_;
  std::string initialUrl_;
  std::string startupScript_;
  std::shared_ptr<Frame> mainFrame_;
  std::string targetId_, sessionId_, browserContextId_;
  std::string url_ = "about:blank";
  bool created_ = false, closed_ = false;

  std::map<int, std::shared_ptr<DevToolsMessageObserver>> observers_;
  int nextObserverKey_ = 1;
  int nextChosenId_ = 1 << 30;

  // Configuration commands take effect in the renderer only once answered;
  // a navigation sent before that would commit a document without them.
  std::set<int> setupInFlight_;
  std::deque<std::pair<int, std::function<void()>>> afterSetup_;

  // Load tracking, main frame only, except the loading state, which covers
  // every frame of the page.
  bool reportLoads_ = false;  // set by the first navigation we did not synthesise
  std::string loaderId_;      // committed document
  bool errorPage_ = false;    // the committed document is the browser's error page
  std::string loadEndReportedFor_;
  std::map<std::string, int> statusByLoader_;
  std::map<std::string, std::string> documentRequests_;  // main-frame document request id -> URL
  struct Resource {
    std::string url;
    int status = 0;
  };
  std::map<std::string, Resource> resources_;  // every request in flight, by id
  std::set<std::string> reportedErrors_;
  std::set<std::string> loadingFrames_;
  std::map<std::string, std::string> certificateErrors_;  // refused URL -> its error

  // Child frames' documents and the main-world contexts of all frames, so
  // that what the start-up script throws in a frame is named after it.
  std::map<std::string, std::string> childFrameUrls_;  // frame id -> committed URL
  std::map<int, std::string> contextFrames_;           // context id -> frame id

  // Console messages reach the client in the order they happened; an
  // uncaught object waits for its string conversion in the page.
  struct ConsoleLine {
    uint64_t seq;
    bool ready;
    LogSeverity level;
    std::string text, source;
    int line;
    bool uncaught;
  };
  std::deque<ConsoleLine> console_;
  uint64_t nextConsoleSeq_ = 0;
  bool crashReported_ = false;
};

}  // namespace engine
