// The browser-engine interface the conversion client is written against.
// The shape follows an embedded-browser framework (processes, message loop,
// tasks, browsers, DevTools calls, handlers) so that another backend can be
// slotted in without touching the client. The backend shipped here drives
// chromium-headless-shell over the DevTools pipe (devtools_engine.cc).
//
// Threading: everything (callbacks, tasks, DevTools results, request
// interception) runs on the thread that runs the message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace engine {

// Protocol values keep the member order the browser wrote.
using Json = nlohmann::ordered_json;

// ---- command line -------------------------------------------------------

// The browser's program and switches, in the order they were appended.
class CommandLine {
 public:
  // Takes the switches of a process's arguments ("--name" or "--name=value",
  // up to a lone "--"); positional arguments are not switches.
  void InitFromArgv(int argc, const char* const* argv);
  void SetProgram(const std::string& program) { program_ = program; }
  void AppendSwitch(const std::string& name) { AppendSwitchWithValue(name, ""); }
  void AppendSwitchWithValue(const std::string& name, const std::string& value);
  void RemoveSwitch(const std::string& name);
  bool HasSwitch(const std::string& name) const;
  std::string GetSwitchValue(const std::string& name) const;
  // "program --a --b=v ...", the program only when one is set.
  std::string GetCommandLineString() const;
  // Each switch as one argv entry: "--name" or "--name=value".
  std::vector<std::string> ToArgv() const;

 private:
  std::string program_;
  std::vector<std::pair<std::string, std::string>> switches_;
};

// ---- application object -------------------------------------------------

// Browser-creation extra information. A string "hvnStartupScript" is
// evaluated in every new document of the browser before page scripts.
using ExtraInfo = std::map<std::string, std::string>;

// Called once per process the engine starts, before it reads its command
// line. processType is empty for the browser process.
class App {
 public:
  virtual ~App() = default;
  virtual void OnBeforeCommandLineProcessing(const std::string& processType, CommandLine& commandLine) = 0;

  // Browser life span as the engine sees it, with the creation extra
  // information. A DevTools backend has no renderer hook: it registers the
  // script returned by StartupScriptFor for every new document instead, and
  // falls back to the extra information's "hvnStartupScript" when it is empty.
  virtual void OnBrowserCreated(int /*browserId*/, const ExtraInfo& /*extraInfo*/) {}
  virtual void OnBrowserDestroyed(int /*browserId*/) {}
  virtual std::string StartupScriptFor(int /*browserId*/) const { return ""; }
};

// ---- values shared by the callbacks -------------------------------------

enum class LogSeverity { Default = 0, Verbose = 1, Debug = 1, Info = 2, Warning = 3, Error = 4, Fatal = 5, Disable = 99 };

enum class TerminationStatus { AbnormalTermination = 0, ProcessWasKilled = 1, ProcessCrashed = 2, ProcessOom = 3, LaunchFailed = 4, IntegrityFailure = 5 };

enum class ReturnValue { Cancel = 0, Continue = 1, ContinueAsync = 2 };

// Net error codes as Chromium numbers them (net_error_list.h).
namespace net_error {
constexpr int kAborted = -3;
// "net::ERR_NAME_NOT_RESOLVED" (or "ERR_NAME_NOT_RESOLVED") -> -105; unknown names -> -2 (ERR_FAILED).
int FromName(const std::string& name);
}  // namespace net_error

// One request of the page (any frame) at its end.
struct ResourceLoad {
  std::string requestId;
  std::string url;            // after redirects
  bool mainDocument = false;  // the main frame's own document
  int httpStatus = 0;         // the final answer; 0 when none came
  int errorCode = 0;          // net error when it failed, else 0
  std::string errorText;      // "ERR_CONNECTION_REFUSED"
  bool canceled = false;      // dropped by the page or a navigation
  bool blocked = false;       // refused by the client's rules or the browser's
};

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

