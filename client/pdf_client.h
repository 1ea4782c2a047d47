// The conversion client: drives one conversion from browser creation to the
// written output, as a chain of stages on the engine's UI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/staged_file.h"
#include "config/host_resolver.h"
#include "config/settings.h"
#include "engine/engine.h"
#include "runlog/run_log.h"

class PdfRenderHandler : public engine::RenderHandler {
 public:
  PdfRenderHandler(int w, int h) : width(w), height(h) {}
  engine::Rect GetViewRect() override { return {0, 0, width, height}; }
  int width;
  int height;
};

// The value an evaluation reply carries (result.value); null when it has none.
const engine::Json& EvaluatedValue(const engine::Json& reply);

// A reply as the log shows it: the browser's text, in its member order.
std::string ReplyText(const engine::Json& reply);

// One-shot observer for a single DevTools request.
class PdfDevToolsObserver : public engine::DevToolsMessageObserver {
 public:
  using Callback = std::function<void(bool success, const engine::Json& result)>;
  PdfDevToolsObserver(int expectedId, Callback cb) : expectedMessageId(expectedId), callback(std::move(cb)) {}
  void OnDevToolsMethodResult(std::shared_ptr<engine::Browser> browser, int messageId, bool success,
                              const engine::Json& result) override;
  int expectedMessageId;
  Callback callback;
};

class PdfPrintCallback : public engine::PdfPrintCallback {
 public:
  using Callback = std::function<void(const std::string& path, bool ok)>;
  explicit PdfPrintCallback(Callback cb) : callback(std::move(cb)) {}
  void OnPdfPrintFinished(const std::string& path, bool ok) override {
    if (callback) callback(path, ok);
  }
  Callback callback;
};

// Fails every request it is asked about.
class PdfBlockRequestHandler : public engine::ResourceRequestHandler {
 public:
  explicit PdfBlockRequestHandler(const RunLog& runLog) : log(runLog) {}
  engine::ReturnValue OnBeforeResourceLoad(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>,
                                           std::shared_ptr<engine::Request> request,
                                           std::shared_ptr<engine::RequestCallback>) override;
  RunLog log;
};

// Sets each header of its map, replacing entries of the same name.
class PdfHeadersRequestHandler : public engine::ResourceRequestHandler {
 public:
  explicit PdfHeadersRequestHandler(const RunLog& runLog) : log(runLog) {}
  engine::ReturnValue OnBeforeResourceLoad(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>,
                                           std::shared_ptr<engine::Request> request,
                                           std::shared_ptr<engine::RequestCallback>) override;
  std::map<std::string, std::string> headers;
  RunLog log;
};

class PdfClient;

// Holds one request while the name lookup of its host runs, so that the
// message loop goes on meanwhile; then decides it as the client would have
// at once. Keeps only a weak reference to the client.
class PdfLookupWaitRequestHandler : public engine::ResourceRequestHandler,
                                    public std::enable_shared_from_this<PdfLookupWaitRequestHandler> {
 public:
  PdfLookupWaitRequestHandler(std::weak_ptr<PdfClient> client, bool isNavigation)
      : client_(std::move(client)), isNavigation_(isNavigation) {}
  engine::ReturnValue OnBeforeResourceLoad(std::shared_ptr<engine::Browser> browser,
                                           std::shared_ptr<engine::Frame> frame,
                                           std::shared_ptr<engine::Request> request,
                                           std::shared_ptr<engine::RequestCallback> callback) override;
  // Decides the request; later calls do nothing.
  void Resume();

 private:
  std::weak_ptr<PdfClient> client_;
  bool isNavigation_;
  std::shared_ptr<engine::Browser> browser_;
  std::shared_ptr<engine::Frame> frame_;
  std::shared_ptr<engine::Request> request_;
  std::shared_ptr<engine::RequestCallback> callback_;
};

struct ConsoleEntry {
  std::string level;
  std::string message;
  std::string source;
  int line = 0;
};

class PdfClient : public engine::Client, public std::enable_shared_from_this<PdfClient> {
 public:
  using Browser = std::shared_ptr<engine::Browser>;
  using Frame = std::shared_ptr<engine::Frame>;

  PdfClient(const ConversionSettings& settings, const RunLog& log);

