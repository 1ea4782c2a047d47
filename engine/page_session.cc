#include "engine/page_session.h"

#include <cstring>

#include "engine/devtools_util.h"
#include "engine/engine_log.h"

namespace engine {
namespace {

class RegistrationImpl : public Registration {
 public:
  RegistrationImpl(std::weak_ptr<PageSession> session, int key) : session_(std::move(session)), key_(key) {}
  ~RegistrationImpl() override {
    if (auto s = session_.lock()) s->RemoveObserver(key_);
  }

 private:
  std::weak_ptr<PageSession> session_;
  int key_;
};

class FrameImpl : public Frame {
 public:
  FrameImpl(std::weak_ptr<PageSession> session, bool main, std::string frameId, std::string url)
      : session_(std::move(session)), main_(main), frameId_(std::move(frameId)), url_(std::move(url)) {}
  bool IsMain() const override { return main_; }
  std::string GetURL() const override {
    if (!main_) return url_;
    auto s = session_.lock();
    return s ? s->url() : std::string();
  }
  void LoadURL(const std::string& url) override {
    if (auto s = session_.lock()) s->Navigate(url, main_ ? std::string() : frameId_);
  }
  void ExecuteJavaScript(const std::string& code, const std::string& scriptUrl, int startLine) override {
    // Sub-frames would need their own execution context; only the main frame is driven.
    if (!main_) return;
    if (auto s = session_.lock()) s->ExecuteInMainFrame(code, scriptUrl, startLine);
  }