class Browser;

class Frame {
 public:
  virtual ~Frame() = default;
  virtual bool IsMain() const = 0;
  virtual std::string GetURL() const = 0;
  virtual void LoadURL(const std::string& url) = 0;
  // Fire and forget; the result is not reported.
  virtual void ExecuteJavaScript(const std::string& code, const std::string& scriptUrl, int startLine) = 0;
};

// One outgoing request as seen by the interception hooks.
class Request {
 public:
  using HeaderMap = std::multimap<std::string, std::string>;
  virtual ~Request() = default;
  virtual std::string GetURL() const = 0;
  virtual bool IsReadOnly() const = 0;
  virtual HeaderMap GetHeaderMap() const = 0;
  virtual void SetHeaderMap(const HeaderMap& headers) = 0;
};

// Decides a request that was put off. Dropped undecided, the request is
// cancelled. Call on the message loop's thread.
class RequestCallback {
 public:
  virtual ~RequestCallback() = default;
  virtual void Continue() = 0;
  virtual void Cancel() = 0;
};

class ResourceRequestHandler {
 public:
  virtual ~ResourceRequestHandler() = default;
  // Cancel fails the request as blocked by the client; ContinueAsync holds
  // it until the callback decides (the request may still be changed then).
  virtual ReturnValue OnBeforeResourceLoad(std::shared_ptr<Browser> browser, std::shared_ptr<Frame> frame,
                                           std::shared_ptr<Request> request,
                                           std::shared_ptr<RequestCallback> callback) = 0;
};

class AuthCallback {
 public:
  virtual ~AuthCallback() = default;
  virtual void Continue(const std::string& username, const std::string& password) = 0;
  virtual void Cancel() = 0;
};

// Answers one certificate error; dropped unanswered, the request is cancelled.
class CertificateCallback {
 public:
  virtual ~CertificateCallback() = default;
  virtual void Continue() = 0;
  virtual void Cancel() = 0;
};

// ---- DevTools ---------------------------------------------------------

class DevToolsMessageObserver {
 public:
  virtual ~DevToolsMessageObserver() = default;
  // result is the method's "result" object on success, its "error" object on
  // failure.
  virtual void OnDevToolsMethodResult(std::shared_ptr<Browser> browser, int messageId, bool success,
                                      const Json& result) = 0;
};

// Dropping the last reference unregisters the observer.
class Registration {
 public:
  virtual ~Registration() = default;
};

// ---- printing -----------------------------------------------------------

struct PdfPrintSettings {
  bool landscape = false;
  bool printBackground = false;
  double scale = 0;  // 0: engine default
  double paperWidth = 0;   // inches
  double paperHeight = 0;  // inches
  bool preferCssPageSize = false;
  double marginTop = 0, marginRight = 0, marginBottom = 0, marginLeft = 0;  // inches
  std::string pageRanges;
  bool displayHeaderFooter = false;
  std::string headerTemplate, footerTemplate;
  bool generateTaggedPdf = false;
  bool generateDocumentOutline = false;
};

class PdfPrintCallback {
 public:
  virtual ~PdfPrintCallback() = default;
  virtual void OnPdfPrintFinished(const std::string& path, bool ok) = 0;
};

// ---- browser ----------------------------------------------------------

class Browser {
 public:
  virtual ~Browser() = default;
  virtual int GetIdentifier() const = 0;
  virtual std::shared_ptr<Frame> GetMainFrame() = 0;
  virtual void StopLoad() = 0;

  // Host operations.
  // Sends method with params (a JSON object). messageId 0 lets the engine
  // choose one. Returns the id used, 0 when the call could not be sent.
  virtual int ExecuteDevToolsMethod(int messageId, const std::string& method, const Json& params) = 0;
  virtual std::shared_ptr<Registration> AddDevToolsMessageObserver(std::shared_ptr<DevToolsMessageObserver> observer) = 0;
  virtual void PrintToPDF(const std::string& path, const PdfPrintSettings& settings,
                          std::shared_ptr<PdfPrintCallback> callback) = 0;
  // Asks the render handler for the view rectangle again.
  virtual void WasResized() = 0;
};

