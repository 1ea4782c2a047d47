// Engine backend: one chromium-headless-shell per run, driven over the
// DevTools pipe (--remote-debugging-pipe: we write on its fd 3, it answers on
// fd 4, every message one JSON text followed by a NUL byte).
//
// Everything runs on the thread that runs the message loop; only PostTask and
// PostDelayedTask may be called from other threads.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <queue>
#include <set>
#include <unordered_map>

#include "engine/devtools_util.h"
#include "engine/engine.h"

#ifndef HALVERN_BROWSER_PATH
#define HALVERN_BROWSER_PATH "/usr/lib/chromium/chromium-headless-shell"
#endif

extern char** environ;

namespace engine {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kWebRtcPolicyPref = "webrtc.ip_handling_policy";
constexpr size_t kPdfChunkBytes = 2 << 20;
constexpr auto kGracefulExit = std::chrono::milliseconds(1000);
constexpr auto kReapDeadline = std::chrono::milliseconds(2000);

int64_t MsUntil(Clock::time_point t) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return d < 0 ? 0 : d + 1;
}

// ---- tasks ---------------------------------------------------------------

struct Task {
  Clock::time_point due;
  uint64_t seq;
  std::function<void()> fn;
};
struct TaskLater {
  bool operator()(const Task& a, const Task& b) const {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
  }
};

class TaskQueue {
 public:
  TaskQueue() { wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

  void Post(std::function<void()> fn, int64_t delayMs) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto due = Clock::now() + std::chrono::milliseconds(delayMs < 0 ? 0 : delayMs);
      q_.push(Task{due, ++seq_, std::move(fn)});
    }
    Wake();
  }
  void Wake() {
    uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
  }
  void DrainWake() {
    uint64_t v;
    if (wakeFd_ >= 0) (void)!read(wakeFd_, &v, sizeof v);
  }
  int wakeFd() const { return wakeFd_; }
  // Milliseconds until the nearest task, -1 when there is none.
  int64_t TimeoutMs() {
    std::lock_guard<std::mutex> lock(mu_);
    if (q_.empty()) return -1;
    return MsUntil(q_.top().due);
  }
  uint64_t LastSeq() {
    std::lock_guard<std::mutex> lock(mu_);
    return seq_;
  }
  // Pops one task that is due and was posted no later than maxSeq.
  bool PopDue(uint64_t maxSeq, std::function<void()>& out) {
    std::lock_guard<std::mutex> lock(mu_);
    if (q_.empty()) return false;
    const Task& t = q_.top();
    if (t.due > Clock::now() || t.seq > maxSeq) {
      // A later-sequenced task may hide an earlier one with the same due time
      // only when it was posted during this round; leave it for the next.
      return false;
    }
    out = std::move(const_cast<Task&>(t).fn);
    q_.pop();
    return true;
  }
  void Clear() {
    std::priority_queue<Task, std::vector<Task>, TaskLater> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::swap(old, q_);
    }
    // Task destructors run outside the lock: they may post.
  }

 private:
  std::mutex mu_;
  std::priority_queue<Task, std::vector<Task>, TaskLater> q_;
  uint64_t seq_ = 0;
  int wakeFd_ = -1;
};

TaskQueue& Tasks() {
  static TaskQueue* q = new TaskQueue();  // never destroyed: tasks may be posted during exit
  return *q;
}

// ---- signals ----------------------------------------------------------------

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  if (gSignalPipe[1] >= 0) (void)!write(gSignalPipe[1], &b, 1);
  errno = saved;
}

struct SavedSignals {
  bool installed = false;
  struct sigaction term, intr, hup, pipe;
};
SavedSignals gSaved;

void InstallSignals() {
  if (gSaved.installed) return;
  if (gSignalPipe[0] < 0) {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, &gSaved.term);
  sigaction(SIGINT, &sa, &gSaved.intr);
  sigaction(SIGHUP, &sa, &gSaved.hup);
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, &gSaved.pipe);
  gSaved.installed = true;
}

void RestoreSignals() {
  if (!gSaved.installed) return;
  sigaction(SIGTERM, &gSaved.term, nullptr);
  sigaction(SIGINT, &gSaved.intr, nullptr);
  sigaction(SIGHUP, &gSaved.hup, nullptr);
  sigaction(SIGPIPE, &gSaved.pipe, nullptr);
  gSaved.installed = false;
}

// ---- engine state ----------------------------------------------------------

class BrowserImpl;

using ReplyFn = std::function<void(const json& message)>;

struct EngineState {
  bool initialized = false;
  Settings settings;
  std::shared_ptr<App> app;
  CommandLine commandLine;
  std::string executable;
  std::map<std::string, std::string> preferenceSwitches;  // switch -> value

  bool launched = false;
  bool browserGone = false;  // pipe closed or launch failed
  pid_t pid = -1;
  int toFd = -1, fromFd = -1, logFd = -1;
  std::string out;  // bytes not yet written to the browser
  std::string in;   // bytes read, not yet dispatched
  int nextWireId = 1;
  std::unordered_map<int, ReplyFn> pending;

  std::vector<std::shared_ptr<BrowserImpl>> browsers;
  int nextBrowserId = 0;
  std::atomic<bool> quit{false};
  bool inLoop = false;
};

EngineState& E() {
  static EngineState* s = new EngineState();
  return *s;
}

void EngineLog(const std::string& msg) {
  if (E().logFd < 0) return;
  std::string line = "[engine] " + msg + "\n";
  (void)!write(E().logFd, line.data(), line.size());
}

// HALVERN_DEVTOOLS_TRACE=<file> appends every protocol message to that file.
void Trace(const char* dir, const char* data, size_t size) {
  static int fd = [] {
    const char* path = std::getenv("HALVERN_DEVTOOLS_TRACE");
    return path && *path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  }();
  if (fd < 0) return;
  static const auto start = Clock::now();
  std::string line = std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count() / 1000.0) + " " + dir;
  line.append(data, std::min<size_t>(size, 2000));
  line.push_back('\n');
  (void)!write(fd, line.data(), line.size());
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void MarkGone() {
  if (!E().browserGone) EngineLog("browser pipe closed");
  E().browserGone = true;
  CloseFd(E().toFd);
  E().out.clear();
}