 private:
  std::weak_ptr<PageSession> session_;
  bool main_;
  std::string frameId_;
  std::string url_;  // sub-frames only
};

// Scripts registered before and after the start-up script, in every
// document; the page's own scripts run after both and see nothing of them.
constexpr const char* kStartupGuardOn =
    "(function(){var t=EventTarget.prototype,add=t.addEventListener,remove=t.removeEventListener;"
    "var h=function(e){e.preventDefault();e.stopImmediatePropagation();};add.call(window,'error',h,true);"
    "Object.defineProperty(window,'__hvnStartupGuardOff',{configurable:true,"
    "value:function(){remove.call(window,'error',h,true);}});})();";
constexpr const char* kStartupGuardOff =
    "(function(){var off=window.__hvnStartupGuardOff;delete window.__hvnStartupGuardOff;if(off)off();})();";

bool IsSetupCommand(const std::string& method) {
  auto ends = [&](const char* suffix) {
    size_t n = std::strlen(suffix);
    return method.size() >= n && method.compare(method.size() - n, n, suffix) == 0;
  };
  auto starts = [&](const char* prefix) { return method.rfind(prefix, 0) == 0; };
  return ends(".enable") || ends(".disable") || starts("Emulation.") || method == "Security.setOverrideCertificateErrors" ||
         method == "Page.addScriptToEvaluateOnNewDocument" || method == "Page.setLifecycleEventsEnabled" ||
         method == "Network.emulateNetworkConditions" || starts("Network.set") || method == "Runtime.addBinding";
}

}  // namespace

PageSession::PageSession(Connection& connection, int id, const BrowserSettings& settings,
                         std::shared_ptr<Client> client, std::string url, std::string startupScript)
    : connection_(connection),
      id_(id),
      settings_(settings),
      client_(std::move(client)),
      initialUrl_(std::move(url)),
      startupScript_(std::move(startupScript)) {}

int PageSession::SendPage(const std::string& method, const Json& params, ReplyFn reply) {
  if (sessionId_.empty()) return 0;
  if (!IsSetupCommand(method)) return connection_.Send(method, params, sessionId_, std::move(reply));
  std::weak_ptr<PageSession> weak = weak_from_this();
  auto wire = std::make_shared<int>(0);
  *wire = connection_.Send(method, params, sessionId_, [weak, wire, reply = std::move(reply)](const Json& m) {
    if (reply) reply(m);
    if (auto self = weak.lock()) self->SetupAnswered(*wire);
  });
  if (*wire) setupInFlight_.insert(*wire);
  return *wire;
}

// Runs fn once every configuration command sent so far has been answered.
void PageSession::AfterSetup(std::function<void()> fn) {
  if (setupInFlight_.empty() && afterSetup_.empty()) {
    fn();
    return;
  }
  int barrier = setupInFlight_.empty() ? 0 : *setupInFlight_.rbegin();
  afterSetup_.push_back({barrier, std::move(fn)});
}

void PageSession::SetupAnswered(int wire) {
  setupInFlight_.erase(wire);
  while (!afterSetup_.empty() && (setupInFlight_.empty() || *setupInFlight_.begin() > afterSetup_.front().first)) {
    auto fn = std::move(afterSetup_.front().second);
    afterSetup_.pop_front();
    fn();
  }
}

// Browser-level commands that create the session: a failure leaves nothing
// to drive, so it is logged and the chain stops.
void PageSession::SendTargetCommand(const std::string& method, const Json& params,
                                    std::function<void(const Json& result)> next) {
  connection_.Send(method, params, "", [method, next = std::move(next)](const Json& m) {
    auto result = m.find("result");
    if (result == m.end()) return EngineLog(method + " failed: " + m.value("error", Json::object()).dump());
    next(*result);
  });
}

void PageSession::Start(const std::string& targetId) {
  auto self = shared_from_this();
  mainFrame_ = std::make_shared<FrameImpl>(self, true, "", "");
  auto attach = [self](const std::string& id) {
    self->targetId_ = id;
    self->SendTargetCommand("Target.attachToTarget", Json{{"targetId", id}, {"flatten", true}},
                            [self](const Json& attached) {
                              self->sessionId_ = attached.value("sessionId", "");
                              self->SetUpPage(false);
                            });
  };
  if (!targetId.empty()) return attach(targetId);
  // Created on about:blank so that everything can be set up before the first
  // real document starts.
  auto create = [self, attach](const std::string& contextId) {
    Json params = {{"url", "about:blank"}};
    if (!contextId.empty()) params["browserContextId"] = contextId;
    self->SendTargetCommand("Target.createTarget", params,
                            [attach](const Json& created) { attach(created.value("targetId", "")); });
  };
  if (!settings_.ownContext) return create("");
  SendTargetCommand("Target.createBrowserContext", Json{{"disposeOnDetach", true}}, [self, create](const Json& made) {
    self->browserContextId_ = made.value("browserContextId", "");
    create(self->browserContextId_);
  });
}

std::set<int> PageSession::SendCommonSetup(Connection& connection, const std::string& sessionId,
                                           std::function<void(int wire)> answered) {
  std::set<int> sent;
  auto send = [&](const std::string& method, const Json& params) {
    auto wire = std::make_shared<int>(0);
    *wire = connection.Send(method, params, sessionId, [wire, answered](const Json&) { answered(*wire); });
    if (*wire) sent.insert(*wire);
  };
  // Pipelined: the session handles commands in order, so none of these waits
  // for the previous reply.
  for (const char* domain : {"Page", "Runtime", "Console", "Network", "Log", "Inspector", "Security"})
    send(std::string(domain) + ".enable", Json::object());
  // Every certificate error is put to the client, one by one.
  send("Security.setOverrideCertificateErrors", Json{{"override", true}});
  return sent;
}

void PageSession::Adopt(const std::string& targetId, const std::string& sessionId, std::set<int> setupInFlight) {
  mainFrame_ = std::make_shared<FrameImpl>(shared_from_this(), true, "", "");
  targetId_ = targetId;
  sessionId_ = sessionId;
  setupInFlight_ = std::move(setupInFlight);
  // Its client hears of it from the loop, as of a page attached there.
  auto self = shared_from_this();
  PostTask([self] { self->SetUpPage(true); });
}

void PageSession::SetUpPage(bool commonSetupSent) {
  if (!client_) return;
  if (!commonSetupSent) {
    std::weak_ptr<PageSession> weak = weak_from_this();
    std::set<int> sent = SendCommonSetup(connection_, sessionId_, [weak](int wire) {
      if (auto self = weak.lock()) self->SetupAnswered(wire);
    });
    setupInFlight_.insert(sent.begin(), sent.end());
  }
  ApplyViewRect();
  if (!settings_.javascriptEnabled) SendPage("Emulation.setScriptExecutionDisabled", Json{{"value", true}});
  if (settings_.backgroundColorSet) {
    uint32_t c = settings_.backgroundColor;
    Json rgba = {{"r", (c >> 16) & 0xFF}, {"g", (c >> 8) & 0xFF}, {"b", c & 0xFF}, {"a", ((c >> 24) & 0xFF) / 255.0}};
    SendPage("Emulation.setDefaultBackgroundColorOverride", Json{{"color", rgba}});
  }
  if (client_->WantsRequestInterception())
    SendPage("Fetch.enable", Json{{"patterns", Json::array({Json{{"urlPattern", "*"}}})}, {"handleAuthRequests", true}});
  if (!startupScript_.empty()) {
    // Evaluated as an embedded engine evaluates it: what its own run throws
    // is dropped (a capturing error listener around that run cancels the
    // report), what its callbacks throw later is the page's.
    std::string source = startupScript_ + "\n//# sourceURL=" + kStartupScriptUrl;
    for (const std::string& s : {std::string(kStartupGuardOn), source, std::string(kStartupGuardOff)})
      SendPage("Page.addScriptToEvaluateOnNewDocument", Json{{"source", s}, {"runImmediately", false}});
  }

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

void PageSession::ApplyViewRect() {
  if (!client_) return;
  auto rh = client_->GetRenderHandler();
  if (!rh) return;
  Rect r = rh->GetViewRect();
  if (r.width <= 0 || r.height <= 0) return;
  SendPage("Emulation.setDeviceMetricsOverride",
           Json{{"width", r.width}, {"height", r.height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

void PageSession::Navigate(const std::string& url, const std::string& frameId) {
  Json params = {{"url", url}};
  if (!frameId.empty()) params["frameId"] = frameId;
  std::weak_ptr<PageSession> weak = shared_from_this();
  bool main = frameId.empty();
  AfterSetup([weak, params, url, main] {
    auto self = weak.lock();
    if (!self) return;
    self->SendPage("Page.navigate", params, [weak, url, main](const Json& m) {
      auto self = weak.lock();
      if (!self || !main) return;
      if (m.contains("error")) {
        // The browser refuses URLs it cannot parse before any navigation starts.
        self->ReportLoadError("navigate:" + std::to_string(m.value("id", 0)), "net::ERR_INVALID_URL", url);
        return;
      }
      const Json& r = m["result"];
      std::string errorText = r.value("errorText", "");
      if (!errorText.empty()) self->ReportLoadError(r.value("loaderId", ""), errorText, url);
    });
  });
}

void PageSession::ExecuteInMainFrame(const std::string& code, const std::string& scriptUrl, int startLine) {
  // Named after the frame, the code's console lines and failures carry that
  // source, as those of any script the frame runs.
  std::string expression = code;
  if (!scriptUrl.empty()) expression += "\n//# sourceURL=" + scriptUrl;
  std::weak_ptr<PageSession> weak = shared_from_this();
  SendPage("Runtime.evaluate", Json{{"expression", expression}}, [weak, scriptUrl, startLine](const Json& m) {
    auto self = weak.lock();
    if (!self || !m.contains("result")) return;
    const Json& r = m["result"];
    auto details = r.find("exceptionDetails");
    if (details == r.end()) return;
    self->ReportUncaught(*details, scriptUrl, details->value("lineNumber", 0) + 1 + startLine);
  });
}

void PageSession::ReportLoadError(const std::string& key, const std::string& text, const std::string& url) {
  if (!key.empty() && !reportedErrors_.insert(key).second) return;
  if (!client_) return;
  auto refused = certificateErrors_.find(url);
  std::string errorText = refused != certificateErrors_.end() && net_error::FromName(text) == net_error::kAborted
                              ? refused->second
                              : text;
  client_->OnLoadError(shared_from_this(), mainFrame_, net_error::FromName(errorText), NetErrorShortName(errorText),
                       url);
}

void PageSession::ReportCrash(TerminationStatus status, int code, const std::string& text) {
  if (crashReported_ || !client_) return;
  crashReported_ = true;
  client_->OnRenderProcessTerminated(shared_from_this(), status, code, text);
}

void PageSession::OnTargetCrashed(const std::string& status, int errorCode) {
  static const std::map<std::string, TerminationStatus> kStatus = {
      {"killed", TerminationStatus::ProcessWasKilled},   {"oom", TerminationStatus::ProcessOom},
      {"abnormal", TerminationStatus::AbnormalTermination}, {"failed to launch", TerminationStatus::LaunchFailed},
      {"integrity failure", TerminationStatus::IntegrityFailure}};
  auto it = kStatus.find(status);
  ReportCrash(it != kStatus.end() ? it->second : TerminationStatus::ProcessCrashed, errorCode, status);
}

void PageSession::OnEvent(const std::string& method, const Json& params) {
  if (!client_) return;
  const auto& table = EventTable();
  auto it = table.find(method);
  if (it != table.end()) (this->*(it->second))(params);
}

std::shared_ptr<Frame> PageSession::FrameFor(const std::string& frameId, const std::string& url) {
  if (frameId.empty()) return nullptr;
  if (frameId == targetId_) return mainFrame_;
  return std::make_shared<FrameImpl>(shared_from_this(), false, frameId, url);
}

int PageSession::ExecuteDevToolsMethod(int messageId, const std::string& method, const Json& params) {
  if (sessionId_.empty() || !connection_.CanSend()) return 0;
  int clientId = messageId != 0 ? messageId : nextChosenId_++;
  std::weak_ptr<PageSession> weak = shared_from_this();
  int wire = SendPage(method, params, [weak, clientId](const Json& m) {
    if (auto self = weak.lock()) self->DeliverResult(clientId, m);
  });
  return wire ? clientId : 0;
}

void PageSession::DeliverResult(int clientId, const Json& reply) {
  static const Json kEmpty = Json::object();
  auto result = reply.find("result");
  bool ok = result != reply.end();
  auto error = reply.find("error");
  const Json& value = ok ? *result : error != reply.end() ? *error : kEmpty;
  std::vector<std::shared_ptr<DevToolsMessageObserver>> copy;
  for (auto& [k, o] : observers_) copy.push_back(o);
  auto self = shared_from_this();
  for (auto& o : copy) o->OnDevToolsMethodResult(self, clientId, ok, value);
}

std::shared_ptr<Registration> PageSession::AddDevToolsMessageObserver(std::shared_ptr<DevToolsMessageObserver> o) {
  if (!o) return nullptr;
  int key = nextObserverKey_++;
  observers_[key] = std::move(o);
  return std::make_shared<RegistrationImpl>(weak_from_this(), key);
}

void PageSession::NotifyClosed() {
  if (closed_) return;
  closed_ = true;
  if (client_ && created_) client_->OnBeforeClose(shared_from_this());
}

}  // namespace engine