// ---- client handlers ------------------------------------------------

class RenderHandler {
 public:
  virtual ~RenderHandler() = default;
  virtual Rect GetViewRect() = 0;
};

// Everything the engine calls back for one browser. Defaults do nothing.
class Client {
 public:
  virtual ~Client() = default;

  virtual std::shared_ptr<RenderHandler> GetRenderHandler() { return nullptr; }

  // Life span.
  virtual void OnAfterCreated(std::shared_ptr<Browser> /*browser*/) {}
  virtual void OnBeforeClose(std::shared_ptr<Browser> /*browser*/) {}

  // Load and navigation; main-frame navigations in a DevTools backend.
  virtual void OnLoadEnd(std::shared_ptr<Browser>, std::shared_ptr<Frame>, int /*httpStatusCode*/) {}
  virtual void OnLoadStart(std::shared_ptr<Browser>, std::shared_ptr<Frame>) {}
  virtual void OnLoadingStateChange(std::shared_ptr<Browser>, bool /*isLoading*/, bool /*canGoBack*/,
                                    bool /*canGoForward*/) {}
  virtual void OnLoadError(std::shared_ptr<Browser>, std::shared_ptr<Frame>, int /*errorCode*/,
                           const std::string& /*errorText*/, const std::string& /*failedUrl*/) {}
  virtual void OnRenderProcessTerminated(std::shared_ptr<Browser>, TerminationStatus /*status*/,
                                         int /*errorCode*/, const std::string& /*errorString*/) {}
  // Display. Returning true suppresses the engine's own handling.
  virtual bool OnConsoleMessage(std::shared_ptr<Browser>, LogSeverity /*level*/, const std::string& /*message*/,
                                const std::string& /*source*/, int /*line*/) {
    return false;
  }
  // An exception no page script caught, after its console message.
  virtual void OnUncaughtException(std::shared_ptr<Browser>, const std::string& /*text*/,
                                   const std::string& /*source*/, int /*line*/) {}
  // Every request of the page, from its start to its end (redirects are
  // part of one request).
  virtual void OnResourceLoadStart(std::shared_ptr<Browser>, const std::string& /*requestId*/) {}
  virtual void OnResourceLoadComplete(std::shared_ptr<Browser>, const ResourceLoad&) {}
  // Returning true cancels the navigation (the DevTools backend reports only).
  virtual bool OnBeforeBrowse(std::shared_ptr<Browser>, std::shared_ptr<Frame>, const std::string& /*url*/,
                              bool /*userGesture*/, bool /*isRedirect*/) {
    return false;
  }

  // Requests. The DevTools backend intercepts requests only when this is
  // true, so that a run without rules pays nothing.
  virtual bool WantsRequestInterception() { return false; }
  virtual std::shared_ptr<ResourceRequestHandler> GetResourceRequestHandler(std::shared_ptr<Browser>,
                                                                            std::shared_ptr<Frame>,
                                                                            std::shared_ptr<Request>,
                                                                            bool /*isNavigation*/) {
    return nullptr;
  }
  // Return true and call the callback (now or later) to answer the challenge.
  virtual bool GetAuthCredentials(std::shared_ptr<Browser>, const std::string& /*originUrl*/, bool /*isProxy*/,
                                  const std::string& /*host*/, int /*port*/, const std::string& /*realm*/,
                                  const std::string& /*scheme*/, std::shared_ptr<AuthCallback>) {
    return false;
  }
  // One call per request that fails its certificate check. Return true and
  // answer the callback to decide; false cancels the request.
  virtual bool OnCertificateError(std::shared_ptr<Browser>, int /*certError*/, const std::string& /*requestUrl*/,
                                  std::shared_ptr<CertificateCallback>) {
    return false;
  }
};