  // ---- engine callbacks ----
  std::shared_ptr<engine::RenderHandler> GetRenderHandler() override;
  void OnAfterCreated(Browser browser) override;
  void OnBeforeClose(Browser browser) override;
  void OnLoadEnd(Browser browser, Frame frame, int httpStatusCode) override;
  void OnLoadStart(Browser browser, Frame frame) override;
  void OnLoadingStateChange(Browser browser, bool isLoading, bool canGoBack, bool canGoForward) override;
  void OnLoadError(Browser browser, Frame frame, int errorCode, const std::string& errorText,
                   const std::string& failedUrl) override;
  void OnRenderProcessTerminated(Browser browser, engine::TerminationStatus status, int errorCode,
                                 const std::string& errorString) override;
  bool OnConsoleMessage(Browser browser, engine::LogSeverity level, const std::string& message,
                        const std::string& source, int line) override;
  bool OnBeforeBrowse(Browser browser, Frame frame, const std::string& url, bool userGesture,
                      bool isRedirect) override;
  void OnUncaughtException(Browser browser, const std::string& text, const std::string& source, int line) override;
  void OnResourceLoadStart(Browser browser, const std::string& requestId) override;
  void OnResourceLoadComplete(Browser browser, const engine::ResourceLoad& load) override;
  bool WantsRequestInterception() override;
  std::shared_ptr<engine::ResourceRequestHandler> GetResourceRequestHandler(Browser browser, Frame frame,
                                                                            std::shared_ptr<engine::Request> request,
                                                                            bool isNavigation) override;
  bool GetAuthCredentials(Browser browser, const std::string& originUrl, bool isProxy, const std::string& host,
                          int port, const std::string& realm, const std::string& scheme,
                          std::shared_ptr<engine::AuthCallback> callback) override;
  bool OnCertificateError(Browser browser, int certError, const std::string& requestUrl,
                          std::shared_ptr<engine::CertificateCallback> callback) override;

  // ---- run driver interface ----
  std::string BuildStartupScript() const;
  void OnNavigationTimeout();
  void FinishSuccess();
  void FailConversion(const std::string& message);
  void RecordFailure(const std::string& message);

  const ConversionSettings& settings() const { return s_; }
  const RunLog& log() const { return log_; }
  int navigationTimeout() const { return s_.navigationTimeout; }
  bool finished() const { return finished_.load(); }
  bool success() const { return success_.load(); }
  const std::string& errorMessage() const { return errorMessage_; }
  std::string targetUrl;
  bool directMode = false;

  // ---- values the output steps record (read by the output JSON) ----
  int contentHeightPx = 0;
  double effectiveScale = 1.0;
  double paperWidth;
  double paperHeight;
  std::string lazyScroll = "off";
  double firstPageOffset = 0;
  int contentEndPage = 0;
  double contentEndCut = 0;
  double contentEndInkEnd = 0;
  double inkTailPx = 0;
  double contentEndPageHeight = 0;
  std::string contentEndInkError;
  std::string docTitle, docDescription, docKeywords, docAuthor;
  int contentHeight = 0;  // from the web-element pass
  std::string elementsJson;
  std::vector<ConsoleEntry> consoleEntries;
  bool hasBbox = false;
  double bboxX = 0, bboxY = 0, bboxWidth = 0, bboxHeight = 0;

  // State exposed for tests.
  bool outputStarted() const { return outputStarted_.load(); }
  bool pipelineStarted() const { return pipelineStarted_.load(); }

 private:
  friend class PdfClientTestPeer;
  friend class PdfLookupWaitRequestHandler;

  // The run's log; every stage writes through these.
  void LogLine(const std::string& message) const { log_.Log(message); }
  void LogErrorLine(const std::string& message) const { log_.LogError(message); }

  // DevTools plumbing.
  void SendDevToolsRequest(Browser browser, const std::string& method, const engine::Json& params,
                           PdfDevToolsObserver::Callback callback);
  void EvaluateScript(Browser browser, const std::string& expression, PdfDevToolsObserver::Callback callback,
                      bool awaitPromise = false);
  void ExecuteOnMainFrame(Browser browser, const std::string& code);  // the program's own script
  void ExecuteAsPage(Browser browser, const std::string& code);       // the user's script, as the page's
  void DropDevToolsRegistration() { devToolsRegistration_.reset(); }
  void PostTask(std::function<void()> task);
  void PostDelayed(int64_t ms, std::function<void()> task);

  // Navigation and load handling.
  void OnPageLoaded(Browser browser, int httpStatus);
  void RestartPrintPipeline(Browser browser);
  bool DocumentChangedUnderPipeline();
  void ArmConversionTimeout();
  void OnConversionTimeout();
  void SendEmulatedMedia(Browser browser);

  // Login, POST and requests.
  bool HasAuth() const;
  // Refused by the rules, as far as known now.
  bool BlockedByRules(const std::string& url);
  enum class RuleVerdict { Pass, Block, AwaitLookup };
  // AwaitLookup: the host's name is being looked up; whenKnown (when given)
  // runs on the loop once the answer or the bound is there.
  RuleVerdict CheckRules(const std::string& url, std::function<void()> whenKnown, int64_t& waitMs);
  // The handler for a request whose rules can be decided without waiting.
  std::shared_ptr<engine::ResourceRequestHandler> DecidedRequestHandler(Frame frame, const std::string& url,
                                                                        bool isNavigation, RuleVerdict verdict);
  void DoLoginFill(Browser browser);
  void DoLoginNavigate(Browser browser);
  void SubmitPostForm(const Frame& frame);