void Flush() {
  EngineState& e = E();
  while (!e.out.empty() && e.toFd >= 0) {
    ssize_t n = write(e.toFd, e.out.data(), e.out.size());
    if (n > 0) {
      e.out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else {
      MarkGone();
      return;
    }
  }
}

// Sends one command; returns its wire id, 0 when the browser is gone.
int Send(const std::string& method, const json& params, const std::string& sessionId, ReplyFn reply) {
  EngineState& e = E();
  if (e.toFd < 0) return 0;
  int id = e.nextWireId++;
  json msg = {{"id", id}, {"method", method}, {"params", params.is_null() ? json::object() : params}};
  if (!sessionId.empty()) msg["sessionId"] = sessionId;
  std::string text = msg.dump(-1, ' ', false, json::error_handler_t::replace);
  Trace("> ", text.data(), text.size());
  e.out += text;
  e.out.push_back('\0');
  if (reply) e.pending.emplace(id, std::move(reply));
  Flush();
  return id;
}

// ---- request context --------------------------------------------------------

class RequestContextImpl : public RequestContext {
 public:
  bool CanSetPreference(const std::string& name) override { return name == kWebRtcPolicyPref; }
  bool SetPreference(const std::string& name, const std::string& value, std::string& error) override {
    if (name != kWebRtcPolicyPref) {
      error = "unknown preference";
      return false;
    }
    static const std::set<std::string> kPolicies = {"default", "default_public_and_private_interfaces",
                                                    "default_public_interface_only", "disable_non_proxied_udp"};
    if (!kPolicies.count(value)) {
      error = "invalid value: " + value;
      return false;
    }
    if (E().launched) {
      error = "the browser is already running";
      return false;
    }
    // No DevTools setter exists; the browser switch does the same.
    E().preferenceSwitches["force-webrtc-ip-handling-policy"] = value;
    return true;
  }
};

// ---- browser -------------------------------------------------------------

class RegistrationImpl : public Registration {
 public:
  RegistrationImpl(std::weak_ptr<BrowserImpl> browser, int key) : browser_(std::move(browser)), key_(key) {}
  ~RegistrationImpl() override;

 private:
  std::weak_ptr<BrowserImpl> browser_;
  int key_;
};

class FrameImpl : public Frame {
 public:
  FrameImpl(std::weak_ptr<BrowserImpl> browser, bool main, std::string frameId, std::string url)
      : browser_(std::move(browser)), main_(main), frameId_(std::move(frameId)), url_(std::move(url)) {}
  bool IsMain() const override { return main_; }
  std::string GetURL() const override;
  void LoadURL(const std::string& url) override;
  void ExecuteJavaScript(const std::string& code, const std::string& scriptUrl, int startLine) override;

 private:
  std::weak_ptr<BrowserImpl> browser_;
  bool main_;
  std::string frameId_;
  std::string url_;  // sub-frames only
};

class RequestImpl : public Request {
 public:
  RequestImpl(std::string url, std::string method, HeaderMap headers)
      : url_(std::move(url)), method_(std::move(method)), headers_(std::move(headers)), original_(headers_) {}
  std::string GetURL() const override { return url_; }
  std::string GetMethod() const override { return method_; }
  bool IsReadOnly() const override { return false; }
  HeaderMap GetHeaderMap() const override { return headers_; }
  void SetHeaderMap(const HeaderMap& headers) override { headers_ = headers; }
  bool Changed() const { return headers_ != original_; }

 private:
  std::string url_, method_;
  HeaderMap headers_, original_;
};

class AuthCallbackImpl : public AuthCallback {
 public:
  AuthCallbackImpl(std::string sessionId, std::string requestId)
      : sessionId_(std::move(sessionId)), requestId_(std::move(requestId)) {}
  ~AuthCallbackImpl() override {
    // An unanswered challenge would stall the request.
    if (!answered_) Answer({{"response", "Default"}});
  }
  void Continue(const std::string& username, const std::string& password) override {
    Answer({{"response", "ProvideCredentials"}, {"username", username}, {"password", password}});
  }
  void Cancel() override { Answer({{"response", "CancelAuth"}}); }
  void Default() { Answer({{"response", "Default"}}); }

 private:
  void Answer(const json& response) {
    if (answered_) return;
    answered_ = true;
    Send("Fetch.continueWithAuth", {{"requestId", requestId_}, {"authChallengeResponse", response}}, sessionId_,
         nullptr);
  }
  std::string sessionId_, requestId_;
  bool answered_ = false;
};

class BrowserImpl : public Browser, public std::enable_shared_from_this<BrowserImpl> {
 public:
  BrowserImpl(int id, const BrowserSettings& settings, std::shared_ptr<Client> client, std::string url,
              std::string startupScript)
      : id_(id),
        settings_(settings),
        client_(std::move(client)),
        initialUrl_(std::move(url)),
        startupScript_(std::move(startupScript)) {}

  // Browser.
  int GetIdentifier() const override { return id_; }
  std::shared_ptr<Frame> GetMainFrame() override { return mainFrame_; }
  void StopLoad() override { SendPage("Page.stopLoading", json::object()); }
  int ExecuteDevToolsMethod(int messageId, const std::string& method, const json& params) override;
  std::shared_ptr<Registration> AddDevToolsMessageObserver(std::shared_ptr<DevToolsMessageObserver> observer) override;
  void PrintToPDF(const std::string& path, const PdfPrintSettings& settings,
                  std::shared_ptr<PdfPrintCallback> callback) override;
  void WasResized() override { ApplyViewRect(); }
  void CloseBrowser(bool force) override;

  // Engine side.
  void Start();
  void OnEvent(const std::string& method, const json& params);
  void OnTargetCrashed(const std::string& status, int errorCode);
  void NotifyClosed();
  void Detach() {
    client_.reset();
    observers_.clear();
  }
  void RemoveObserver(int key) { observers_.erase(key); }
  void Navigate(const std::string& url, const std::string& frameId);
  void Evaluate(const std::string& code) {
    SendPage("Runtime.evaluate", {{"expression", code}});
  }
  const std::string& url() const { return url_; }
  const std::string& sessionId() const { return sessionId_; }
  const std::string& targetId() const { return targetId_; }

 private:
  // Configuration commands take effect in the renderer only when answered; a
  // navigation sent before that would commit a document without them (no
  // Page events, no start-up script).
  static bool IsSetupCommand(const std::string& method) {
    auto ends = [&](const char* suffix) {
      size_t n = std::strlen(suffix);
      return method.size() >= n && method.compare(method.size() - n, n, suffix) == 0;
    };
    auto starts = [&](const char* prefix) { return method.rfind(prefix, 0) == 0; };
    return ends(".enable") || ends(".disable") || starts("Emulation.") || starts("Security.") ||
           method == "Page.addScriptToEvaluateOnNewDocument" || method == "Page.setLifecycleEventsEnabled" ||
           method == "Network.emulateNetworkConditions" || starts("Network.set") || method == "Runtime.addBinding";
  }
  int SendPage(const std::string& method, const json& params, ReplyFn reply = nullptr) {
    if (sessionId_.empty()) return 0;
    if (!IsSetupCommand(method)) return Send(method, params, sessionId_, std::move(reply));
    std::weak_ptr<BrowserImpl> weak = weak_from_this();
    auto wire = std::make_shared<int>(0);
    *wire = Send(method, params, sessionId_, [weak, wire, reply = std::move(reply)](const json& m) {
      if (reply) reply(m);
      if (auto self = weak.lock()) self->SetupAnswered(*wire);
    });
    if (*wire) setupInFlight_.insert(*wire);
    return *wire;
  }
  // Runs fn once every configuration command sent so far has been answered.
  void AfterSetup(std::function<void()> fn) {
    if (setupInFlight_.empty() && afterSetup_.empty()) {
      fn();
      return;
    }
    int barrier = setupInFlight_.empty() ? 0 : *setupInFlight_.rbegin();
    afterSetup_.push_back({barrier, std::move(fn)});
  }
  void SetupAnswered(int wire) {
    setupInFlight_.erase(wire);
    while (!afterSetup_.empty() &&
           (setupInFlight_.empty() || *setupInFlight_.begin() > afterSetup_.front().first)) {
      auto fn = std::move(afterSetup_.front().second);
      afterSetup_.pop_front();
      fn();
    }
  }
  std::set<int> setupInFlight_;
  std::deque<std::pair<int, std::function<void()>>> afterSetup_;
  void Attach();
  void SetUpPage();
  void ApplyViewRect();
  void ReportLoadError(const std::string& key, const std::string& errorText, const std::string& url);
  void ReportCrash(TerminationStatus status, int code, const std::string& text);
  void DeliverResult(int clientId, const json& reply);
  void OnRequestPaused(const json& params);
  void OnAuthRequired(const json& params);
  void OnConsoleApiCalled(const json& params);
  std::shared_ptr<Frame> FrameFor(const std::string& frameId, const std::string& url);

  struct PrintJob;
  void PrintRead(std::shared_ptr<PrintJob> job);
  void PrintDone(std::shared_ptr<PrintJob> job, bool ok);

  int id_;
  BrowserSettings settings_;
  std::shared_ptr<Client> client_;
  std::string initialUrl_;
  std::string startupScript_;
  std::shared_ptr<FrameImpl> mainFrame_;
  std::string targetId_, sessionId_;
  std::string url_ = "about:blank";
  bool created_ = false, closed_ = false;

  std::map<int, std::shared_ptr<DevToolsMessageObserver>> observers_;
  int nextObserverKey_ = 1;
  int nextChosenId_ = 1 << 30;

  // Load tracking, main frame only.
  bool reportLoads_ = false;  // set by the first navigation we did not synthesise
  std::string loaderId_;      // committed document
  bool errorPage_ = false;    // the committed document is the browser's error page
  std::string loadEndReportedFor_;
  std::map<std::string, int> statusByLoader_;
  std::map<std::string, std::string> documentRequests_;  // main-frame document request id -> URL
  std::set<std::string> reportedErrors_;
  bool crashReported_ = false;
};

RegistrationImpl::~RegistrationImpl() {
  if (auto b = browser_.lock()) b->RemoveObserver(key_);
}

std::string FrameImpl::GetURL() const {
  if (!main_) return url_;
  auto b = browser_.lock();
  return b ? b->url() : std::string();
}

void FrameImpl::LoadURL(const std::string& url) {
  if (auto b = browser_.lock()) b->Navigate(url, main_ ? std::string() : frameId_);
}

void FrameImpl::ExecuteJavaScript(const std::string& code, const std::string& /*scriptUrl*/, int /*startLine*/) {
  // Sub-frames would need their own execution context; only the main frame is driven.
  if (!main_) return;
  if (auto b = browser_.lock()) b->Evaluate(code);
}

void BrowserImpl::Start() {
  auto self = shared_from_this();
  mainFrame_ = std::make_shared<FrameImpl>(self, true, "", "");
  // Created on about:blank so that everything can be set up before the first
  // real document starts.
  Send("Target.createTarget", {{"url", "about:blank"}}, "", [self](const json& m) {
    if (!m.contains("result")) {
      EngineLog("Target.createTarget failed: " + m.value("error", json::object()).dump());
      return;
    }
    self->targetId_ = m["result"].value("targetId", "");
    self->Attach();
  });
}

void BrowserImpl::Attach() {
  auto self = shared_from_this();
  Send("Target.attachToTarget", {{"targetId", targetId_}, {"flatten", true}}, "", [self](const json& m) {
    if (!m.contains("result")) {
      EngineLog("Target.attachToTarget failed: " + m.value("error", json::object()).dump());
      return;
    }
    self->sessionId_ = m["result"].value("sessionId", "");
    self->SetUpPage();
  });
}

void BrowserImpl::SetUpPage() {
  if (!client_) return;
  // Pipelined: the page session handles commands in order, so none of these
  // waits for the previous reply.
  SendPage("Page.enable", json::object());
  SendPage("Runtime.enable", json::object());
  SendPage("Network.enable", json::object());
  SendPage("Log.enable", json::object());
  SendPage("Inspector.enable", json::object());
  ApplyViewRect();
  if (!settings_.javascriptEnabled) SendPage("Emulation.setScriptExecutionDisabled", {{"value", true}});
  if (settings_.backgroundColorSet) {
    uint32_t c = settings_.backgroundColor;
    json rgba = {{"r", (c >> 16) & 0xFF}, {"g", (c >> 8) & 0xFF}, {"b", c & 0xFF}, {"a", ((c >> 24) & 0xFF) / 255.0}};
    SendPage("Emulation.setDefaultBackgroundColorOverride", {{"color", rgba}});
  }
  if (client_->IgnoreCertificateErrors()) SendPage("Security.setIgnoreCertificateErrors", {{"ignore", true}});
  if (client_->WantsRequestInterception())
    SendPage("Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*"}}})}, {"handleAuthRequests", true}});
  if (!startupScript_.empty())
    SendPage("Page.addScriptToEvaluateOnNewDocument", {{"source", startupScript_}, {"runImmediately", false}});

  created_ = true;
  auto self = shared_from_this();
  client_->OnAfterCreated(self);
  if (!client_ || closed_) return;

  if (initialUrl_.empty() || initialUrl_ == "about:blank") {
    // The target already holds its initial blank document; report it the way
    // a created-on-blank browser would, after the client's own set-up calls.
    PostTask([self] {
      if (!self->client_ || self->closed_ || self->reportLoads_) return;
      auto frame = self->mainFrame_;
      self->client_->OnLoadingStateChange(self, true, false, false);
      if (self->client_) self->client_->OnLoadStart(self, frame);
      if (self->client_) self->client_->OnLoadEnd(self, frame, 0);
      if (self->client_) self->client_->OnLoadingStateChange(self, false, false, false);
    });
  } else {
    Navigate(initialUrl_, "");
  }
}

