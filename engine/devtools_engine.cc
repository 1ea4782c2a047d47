// The engine's free functions over one chromium-headless-shell per run:
// start-up and shut-down, browser creation and the message loop.
//
// Everything runs on the thread that runs the message loop; only PostTask and
// PostDelayedTask may be called from other threads.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>

#include "engine/browser_process.h"
#include "engine/devtools_connection.h"
#include "engine/devtools_util.h"
#include "engine/engine.h"
#include "engine/engine_log.h"
#include "engine/engine_state.h"
#include "engine/net_fence_env.h"
#include "engine/page_session.h"
#include "engine/task_loop.h"

#ifndef HALVERN_BROWSER_PATH
#define HALVERN_BROWSER_PATH "/usr/lib/chromium/chromium-headless-shell"
#endif

extern char** environ;

namespace engine {
namespace {

constexpr const char* kWebRtcPolicyPref = "webrtc.ip_handling_policy";
// WebRTC must not reveal local addresses outside the proxy. The policy is a
// launch switch, and the browser starts in Initialize, before any preference
// call, so it is the engine's default.
constexpr const char* kWebRtcPolicy = "disable_non_proxied_udp";
constexpr auto kFirstReplyDeadline = std::chrono::seconds(30);
constexpr auto kGracefulExit = std::chrono::milliseconds(1000);
constexpr auto kReapDeadline = std::chrono::milliseconds(2000);

}  // namespace

namespace {

using EngineState = Engine;

CommandLine gProcessSwitches;  // from the process's own arguments

EngineState& E() { return CurrentEngine(); }

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

class RequestContextImpl : public RequestContext {
 public:
  bool CanSetPreference(const std::string& name) override { return name == kWebRtcPolicyPref; }
  bool SetPreference(const std::string& name, const std::string& value, std::string& error) override {
    if (name != kWebRtcPolicyPref) {
      error = "unknown preference";
      return false;
    }
    if (value != kWebRtcPolicy) {
      error = std::string("the browser runs with ") + kWebRtcPolicy;
      return false;
    }
    return true;
  }
};

std::shared_ptr<PageSession> BySession(const std::string& sessionId) {
  for (auto& b : E().browsers)
    if (b->sessionId() == sessionId) return b;
  return nullptr;
}

void OnBrowserEvent(const std::string& sessionId, const std::string& method, const Json& params) {
  if (!sessionId.empty()) {
    if (auto b = BySession(sessionId)) b->OnEvent(method, params);
    return;
  }
  if (method != "Target.targetCrashed") return;
  std::string targetId = params.value("targetId", "");
  EngineState& e = E();
  if (!targetId.empty() && targetId == e.spareTargetId) {
    // No job gets a page whose renderer is gone.
    DropSpareBrowser();
    return;
  }
  for (auto& b : E().browsers)
    if (b->targetId() == targetId) b->OnTargetCrashed(params.value("status", "crashed"), params.value("errorCode", 0));
}

// One run per user data folder: a second one would share the profile.
bool LockProfile(const std::string& dir) {
  EngineState& e = E();
  if (dir.empty()) return true;
  e.profileLockFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (e.profileLockFd < 0) return true;  // the browser creates it
  if (flock(e.profileLockFd, LOCK_EX | LOCK_NB) == 0) return true;
  EngineLog("user data folder in use: " + dir);
  CloseFd(e.profileLockFd);
  return false;
}

void StopBrowser() {
  EngineState& e = E();
  if (!e.process.running()) return;
  auto deadline = Clock::now() + (e.disposableProfile ? Clock::duration::zero() : kGracefulExit);
  if (e.connection.CanSend() && !e.disposableProfile) {
    e.connection.Send("Browser.close", Json::object(), "", nullptr);
    e.connection.FlushUntil(deadline);
  }
  // Wait for the browser to exit without reaping it, so that its process
  // group id cannot be reused before the group is killed.
  while (Clock::now() < deadline && !e.process.Exited()) {
    if (e.connection.readFd() >= 0) {
      pollfd p{e.connection.readFd(), POLLIN, 0};
      poll(&p, 1, std::min<int>(10, static_cast<int>(MsUntil(deadline))));
      e.connection.ReadAvailable();
      e.connection.DispatchBuffered([] { return true; });  // drained, not dispatched
    } else {
      usleep(2000);
    }
  }
  if (!e.process.KillAndReap(kReapDeadline)) EngineLog("browser processes still alive after SIGKILL");
}

void Reset() {
  EngineState& e = E();
  e.connection.Close();
  for (auto& b : e.browsers) b->Detach();
  e.browsers.clear();
  e.tasks->Clear();
  CloseFd(e.logFd);
  CloseFd(e.profileLockFd);
  if (e.handleSignals) RestoreSignals();
  e.app.reset();
  e.initialized = false;
  e.disposableProfile = false;
  e.launchTargetId.clear();
}

}  // namespace

void EngineLog(const std::string& msg) {
  if (E().logFd < 0) return;
  std::string line = "[engine] " + msg + "\n";
  (void)!write(E().logFd, line.data(), line.size());
}

int ExecuteProcess(int argc, char** argv, std::shared_ptr<App> /*app*/) {
  gProcessSwitches = CommandLine();
  gProcessSwitches.InitFromArgv(argc, argv);
  return -1;
}

bool Initialize(const Settings& settings, std::shared_ptr<App> app) {
  EngineState& e = E();
  if (e.initialized) return false;
  const char* env = std::getenv("HALVERN_BROWSER");
  std::string executable = env && *env ? env : HALVERN_BROWSER_PATH;
  e.initialized = true;
  e.app = std::move(app);
  e.handleSignals = settings.handleSignals;
  e.disposableProfile = settings.disposableProfile;
  e.logFd = settings.logFile.empty() ? -1
                                     : open(settings.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (access(executable.c_str(), X_OK) != 0) {
    EngineLog("cannot start " + executable + ": " + std::strerror(errno));
    Reset();
    return false;
  }

  CommandLine cl = gProcessSwitches;
  if (settings.browserArgsGiven) {
    std::vector<const char*> argv = {"browser"};
    for (const std::string& s : settings.browserArgs) argv.push_back(s.c_str());
    cl = CommandLine();
    cl.InitFromArgv(static_cast<int>(argv.size()), argv.data());
  }
  cl.SetProgram(executable);
  cl.AppendSwitch("remote-debugging-pipe");
  cl.AppendSwitchWithValue("force-webrtc-ip-handling-policy", kWebRtcPolicy);
  if (settings.logSeverity != LogSeverity::Disable && e.logFd >= 0) {
    cl.AppendSwitchWithValue("enable-logging", "stderr");
    cl.AppendSwitchWithValue("log-level", std::to_string(ChromiumLogLevel(settings.logSeverity)));
  }
  if (!settings.rootCachePath.empty()) cl.AppendSwitchWithValue("user-data-dir", settings.rootCachePath);
  if (e.app) e.app->OnBeforeCommandLineProcessing("", cl);

  if (!LockProfile(cl.GetSwitchValue("user-data-dir"))) {
    Reset();
    return false;
  }
  if (e.handleSignals) InstallSignals();
  std::vector<std::string> argv = {executable};
  for (auto& a : cl.ToArgv()) argv.push_back(a);
  // The browser opens a blank page while it starts, so the page's renderer
  // starts alongside the browser instead of after it; the first browser
  // takes that page.
  argv.push_back("about:blank");
  std::vector<std::string> childEnv = ChildEnvironment(environ, executable);
  // The fence refuses blocked addresses where the browser opens its
  // connections: every channel, and names whatever they resolve to.
  NetFenceKinds fence{settings.blockLoopback, settings.blockPrivateNetworks};
  if (!AddNetFence(childEnv, fence, cl.GetSwitchValue("proxy-server"), NetFenceLibraryPath())) {
    EngineLog("the connection fence library is missing; not starting the browser unfenced");
    Reset();
    return false;
  }
  PipeEnds pipe;
  std::string error;
  if (!e.process.Launch(argv, childEnv, e.logFd, pipe, error)) {
    EngineLog("cannot start " + executable + ": " + error);
    Reset();
    return false;
  }
  EngineLog("started " + executable + " (pid " + std::to_string(e.process.pid()) + ")");
  e.connection.Open(std::move(pipe));
  e.connection.SetEventHandler(OnBrowserEvent);
  // A browser that cannot use its profile, or fails otherwise, exits before
  // it answers.
  int id = e.connection.Send("Browser.getVersion", Json::object(), "", [](const Json&) {});
  if (!id || !e.connection.AwaitReply(id, Clock::now() + kFirstReplyDeadline)) {
    // The pipe closes a moment before the process is gone.
    for (auto until = Clock::now() + kGracefulExit; e.connection.gone() && !e.process.Exited() && Clock::now() < until;)
      usleep(2000);
    EngineLog(e.process.Exited() ? "the browser ended before its first DevTools reply (" + e.process.ExitDescription() + ")"
                                 : "the browser gave no DevTools reply within 30 s");
    StopBrowser();
    Reset();
    return false;
  }
  id = e.connection.Send("Target.getTargets", Json::object(), "", [&e](const Json& m) {
    for (const Json& t : m.value("result", Json::object()).value("targetInfos", Json::array()))
      if (t.value("type", "") == "page" && !t.value("attached", false)) {
        e.launchTargetId = t.value("targetId", "");
        break;
      }
  });
  if (id) e.connection.AwaitReply(id, Clock::now() + kFirstReplyDeadline);
  // Crash reports with status and exit code come from target discovery.
  e.connection.Send("Target.setDiscoverTargets", Json{{"discover", true}}, "", nullptr);
  e.quit = false;
  return true;
}

std::shared_ptr<RequestContext> GetGlobalRequestContext() {
  static std::shared_ptr<RequestContext> context = std::make_shared<RequestContextImpl>();
  return E().initialized ? context : nullptr;
}

bool CreateBrowser(const BrowserSettings& settings, std::shared_ptr<Client> client, const std::string& url,
                   const ExtraInfo& extraInfo) {
  EngineState& e = E();
  if (!e.initialized || !client || e.connection.gone()) return false;
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
  auto browser = std::make_shared<PageSession>(e.connection, id, settings, std::move(client), url, std::move(script));
  e.browsers.push_back(browser);
  std::string launchTarget = std::exchange(e.launchTargetId, std::string());
  if (settings.ownContext) {
    // The page opened at launch belongs to the shared context.
    if (!launchTarget.empty()) e.connection.Send("Target.closeTarget", Json{{"targetId", launchTarget}}, "", nullptr);
    // A round trip first: news of a spare page's crash sent before it (the
    // renderer that the last job's crash took along) is dispatched by then.
    int id = std::exchange(e.spareCheckId, 0);
    if (!e.spareSessionId.empty()) {
      if (!id) id = e.connection.Send("Target.getTargets", Json::object(), "", [](const Json&) {});
      if (id) e.connection.AwaitReply(id, Clock::now() + kReapDeadline);
    }
    launchTarget.clear();
    if (!e.spareSessionId.empty()) {
      browser->SetBrowserContextId(std::exchange(e.spareContextId, std::string()));
      browser->Adopt(std::exchange(e.spareTargetId, std::string()), std::exchange(e.spareSessionId, std::string()),
                     std::exchange(e.spareSetupInFlight, {}));
      return true;
    }
  }
  browser->Start(launchTarget);
  return true;
}

void RunMessageLoop() {
  EngineState& e = E();
  TaskQueue& tasks = *e.tasks;
  Connection& c = e.connection;
  e.quit = false;
  auto quitting = [&e] { return e.quit.load(); };
  while (!e.quit) {
    if (e.initialized && c.gone()) break;
    int64_t timeout = c.HasBufferedMessage() ? 0 : tasks.TimeoutMs();
    pollfd fds[4];
    int n = 0, iWake = -1, iSig = -1, iIn = -1, iOut = -1;
    auto add = [&](int fd, short events, int& index) {
      if (fd < 0) return;
      index = n;
      fds[n++] = {fd, events, 0};
    };
    add(tasks.wakeFd(), POLLIN, iWake);
    if (e.handleSignals) add(SignalFd(), POLLIN, iSig);
    add(c.readFd(), POLLIN, iIn);
    if (c.WantsWrite()) add(c.writeFd(), POLLOUT, iOut);
    int r = poll(fds, n, timeout > INT32_MAX ? INT32_MAX : static_cast<int>(timeout));
    if (r < 0 && errno != EINTR) break;
    if (r > 0) {
      if (iSig >= 0 && fds[iSig].revents) {
        EngineLog("signal " + std::to_string(TakeSignal()) + " received, leaving the message loop");
        break;
      }
      if (iWake >= 0 && fds[iWake].revents) tasks.DrainWake();
      if (iOut >= 0 && fds[iOut].revents) c.Flush();
      if (iIn >= 0 && fds[iIn].revents) c.ReadAvailable();
    }
    c.DispatchBuffered(quitting);
    uint64_t maxSeq = tasks.LastSeq();
    std::function<void()> task;
    while (!e.quit && tasks.PopDue(maxSeq, task)) {
      task();
      task = nullptr;
    }
  }
}

void QuitMessageLoop() {
  E().quit = true;
  E().tasks->Wake();
}

void Shutdown() {
  EngineState& e = E();
  if (!e.initialized) return;
  auto browsers = e.browsers;
  for (auto& b : browsers) {
    b->NotifyClosed();
    if (e.app) e.app->OnBrowserDestroyed(b->GetIdentifier());
  }
  StopBrowser();
  Reset();
}

}  // namespace engine