// ---- browser creation --------------------------------------------------

struct BrowserSettings {
  // In a browser context of its own (cookies, storage, cache, credentials,
  // permissions, service workers), thrown away when the browser closes.
  bool ownContext = false;
  bool javascriptEnabled = true;
  bool backgroundColorSet = false;
  uint32_t backgroundColor = 0;  // ARGB
};

// ExtraInfo is declared with App above.

// Best-effort request-context preferences.
class RequestContext {
 public:
  virtual ~RequestContext() = default;
  virtual bool CanSetPreference(const std::string& name) = 0;
  virtual bool SetPreference(const std::string& name, const std::string& value, std::string& error) = 0;
};

struct Settings {
  std::string rootCachePath;  // becomes the browser's user data dir when the app sets none
  std::string logFile;        // the browser's own log goes here
  // Connections the browser may not open at all, whatever the page asks.
  bool blockLoopback = false;
  bool blockPrivateNetworks = false;
  // The user data dir is thrown away after the run, so the browser need not
  // be asked to close it cleanly: its processes are ended at once.
  bool disposableProfile = false;
  LogSeverity logSeverity = LogSeverity::Warning;
  // SIGTERM, SIGINT and SIGHUP end the message loop; off when the process
  // decides itself what a signal means.
  bool handleSignals = true;
  // Arguments whose switches become the browser's (as the process's own
  // arguments do otherwise).
  bool browserArgsGiven = false;
  std::vector<std::string> browserArgs;
};

// ---- engines ------------------------------------------------------------

// The functions below act on the calling thread's current engine: one
// browser process with its connection, tasks and message loop. A thread that
// has made none current uses the process's first engine, so a single run
// never sees more than one.
class Engine;
std::shared_ptr<Engine> NewEngine();
// nullptr: the process's first engine again.
void MakeCurrent(std::shared_ptr<Engine> engine);
// Posts to the current engine's loop; callable later from any thread.
std::function<void(std::function<void()>)> CurrentTaskPoster();
// The browser process still runs and its pipe is open.
bool BrowserAlive();
// Resident memory of the browser's processes (its process group), in bytes.
int64_t BrowserMemoryBytes();
// Closes every browser (and its own context) but keeps the browser process
// for the next; tasks still queued are dropped.
void CloseBrowsers();
// Opens a blank page in a new context of its own, so that its renderer
// starts now; the next browser created with ownContext takes it if it is
// ready by then.
void PrepareSpareBrowser();
// Disposes of the spare page, if any.
void DropSpareBrowser();

// ---- process and loop -------------------------------------------------

// >= 0 in an engine sub-process (its exit code), negative in the browser
// process. The DevTools backend launches its browser as a separate program,
// so this process is never a sub-process; the switches of argv become the
// browser's, as an embedded engine's command line would be.
int ExecuteProcess(int argc, char** argv, std::shared_ptr<App> app);
// Starts the browser and waits for its first DevTools reply. False when the
// browser cannot start, exits before answering, or its user data folder is
// in use by another run.
bool Initialize(const Settings& settings, std::shared_ptr<App> app);
std::shared_ptr<RequestContext> GetGlobalRequestContext();
// Asynchronous: the client's OnAfterCreated receives the browser.
bool CreateBrowser(const BrowserSettings& settings, std::shared_ptr<Client> client, const std::string& url,
                   const ExtraInfo& extraInfo);
// Returns after QuitMessageLoop, when the browser went away, or on SIGTERM,
// SIGINT or SIGHUP.
void RunMessageLoop();
void QuitMessageLoop();
// Closes browsers and makes sure no browser process is left.
void Shutdown();

void PostTask(std::function<void()> task);
void PostDelayedTask(std::function<void()> task, int64_t delayMs);

}  // namespace engine