void BrowserImpl::ApplyViewRect() {
  if (!client_) return;
  auto rh = client_->GetRenderHandler();
  if (!rh) return;
  Rect r = rh->GetViewRect();
  if (r.width <= 0 || r.height <= 0) return;
  SendPage("Emulation.setDeviceMetricsOverride",
           {{"width", r.width}, {"height", r.height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

void BrowserImpl::Navigate(const std::string& url, const std::string& frameId) {
  json params = {{"url", url}};
  if (!frameId.empty()) params["frameId"] = frameId;
  std::weak_ptr<BrowserImpl> weak = shared_from_this();
  bool main = frameId.empty();
  AfterSetup([weak, params, url, main] {
    auto self = weak.lock();
    if (!self) return;
    self->SendPage("Page.navigate", params, [weak, url, main](const json& m) {
    auto self = weak.lock();
    if (!self || !main) return;
    if (m.contains("error")) {
      // The browser refuses URLs it cannot parse before any navigation starts.
      self->ReportLoadError("navigate:" + std::to_string(m.value("id", 0)), "net::ERR_INVALID_URL", url);
      return;
    }
    const json& r = m["result"];
    std::string errorText = r.value("errorText", "");
    if (!errorText.empty()) self->ReportLoadError(r.value("loaderId", ""), errorText, url);
    });
  });
}

void BrowserImpl::ReportLoadError(const std::string& key, const std::string& errorText, const std::string& url) {
  if (!key.empty() && !reportedErrors_.insert(key).second) return;
  if (!client_) return;
  client_->OnLoadError(shared_from_this(), mainFrame_, net_error::FromName(errorText), errorText, url);
}

void BrowserImpl::ReportCrash(TerminationStatus status, int code, const std::string& text) {
  if (crashReported_ || !client_) return;
  crashReported_ = true;
  client_->OnRenderProcessTerminated(shared_from_this(), status, code, text);
}

void BrowserImpl::OnTargetCrashed(const std::string& status, int errorCode) {
  TerminationStatus s = TerminationStatus::ProcessCrashed;
  if (status == "killed") s = TerminationStatus::ProcessWasKilled;
  else if (status == "oom") s = TerminationStatus::ProcessOom;
  else if (status == "abnormal") s = TerminationStatus::AbnormalTermination;
  else if (status == "failed to launch") s = TerminationStatus::LaunchFailed;
  else if (status == "integrity failure") s = TerminationStatus::IntegrityFailure;
  ReportCrash(s, errorCode, status);
}

void BrowserImpl::OnEvent(const std::string& method, const json& params) {
  if (!client_) return;
  auto self = shared_from_this();
  const bool mainFrameEvent = params.value("frameId", "") == targetId_;

  if (!observers_.empty()) {
    std::string text = params.dump(-1, ' ', false, json::error_handler_t::replace);
    std::vector<std::shared_ptr<DevToolsMessageObserver>> copy;
    for (auto& [k, o] : observers_) copy.push_back(o);
    for (auto& o : copy) o->OnDevToolsEvent(self, method, text);
    if (!client_) return;
  }

  if (method == "Page.frameStartedNavigating") {
    if (!mainFrameEvent) return;
    std::string type = params.value("navigationType", "");
    if (type == "sameDocument" || type == "historySameDocument") return;
    reportLoads_ = true;
    client_->OnBeforeBrowse(self, mainFrame_, params.value("url", ""), false, false);
  } else if (method == "Page.frameStartedLoading") {
    if (mainFrameEvent && reportLoads_) client_->OnLoadingStateChange(self, true, false, false);
  } else if (method == "Page.frameNavigated") {
    const json& frame = params.value("frame", json::object());
    if (frame.contains("parentId") || frame.value("id", "") != targetId_) return;
    url_ = frame.value("url", "");
    loaderId_ = frame.value("loaderId", "");
    // A failed navigation commits the browser's error page; the failure itself
    // is reported as a load error.
    errorPage_ = url_.rfind("chrome-error://", 0) == 0;
    crashReported_ = false;
    if (reportLoads_ && !errorPage_) client_->OnLoadStart(self, mainFrame_);
  } else if (method == "Page.navigatedWithinDocument") {
    if (mainFrameEvent) url_ = params.value("url", url_);
  } else if (method == "Page.loadEventFired") {
    if (!reportLoads_ || errorPage_ || loaderId_.empty() || loadEndReportedFor_ == loaderId_) return;
    loadEndReportedFor_ = loaderId_;
    int status = 0;
    if (url_.rfind("http://", 0) == 0 || url_.rfind("https://", 0) == 0) {
      auto it = statusByLoader_.find(loaderId_);
      if (it != statusByLoader_.end()) status = it->second;
    }
    client_->OnLoadEnd(self, mainFrame_, status);
  } else if (method == "Page.frameStoppedLoading") {
    if (mainFrameEvent && reportLoads_) client_->OnLoadingStateChange(self, false, false, false);
  } else if (method == "Network.requestWillBeSent") {
    if (params.value("type", "") == "Document" && mainFrameEvent &&
        params.value("requestId", "") == params.value("loaderId", ""))
      documentRequests_[params.value("requestId", "")] = params["request"].value("url", "");
  } else if (method == "Network.responseReceived") {
    if (params.value("type", "") == "Document" && mainFrameEvent) {
      const json& resp = params.value("response", json::object());
      statusByLoader_[params.value("loaderId", "")] = resp.value("status", 0);
    }
  } else if (method == "Network.loadingFailed") {
    auto it = documentRequests_.find(params.value("requestId", ""));
    if (it == documentRequests_.end()) return;
    std::string url = it->second;
    documentRequests_.erase(it);
    ReportLoadError(params.value("requestId", ""), params.value("errorText", "net::ERR_FAILED"), url);
  } else if (method == "Network.loadingFinished") {
    documentRequests_.erase(params.value("requestId", ""));
  } else if (method == "Inspector.targetCrashed") {
    // Target.targetCrashed carries the status and code and normally follows at
    // once; this is the fallback when it does not.
    std::weak_ptr<BrowserImpl> weak = self;
    PostDelayedTask([weak] {
      if (auto b = weak.lock()) b->ReportCrash(TerminationStatus::ProcessCrashed, 0, "crashed");
    }, 50);
  } else if (method == "Runtime.consoleAPICalled") {
    OnConsoleApiCalled(params);
  } else if (method == "Runtime.exceptionThrown") {
    const json& d = params.value("exceptionDetails", json::object());
    std::string text = d.value("text", "Uncaught");
    if (d.contains("exception")) {
      std::string desc = d["exception"].value("description", "");
      desc = desc.substr(0, desc.find('\n'));
      if (!desc.empty()) text += " " + desc;
    }
    client_->OnConsoleMessage(self, LogSeverity::Error, text, d.value("url", ""), d.value("lineNumber", -1) + 1);
  } else if (method == "Log.entryAdded") {
    const json& entry = params.value("entry", json::object());
    if (entry.value("source", "") == "console-api") return;  // already seen as a console API call
    std::string level = entry.value("level", "info");
    LogSeverity sev = level == "error"     ? LogSeverity::Error
                      : level == "warning" ? LogSeverity::Warning
                      : level == "verbose" ? LogSeverity::Debug
                                           : LogSeverity::Info;
    client_->OnConsoleMessage(self, sev, entry.value("text", ""), entry.value("url", ""),
                              entry.value("lineNumber", -1) + 1);
  } else if (method == "Fetch.requestPaused") {
    OnRequestPaused(params);
  } else if (method == "Fetch.authRequired") {
    OnAuthRequired(params);
  }
}

void BrowserImpl::OnConsoleApiCalled(const json& params) {
  std::string type = params.value("type", "log");
  LogSeverity sev = LogSeverity::Info;
  if (type == "debug") sev = LogSeverity::Debug;
  else if (type == "warning") sev = LogSeverity::Warning;
  else if (type == "error" || type == "assert") sev = LogSeverity::Error;
  std::string message;
  for (const json& arg : params.value("args", json::array())) {
    if (!message.empty()) message += ' ';
    message += RemoteObjectText(arg);
  }
  std::string source;
  int line = 0;
  const json& frames = params.value("stackTrace", json::object()).value("callFrames", json::array());
  if (!frames.empty()) {
    source = frames[0].value("url", "");
    line = frames[0].value("lineNumber", -1) + 1;
  }
  client_->OnConsoleMessage(shared_from_this(), sev, message, source, line);
}

std::shared_ptr<Frame> BrowserImpl::FrameFor(const std::string& frameId, const std::string& url) {
  if (frameId.empty()) return nullptr;
  if (frameId == targetId_) return mainFrame_;
  return std::make_shared<FrameImpl>(shared_from_this(), false, frameId, url);
}

void BrowserImpl::OnRequestPaused(const json& params) {
  const std::string requestId = params.value("requestId", "");
  const json& req = params.value("request", json::object());
  const std::string url = req.value("url", "");
  bool cancel = false;
  std::shared_ptr<RequestImpl> request;
  // Whatever the handlers do, the request is answered exactly once below.
  try {
    Request::HeaderMap headers;
    const json headerObject = req.value("headers", json::object());
    for (auto& [name, value] : headerObject.items())
      headers.emplace(name, value.is_string() ? value.get<std::string>() : value.dump());
    request = std::make_shared<RequestImpl>(url, req.value("method", "GET"), std::move(headers));
    bool isNavigation = params.value("resourceType", "") == "Document";
    auto self = shared_from_this();
    std::string frameId = params.value("frameId", "");
    auto frame = FrameFor(frameId, frameId == targetId_ ? url_ : std::string());
    if (auto handler = client_->GetResourceRequestHandler(self, frame, request, isNavigation))
      cancel = handler->OnBeforeResourceLoad(self, frame, request) == ReturnValue::Cancel;
  } catch (const std::exception& ex) {
    EngineLog(std::string("request handler failed: ") + ex.what());
  }
  if (cancel) {
    SendPage("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "BlockedByClient"}});
    return;
  }
  json cont = {{"requestId", requestId}};
  if (request && request->Changed()) {
    json headers = json::array();
    for (auto& [n, v] : request->GetHeaderMap()) headers.push_back({{"name", n}, {"value", v}});
    cont["headers"] = headers;
  }
  SendPage("Fetch.continueRequest", cont);
}

void BrowserImpl::OnAuthRequired(const json& params) {
  const std::string requestId = params.value("requestId", "");
  const json& ch = params.value("authChallenge", json::object());
  std::string origin = ch.value("origin", "");
  bool isProxy = ch.value("source", "") == "Proxy";
  std::string host;
  int port = 0;
  ParseHostPort(origin, host, port);
  auto callback = std::make_shared<AuthCallbackImpl>(sessionId_, requestId);
  if (!client_->GetAuthCredentials(shared_from_this(), origin, isProxy, host, port, ch.value("realm", ""),
                                   ch.value("scheme", ""), callback))
    callback->Default();  // not handled: the browser's own answer (no credentials)
}

int BrowserImpl::ExecuteDevToolsMethod(int messageId, const std::string& method, const json& params) {
  if (sessionId_.empty() || E().toFd < 0) return 0;
  int clientId = messageId != 0 ? messageId : nextChosenId_++;
  std::weak_ptr<BrowserImpl> weak = shared_from_this();
  int wire = SendPage(method, params.is_null() ? json::object() : params, [weak, clientId](const json& m) {
    if (auto self = weak.lock()) self->DeliverResult(clientId, m);
  });
  return wire ? clientId : 0;
}

void BrowserImpl::DeliverResult(int clientId, const json& reply) {
  bool ok = reply.contains("result");
  std::string text = (ok ? reply["result"] : reply.value("error", json::object()))
                         .dump(-1, ' ', false, json::error_handler_t::replace);
  std::vector<std::shared_ptr<DevToolsMessageObserver>> copy;
  for (auto& [k, o] : observers_) copy.push_back(o);
  auto self = shared_from_this();
  for (auto& o : copy) o->OnDevToolsMethodResult(self, clientId, ok, text);
}

std::shared_ptr<Registration> BrowserImpl::AddDevToolsMessageObserver(std::shared_ptr<DevToolsMessageObserver> o) {
  if (!o) return nullptr;
  int key = nextObserverKey_++;
  observers_[key] = std::move(o);
  return std::make_shared<RegistrationImpl>(weak_from_this(), key);
}

struct BrowserImpl::PrintJob {
  std::string path;
  std::shared_ptr<PdfPrintCallback> callback;
  int fd = -1;
  std::string stream;
  bool done = false;
};

void BrowserImpl::PrintToPDF(const std::string& path, const PdfPrintSettings& s,
                             std::shared_ptr<PdfPrintCallback> callback) {
  auto job = std::make_shared<PrintJob>();
  job->path = path;
  job->callback = std::move(callback);
  job->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::weak_ptr<BrowserImpl> weak = shared_from_this();
  if (job->fd < 0 || sessionId_.empty()) {
    EngineLog("PrintToPDF: cannot write " + path + ": " + std::strerror(errno));
    PostTask([weak, job] {
      if (auto self = weak.lock()) self->PrintDone(job, false);
    });
    return;
  }
  int wire = SendPage("Page.printToPDF", PrintParams(s), [weak, job](const json& m) {
    auto self = weak.lock();
    if (!self) return;
    if (!m.contains("result") || !m["result"].contains("stream")) {
      EngineLog("Page.printToPDF failed: " + m.value("error", json::object()).dump());
      self->PrintDone(job, false);
      return;
    }
    job->stream = m["result"].value("stream", "");
    self->PrintRead(job);
  });
  if (!wire) PrintDone(job, false);
}

void BrowserImpl::PrintRead(std::shared_ptr<PrintJob> job) {
  std::weak_ptr<BrowserImpl> weak = shared_from_this();
  int wire = SendPage("IO.read", {{"handle", job->stream}, {"size", kPdfChunkBytes}}, [weak, job](const json& m) {
    auto self = weak.lock();
    if (!self) return;
    if (!m.contains("result")) {
      self->PrintDone(job, false);
      return;
    }
    const json& r = m["result"];
    std::string data = r.value("data", "");
    std::string bytes;
    bool ok = true;
    if (r.value("base64Encoded", false))
      ok = Base64Decode(data, bytes);
    else
      bytes = std::move(data);
    if (ok) ok = WriteAll(job->fd, bytes);
    if (!ok) {
      EngineLog("PrintToPDF: writing " + job->path + " failed");
      self->PrintDone(job, false);
    } else if (r.value("eof", false)) {
      self->PrintDone(job, true);
    } else {
      self->PrintRead(job);
    }
  });
  if (!wire) PrintDone(job, false);
}

void BrowserImpl::PrintDone(std::shared_ptr<PrintJob> job, bool ok) {
  if (job->done) return;
  job->done = true;
  if (!job->stream.empty()) SendPage("IO.close", {{"handle", job->stream}});
  if (job->fd >= 0) {
    if (close(job->fd) != 0) ok = false;
    job->fd = -1;
  }
  if (job->callback) job->callback->OnPdfPrintFinished(job->path, ok);
}

void BrowserImpl::CloseBrowser(bool /*force*/) {
  if (!targetId_.empty()) Send("Target.closeTarget", {{"targetId", targetId_}}, "", nullptr);
  auto self = shared_from_this();
  PostTask([self] { self->NotifyClosed(); });
}

void BrowserImpl::NotifyClosed() {
  if (closed_) return;
  closed_ = true;
  auto self = shared_from_this();
  if (client_ && created_) client_->OnBeforeClose(self);
  if (E().app) E().app->OnBrowserDestroyed(id_);
}

std::shared_ptr<BrowserImpl> BrowserBySession(const std::string& sessionId) {
  for (auto& b : E().browsers)
    if (b->sessionId() == sessionId) return b;
  return nullptr;
}

std::shared_ptr<BrowserImpl> BrowserByTarget(const std::string& targetId) {
  for (auto& b : E().browsers)
    if (b->targetId() == targetId) return b;
  return nullptr;
}

// ---- the pipe -------------------------------------------------------------

void Dispatch(const char* data, size_t size) {
  Trace("< ", data, size);
  json msg = json::parse(data, data + size, nullptr, false);
  if (msg.is_discarded() || !msg.is_object()) {
    EngineLog("unreadable message from the browser");
    return;
  }
  EngineState& e = E();
  if (msg.contains("id")) {
    int id = msg.value("id", 0);
    auto it = e.pending.find(id);
    if (it == e.pending.end()) return;
    ReplyFn fn = std::move(it->second);
    e.pending.erase(it);
    fn(msg);
    return;
  }
  std::string method = msg.value("method", "");
  const json& params = msg.contains("params") ? msg["params"] : json::object();
  std::string sessionId = msg.value("sessionId", "");
  if (!sessionId.empty()) {
    if (auto b = BrowserBySession(sessionId)) b->OnEvent(method, params);
    return;
  }
  if (method == "Target.targetCrashed") {
    if (auto b = BrowserByTarget(params.value("targetId", "")))
      b->OnTargetCrashed(params.value("status", "crashed"), params.value("errorCode", 0));
  }
}

// Dispatches complete messages until the buffer is used up or the loop is
// asked to quit.
void DispatchBuffered() {
  EngineState& e = E();
  size_t start = 0;
  while (!e.quit) {
    size_t end = e.in.find('\0', start);
    if (end == std::string::npos) break;
    std::string one = e.in.substr(start, end - start);
    start = end + 1;
    Dispatch(one.data(), one.size());
  }
  e.in.erase(0, start);
}

bool HasBufferedMessage() { return E().in.find('\0') != std::string::npos; }

void ReadAvailable() {
  EngineState& e = E();
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(e.fromFd, buf, sizeof buf);
    if (n > 0) {
      e.in.append(buf, static_cast<size_t>(n));
      if (n < static_cast<ssize_t>(sizeof buf)) break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      CloseFd(e.fromFd);
      MarkGone();
      break;
    }
  }
}

// ---- the browser process ----------------------------------------------------

int DupHigh(int fd) {
  if (fd < 0) return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return high;
}

bool Launch() {
  EngineState& e = E();
  e.launched = true;

  std::vector<std::string> args;
  args.push_back(e.executable);
  for (auto& a : e.commandLine.ToArgv()) args.push_back(a);
  for (auto& [name, value] : e.preferenceSwitches) args.push_back("--" + name + "=" + value);
  args.push_back("--remote-debugging-pipe");
  if (e.settings.logSeverity != LogSeverity::Disable && e.logFd >= 0) {
    args.push_back("--enable-logging=stderr");
    args.push_back("--log-level=" + std::to_string(ChromiumLogLevel(e.settings.logSeverity)));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env = ChildEnvironment(environ, e.executable);
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);

  int toBrowser[2], fromBrowser[2], status[2];
  if (pipe2(toBrowser, O_CLOEXEC) != 0) return false;
  if (pipe2(fromBrowser, O_CLOEXEC) != 0) {
    close(toBrowser[0]);
    close(toBrowser[1]);
    return false;
  }
  if (pipe2(status, O_CLOEXEC) != 0) {
    for (int fd : {toBrowser[0], toBrowser[1], fromBrowser[0], fromBrowser[1]}) close(fd);
    return false;
  }
  // The child's ends go above 4 so that placing them on 3 and 4 cannot clobber each other.
  int childIn = DupHigh(toBrowser[0]);
  int childOut = DupHigh(fromBrowser[1]);
  // Likewise for standard error: the log file may well be fd 3 or 4 here.
  int devNull = DupHigh(open("/dev/null", O_RDWR | O_CLOEXEC));
  int errFd = e.logFd >= 0 ? fcntl(e.logFd, F_DUPFD_CLOEXEC, 10) : devNull;

  // Orphaned renderer and GPU processes come back to us, so that Shutdown can
  // reap every one of them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    signal(SIGPIPE, SIG_DFL);
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(childIn, 3);
    dup2(childOut, 4);
    if (devNull >= 0) {
      dup2(devNull, 0);
      dup2(devNull, 1);
    }
    if (errFd >= 0) dup2(errFd, 2);
#ifdef SYS_close_range
    syscall(SYS_close_range, 5U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    execve(argv[0], argv.data(), envp.data());
    int err = errno;
    (void)!write(status[1], &err, sizeof err);
    _exit(127);
  }
  close(childIn);
  close(childOut);
  if (errFd >= 0 && errFd != devNull) close(errFd);
  if (devNull >= 0) close(devNull);
  close(status[1]);
  if (pid < 0) {
    close(status[0]);
    close(toBrowser[1]);
    close(fromBrowser[0]);
    EngineLog(std::string("fork failed: ") + std::strerror(errno));
    return false;
  }
  int err = 0;
  ssize_t n;
  do n = read(status[0], &err, sizeof err);
  while (n < 0 && errno == EINTR);
  close(status[0]);
  if (n > 0) {
    waitpid(pid, nullptr, 0);
    close(toBrowser[1]);
    close(fromBrowser[0]);
    EngineLog("cannot start " + e.executable + ": " + std::strerror(err));
    return false;
  }
  e.pid = pid;
  e.toFd = toBrowser[1];
  e.fromFd = fromBrowser[0];
  fcntl(e.toFd, F_SETFL, fcntl(e.toFd, F_GETFL) | O_NONBLOCK);
  fcntl(e.fromFd, F_SETFL, fcntl(e.fromFd, F_GETFL) | O_NONBLOCK);
  e.browserGone = false;
  EngineLog("started " + e.executable + " (pid " + std::to_string(pid) + ")");
  // Crash reports with status and exit code come from target discovery.
  Send("Target.setDiscoverTargets", {{"discover", true}}, "", nullptr);
  return true;
}

bool GroupAlive(pid_t pgid) {
  DIR* d = opendir("/proc");
  if (!d) return false;
  bool alive = false;
  while (dirent* ent = readdir(d)) {
    char* end;
    long pid = strtol(ent->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    std::string path = std::string("/proc/") + ent->d_name + "/stat";
    FILE* f = fopen(path.c_str(), "re");
    if (!f) continue;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    // Fields after the command name: state ppid pgrp ...
    const char* p = strrchr(buf, ')');
    char state;
    long ppid, pgrp;
    if (p && sscanf(p + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == pgid && state != 'Z' &&
        state != 'X') {
      alive = true;
      break;
    }
  }
  closedir(d);
  return alive;
}

void StopBrowserProcess() {
  EngineState& e = E();
  if (e.pid <= 0) return;
  const pid_t pid = e.pid;
  auto deadline = Clock::now() + kGracefulExit;
  if (e.toFd >= 0) {
    Send("Browser.close", json::object(), "", nullptr);
    while (!e.out.empty() && e.toFd >= 0 && Clock::now() < deadline) {
      pollfd p{e.toFd, POLLOUT, 0};
      poll(&p, 1, static_cast<int>(MsUntil(deadline)));
      Flush();
    }
  }
  // Wait for the browser to exit without reaping it, so that its process
  // group id cannot be reused before the group is killed.
  while (Clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
    if (e.fromFd >= 0) {
      pollfd p{e.fromFd, POLLIN, 0};
      poll(&p, 1, std::min<int>(10, static_cast<int>(MsUntil(deadline))));
      char buf[1 << 16];
      ssize_t n = read(e.fromFd, buf, sizeof buf);
      if (n == 0) CloseFd(e.fromFd);
    } else {
      usleep(2000);
    }
  }
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  auto reapDeadline = Clock::now() + kReapDeadline;
  bool leaderReaped = false;
  for (;;) {
    pid_t r = waitpid(-pid, nullptr, WNOHANG);
    if (r == pid) leaderReaped = true;
    if (r > 0) continue;
    if (r < 0 && errno == EINTR) continue;
    bool noChildren = r < 0 && errno == ECHILD;
    if (noChildren && !GroupAlive(pid)) break;
    if (Clock::now() >= reapDeadline) {
      EngineLog("browser processes still alive after SIGKILL");
      break;
    }
    usleep(2000);
  }
  if (!leaderReaped) waitpid(pid, nullptr, WNOHANG);
  e.pid = -1;
}

}  // namespace

// ---- the interface ----------------------------------------------------------

int ExecuteProcess(int /*argc*/, char** /*argv*/, std::shared_ptr<App> /*app*/) {
  // The browser is a separate program; this process is always the browser process.
  return -1;
}

bool Initialize(const Settings& settings, std::shared_ptr<App> app) {
  EngineState& e = E();
  if (e.initialized) return false;
  const char* env = std::getenv("HALVERN_BROWSER");
  e.executable = env && *env ? env : HALVERN_BROWSER_PATH;
  if (access(e.executable.c_str(), X_OK) != 0) return false;

  e.settings = settings;
  e.app = std::move(app);
  e.commandLine = CommandLine();
  if (e.app) e.app->OnBeforeCommandLineProcessing("", e.commandLine);
  if (!e.commandLine.HasSwitch("user-data-dir") && !settings.rootCachePath.empty())
    e.commandLine.AppendSwitchWithValue("user-data-dir", settings.rootCachePath);
  e.preferenceSwitches.clear();
  e.logFd = settings.logFile.empty()
                ? -1
                : open(settings.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  e.launched = false;
  e.browserGone = false;
  e.quit = false;
  e.in.clear();
  e.out.clear();
  e.pending.clear();
  InstallSignals();
  e.initialized = true;
  return true;
}

std::shared_ptr<RequestContext> GetGlobalRequestContext() {
  static std::shared_ptr<RequestContext> context = std::make_shared<RequestContextImpl>();
  return E().initialized ? context : nullptr;
}

bool CreateBrowser(const BrowserSettings& settings, std::shared_ptr<Client> client, const std::string& url,
                   const ExtraInfo& extraInfo) {
  EngineState& e = E();
  if (!e.initialized || !client) return false;
  if (!e.launched) {
    if (!Launch()) {
      e.browserGone = true;
      return false;
    }
  }
  if (e.browserGone) return false;
  int id = ++e.nextBrowserId;
  std::string script;
  if (e.app) {
    e.app->OnBrowserCreated(id, extraInfo);
    script = e.app->StartupScriptFor(id);
  }
  if (script.empty()) {
    auto it = extraInfo.find("hvnStartupScript");
    if (it != extraInfo.end()) script = it->second;
  }
  auto browser = std::make_shared<BrowserImpl>(id, settings, std::move(client), url, std::move(script));
  e.browsers.push_back(browser);
  browser->Start();
  return true;
}

void RunMessageLoop() {
  EngineState& e = E();
  TaskQueue& tasks = Tasks();
  e.quit = false;
  e.inLoop = true;
  while (!e.quit) {
    if (e.launched && e.browserGone) break;
    int64_t timeout = tasks.TimeoutMs();
    if (HasBufferedMessage()) timeout = 0;
    pollfd fds[4];
    int n = 0;
    int iWake = -1, iSig = -1, iIn = -1, iOut = -1;
    if (tasks.wakeFd() >= 0) {
      iWake = n;
      fds[n++] = {tasks.wakeFd(), POLLIN, 0};
    }
    if (gSignalPipe[0] >= 0) {
      iSig = n;
      fds[n++] = {gSignalPipe[0], POLLIN, 0};
    }
    if (e.fromFd >= 0) {
      iIn = n;
      fds[n++] = {e.fromFd, POLLIN, 0};
    }
    if (e.toFd >= 0 && !e.out.empty()) {
      iOut = n;
      fds[n++] = {e.toFd, POLLOUT, 0};
    }
    int r = poll(fds, n, timeout > INT32_MAX ? INT32_MAX : static_cast<int>(timeout));
    if (r < 0 && errno != EINTR) break;
    if (r > 0) {
      if (iSig >= 0 && fds[iSig].revents) {
        unsigned char sig = 0;
        (void)!read(gSignalPipe[0], &sig, 1);
        EngineLog("signal " + std::to_string(sig) + " received, leaving the message loop");
        break;
      }
      if (iWake >= 0 && fds[iWake].revents) tasks.DrainWake();
      if (iOut >= 0 && fds[iOut].revents) Flush();
      if (iIn >= 0 && fds[iIn].revents) ReadAvailable();
    }
    DispatchBuffered();
    uint64_t maxSeq = tasks.LastSeq();
    std::function<void()> task;
    while (!e.quit && tasks.PopDue(maxSeq, task)) {
      task();
      task = nullptr;
    }
  }
  e.inLoop = false;
}

void QuitMessageLoop() {
  E().quit = true;
  Tasks().Wake();
}

void Shutdown() {
  EngineState& e = E();
  if (!e.initialized) return;
  auto browsers = e.browsers;
  for (auto& b : browsers) b->NotifyClosed();
  StopBrowserProcess();
  CloseFd(e.toFd);
  CloseFd(e.fromFd);
  e.pending.clear();
  for (auto& b : browsers) b->Detach();
  e.browsers.clear();
  e.in.clear();
  e.out.clear();
  Tasks().Clear();
  CloseFd(e.logFd);
  RestoreSignals();
  e.app.reset();
  e.launched = false;
  e.browserGone = false;
  e.initialized = false;
}

void PostTask(std::function<void()> task) { Tasks().Post(std::move(task), 0); }

void PostDelayedTask(std::function<void()> task, int64_t delayMs) { Tasks().Post(std::move(task), delayMs); }

}  // namespace engine