  // Page preparation.
  void BeginPagePreparation(Browser browser);
  void WaitForManualStart(Browser browser);
  void WaitForWindowStatus(Browser browser);
  void WaitForPageConditions(Browser browser, int step);
  void WaitInPage(Browser browser, int nextStep, const std::string& what, const std::string& test,
                  const std::string& check);
  void WaitForNetworkIdle(Browser browser);
  void ArmNetworkIdleTimer();
  void WaitBeforePrinting(Browser browser);
  void InjectCustomContent(Browser browser);
  void DoLazyImageScroll(Browser browser);
  void OnLazySignals(Browser browser, bool success, const engine::Json& result);
  void DoLazyImageEagerLoad(Browser browser);
  void DoLazyImageScrollRun(Browser browser);
  void WaitBeforeClicks(Browser browser);
  void ClickElements(Browser browser);
  void DoHideElements(Browser browser);

  // Anchors, bookmarks, metadata.
  void DoAnchorInjection(Browser browser);
  void OnAnchorResult(Browser browser, bool success, const engine::Json& result);
  void CaptureDocumentMetadata(Browser browser, std::function<void(Browser)> next);
  void DoBookmarks(Browser browser);

  // PNG capture and isolation.
  void DoCaptureScreenshot(Browser browser);
  void DoCapturePng(Browser browser);
  void DoIsolateVisibleElement(Browser browser);
  void ResizeView(Browser browser, int height);
  long PngRowsNeeded() const;
  void GrowViewAndCapture(Browser browser);

  // Printing.
  void DoPrint(Browser browser);
  void DispatchPrint(Browser browser);
  void DoPrintActual(Browser browser);
  void ReadCssPageSize(Browser browser);
  void OnPrintFinished(Browser browser, const StagedFile* file, bool ok);
  void DoPrepareManagedTrim(Browser browser);
  void DoPrepareManagedTrimInk(Browser browser);
  void RunInkPass(const std::string& path);
  // The finishing step's file through a staged output; false with the reason.
  bool WriteFinishedPdf(StagedFile& printed, std::string& error);

  // Managed trim: what the page scripts report and the ink pass uses.
  std::string ManagedTrimPrologue();
  void OnInkMeasurements(const engine::Json& result);
  double inkPaintEndPx_ = 0;
  bool canvasPainted_ = false;
  bool canvasImage_ = false;
  double canvasR_ = 0, canvasG_ = 0, canvasB_ = 0;
  std::vector<double> fixedRectValues_;

  // Output JSON.
  void WriteOutputJson();

  ConversionSettings s_;
  RunLog log_;
  hvn::HostResolver resolver_{s_.hostResolverRules};  // the browser's rules, for the request rule
  std::shared_ptr<PdfBlockRequestHandler> blockHandler_;
  std::shared_ptr<PdfHeadersRequestHandler> sameOriginHeaders_;
  std::shared_ptr<PdfHeadersRequestHandler> mainNavHeaders_;
  Browser browser_;
  std::shared_ptr<PdfRenderHandler> renderHandler_;
  std::shared_ptr<engine::Registration> devToolsRegistration_;
  int nextMessageId_ = 100;
  std::atomic<bool> finished_{false};
  std::atomic<bool> success_{false};
  std::string errorMessage_;

  // Navigation state.
  std::atomic<bool> preloadDone_{false};
  std::atomic<bool> loginPageLoaded_{false};
  std::atomic<bool> loginNavigated_{false};
  std::atomic<bool> pipelineStarted_{false};
  std::atomic<bool> navigationPending_{false};
  std::atomic<bool> deferredLoadEnd_{false};
  int deferredStatus_ = 0;
  uint32_t loadGeneration_ = 0;
  uint32_t pipelineGeneration_ = 0xFFFFFFFFu;
  std::atomic<bool> pipelineStopped_{false};
  std::atomic<bool> restartPending_{false};
  int restartStatus_ = 0;
  std::atomic<bool> outputStarted_{false};
  bool cssPageSizeRead_ = false;
  bool cssSheet_ = false;  // the style sheet's page size replaced the paper
  std::unique_ptr<StagedFile> pendingPdf_;  // the PDF being printed, until it is whole
  std::atomic<bool> renderingAsIs_{false};
  std::atomic<bool> pageReady_{false};
  std::atomic<bool> delayStageEntered_{false};
  std::atomic<bool> conversionTimerArmed_{false};
  int conversionTimeoutMs_ = 0;

  // Page conditions: what is awaited now ("selector: #chart"), the requests
  // in flight, and the status codes that fail a sub-resource.
  std::string activeWait_;
  std::set<std::string> requestsInFlight_;
  uint64_t networkChanges_ = 0;
  bool waitingForIdle_ = false;
  std::vector<std::pair<int, int>> failStatuses_;
};

// Script that submits fields (in name order) to url through a generated form.
std::string BuildPostFormScript(const std::string& url, const std::map<std::string, std::string>& fields);

// Print scale the settings ask for (scale percent, or the printable width
// fitted to the viewport), and that value clamped to what PrintToPDF takes.
double RequestedPrintScale(const ConversionSettings& s);
double ClampPrintScale(double requested);

// "Not Found" for 404; "Unknown" for codes missing from the table.
std::string HttpStatusText(int code);
