// The DevTools backend against the installed browser.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/run_log.h"
#include "engine/engine.h"
#include "engine/pdf_app.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// ---- test client ----------------------------------------------------------

class Observer : public engine::DevToolsMessageObserver {
 public:
  std::map<int, std::pair<bool, std::string>> results;
  void OnDevToolsMethodResult(std::shared_ptr<engine::Browser>, int id, bool ok, const std::string& r) override {
    results[id] = {ok, r};
  }
};

class ViewRect : public engine::RenderHandler {
 public:
  engine::Rect GetViewRect() override { return {0, 0, 800, 600}; }
};

class HeaderHandler : public engine::ResourceRequestHandler {
 public:
  engine::ReturnValue OnBeforeResourceLoad(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>,
                                           std::shared_ptr<engine::Request> request) override {
    if (request->GetURL().find("blocked") != std::string::npos) return engine::ReturnValue::Cancel;
    auto headers = request->GetHeaderMap();
    headers.emplace("X-Halvern-Test", "yes");
    request->SetHeaderMap(headers);
    return engine::ReturnValue::Continue;
  }
};


class TestClient : public engine::Client {
 public:
  std::vector<std::string> events;
  std::vector<std::tuple<engine::LogSeverity, std::string, std::string, int>> console;
  std::shared_ptr<engine::Browser> browser;
  std::shared_ptr<Observer> observer = std::make_shared<Observer>();
  std::shared_ptr<engine::Registration> registration;
  int loadEnds = 0, stops = 0;
  bool crashed = false, closed = false;
  Clock::time_point firstLoadEnd{};
  // Interception.
  bool intercept = false;
  std::vector<std::string> intercepted;
  std::vector<std::string> authHosts;

  std::shared_ptr<engine::RenderHandler> GetRenderHandler() override { return view_; }
  void OnAfterCreated(std::shared_ptr<engine::Browser> b) override {
    browser = b;
    registration = b->AddDevToolsMessageObserver(observer);
    events.push_back("created");
  }
  void OnBeforeClose(std::shared_ptr<engine::Browser>) override {
    closed = true;
    events.push_back("close");
  }
  bool OnBeforeBrowse(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame> f, const std::string& url,
                      bool, bool isRedirect) override {
    EXPECT_TRUE(f && f->IsMain());
    events.push_back("browse " + url + (isRedirect ? " redirect" : ""));
    return false;
  }
  void OnLoadStart(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame> f) override {
    events.push_back("start " + f->GetURL());
  }
  void OnLoadEnd(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame> f, int status) override {
    if (!loadEnds++) firstLoadEnd = Clock::now();
    events.push_back("end " + std::to_string(status) + " " + f->GetURL());
  }
  void OnLoadingStateChange(std::shared_ptr<engine::Browser>, bool loading, bool, bool) override {
    if (!loading) {
      ++stops;
      events.push_back("stopped");
    }
  }
  void OnLoadError(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>, int code,
                   const std::string& text, const std::string& url) override {
    events.push_back("error " + std::to_string(code) + " " + text + " " + url);
  }
  void OnRenderProcessTerminated(std::shared_ptr<engine::Browser>, engine::TerminationStatus status, int,
                                 const std::string&) override {
    crashed = true;
    events.push_back("crash " + std::to_string(static_cast<int>(status)));
  }
  bool OnConsoleMessage(std::shared_ptr<engine::Browser>, engine::LogSeverity level, const std::string& message,
                        const std::string& source, int line) override {
    console.emplace_back(level, message, source, line);
    return false;
  }
  bool WantsRequestInterception() override { return intercept; }
  std::shared_ptr<engine::ResourceRequestHandler> GetResourceRequestHandler(std::shared_ptr<engine::Browser>,
                                                                            std::shared_ptr<engine::Frame>,
                                                                            std::shared_ptr<engine::Request> r,
                                                                            bool) override {
    intercepted.push_back(r->GetURL());
    return handler_;
  }
  bool GetAuthCredentials(std::shared_ptr<engine::Browser>, const std::string&, bool, const std::string& host, int,
                          const std::string&, const std::string&, std::shared_ptr<engine::AuthCallback> cb) override {
    authHosts.push_back(host);
    cb->Continue("user", "pass");
    return true;
  }

  std::vector<std::string> LoadEvents() const {
    std::vector<std::string> out;
    for (auto& e : events)
      if (e.rfind("start ", 0) == 0 || e.rfind("end ", 0) == 0 || e == "stopped" || e.rfind("browse ", 0) == 0 ||
          e.rfind("error ", 0) == 0)
        out.push_back(e);
    return out;
  }

 private:
  std::shared_ptr<engine::RenderHandler> view_ = std::make_shared<ViewRect>();
  std::shared_ptr<engine::ResourceRequestHandler> handler_ = std::make_shared<HeaderHandler>();
};

// Runs the loop until cond holds or the time is up; the loop may also end by
// itself (browser gone).
bool RunUntil(const std::function<bool()>& cond, int timeoutMs = 20000) {
  if (cond()) return true;
  auto active = std::make_shared<bool>(true);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto tick = std::make_shared<std::function<void()>>();
  std::weak_ptr<std::function<void()>> weakTick = tick;
  *tick = [active, deadline, cond, weakTick] {
    if (!*active) return;
    if (cond() || Clock::now() > deadline) {
      engine::QuitMessageLoop();
      return;
    }
    if (auto t = weakTick.lock()) engine::PostDelayedTask(*t, 2);
  };
  engine::PostTask(*tick);
  engine::RunMessageLoop();
  *active = false;
  return cond();
}

// ---- processes --------------------------------------------------------------

struct ProcInfo {
  pid_t pid, ppid, pgrp;
  char state;
};

std::vector<ProcInfo> Processes() {
  std::vector<ProcInfo> out;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    char* end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    size_t p = s.rfind(')');
    if (p == std::string::npos) continue;
    ProcInfo info{static_cast<pid_t>(pid), 0, 0, 0};
    long ppid, pgrp;
    if (sscanf(s.c_str() + p + 1, " %c %ld %ld", &info.state, &ppid, &pgrp) != 3) continue;
    info.ppid = static_cast<pid_t>(ppid);
    info.pgrp = static_cast<pid_t>(pgrp);
    out.push_back(info);
  }
  closedir(d);
  return out;
}

std::string Cmdline(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string s((std::istreambuf_iterator<char>(in)), {});
  for (char& c : s)
    if (c == '\0') c = ' ';
  return s;
}

pid_t BrowserPid() {
  for (auto& p : Processes())
    if (p.ppid == getpid() && Cmdline(p.pid).find("--remote-debugging-pipe") != std::string::npos) return p.pid;
  return -1;
}

int GroupSize(pid_t pgrp) {
  int n = 0;
  for (auto& p : Processes())
    if (p.pgrp == pgrp && p.state != 'Z') ++n;
  return n;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// python3 serve.py <dir>, started and stopped by the test.
class HttpServer {
 public:
  explicit HttpServer(const std::string& root) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
      dup2(fds[1], 1);
      close(fds[0]);
      execlp("python3", "python3", HVN_TEST_SERVE_PY, root.c_str(), nullptr);
      _exit(127);
    }
    close(fds[1]);
    FILE* f = fdopen(fds[0], "r");
    if (fscanf(f, "%d", &port_) != 1) port_ = 0;
    fclose(f);
  }
  ~HttpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// ---- fixture ----------------------------------------------------------------

class DevToolsEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/hvn_engine_test_XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ + "/www");
    fs::create_directories(dir_ + "/cache");
    Write("www/page.html",
          "<html><head><title>first</title><script>document.title = 'T:' + String(window.__hvnEarly);"
          "console.log('hello', 42);</script></head><body><p>Hello</p>"
          "<script>\nconsole.warn('careful');\nconsole.error('bad');</script></body></html>");
    Write("www/child.html", "<html><body>child</body></html>");
    Write("www/frames.html",
          "<html><body><iframe src='child.html'></iframe><script>window.onload = function () {"
          "document.title = String(frames[0].__hvnEarly); };</script></body></html>");
    Write("www/moves.html",
          "<html><body>moves<script>window.addEventListener('load', function () {"
          "setTimeout(function () { location.href = 'child.html'; }, 30); });</script></body></html>");
    app_ = std::make_shared<PdfApp>();
    app_->userDataDir = dir_ + "/cache";
    settings_.logFile = dir_ + "/cef.log";
    settings_.rootCachePath = dir_ + "/cache";
  }
  void TearDown() override {
    engine::Shutdown();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const std::string& rel, const std::string& text) { std::ofstream(dir_ + "/" + rel) << text; }
  std::string FileUrl(const std::string& rel) const { return "file://" + dir_ + "/www/" + rel; }

  std::shared_ptr<TestClient> Start(const std::string& url, const engine::ExtraInfo& extra = {},
                                    engine::BrowserSettings bs = {}, bool intercept = false) {
    start_ = Clock::now();
    EXPECT_TRUE(engine::Initialize(settings_, app_));
    auto client = std::make_shared<TestClient>();
    client->intercept = intercept;
    EXPECT_TRUE(engine::CreateBrowser(bs, client, url, extra));
    return client;
  }

  json Evaluate(TestClient& c, const std::string& expression) {
    int id = c.browser->ExecuteDevToolsMethod(
        0, "Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    EXPECT_NE(id, 0);
    EXPECT_TRUE(RunUntil([&] { return c.observer->results.count(id) > 0; }));
    auto& [ok, text] = c.observer->results[id];
    EXPECT_TRUE(ok) << text;
    json r = json::parse(text, nullptr, false);
    return r.is_object() && r.contains("result") ? r["result"].value("value", json()) : json();
  }

  std::string dir_;
  std::shared_ptr<PdfApp> app_;
  engine::Settings settings_;
  Clock::time_point start_;
};

TEST_F(DevToolsEngine, PreloadReportsBlankThenLoadsFileAndDataUrlAndPrints) {
  auto c = Start("about:blank");
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  EXPECT_EQ(c->events, (std::vector<std::string>{"created", "start about:blank", "end 0 about:blank", "stopped"}));
  double blankMs = MsSince(start_);

  // The client's own start-up script registration, as preload mode does it.
  c->browser->ExecuteDevToolsMethod(0, "Page.enable", json::object());
  c->browser->ExecuteDevToolsMethod(0, "Page.addScriptToEvaluateOnNewDocument",
                                    {{"source", "window.__hvnEarly = 'preload';"}});
  c->events.clear();
  std::string url = FileUrl("page.html");
  c->browser->GetMainFrame()->LoadURL(url);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 2; }));
  EXPECT_EQ(c->LoadEvents(), (std::vector<std::string>{"browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:preload");
  EXPECT_EQ(c->browser->GetMainFrame()->GetURL(), url);

  // Console: level, message, source and 1-based line.
  ASSERT_GE(c->console.size(), 3u);
  EXPECT_EQ(std::get<0>(c->console[0]), engine::LogSeverity::Info);
  EXPECT_EQ(std::get<1>(c->console[0]), "hello 42");
  EXPECT_EQ(std::get<2>(c->console[0]), url);
  EXPECT_EQ(std::get<3>(c->console[0]), 1);
  EXPECT_EQ(std::get<0>(c->console[1]), engine::LogSeverity::Warning);
  EXPECT_EQ(std::get<3>(c->console[1]), 2);
  EXPECT_EQ(std::get<0>(c->console[2]), engine::LogSeverity::Error);
  EXPECT_EQ(std::get<1>(c->console[2]), "bad");

  c->events.clear();
  std::string data = "data:text/html,<title>data</title><p>from data</p>";
  c->browser->GetMainFrame()->LoadURL(data);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 3; }));
  EXPECT_EQ(c->LoadEvents(), (std::vector<std::string>{"browse " + data, "start " + data, "end 0 " + data, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "data");

  struct Done : engine::PdfPrintCallback {
    bool finished = false, ok = false;
    void OnPdfPrintFinished(const std::string&, bool success) override {
      finished = true;
      ok = success;
    }
  };
  auto done = std::make_shared<Done>();
  engine::PdfPrintSettings ps;
  ps.paperWidth = 8.27;
  ps.paperHeight = 11.69;
  std::string pdf = dir_ + "/out.pdf";
  auto printStart = Clock::now();
  c->browser->PrintToPDF(pdf, ps, done);
  ASSERT_TRUE(RunUntil([&] { return done->finished; }));
  double printMs = MsSince(printStart);
  EXPECT_TRUE(done->ok);
  std::ifstream in(pdf, std::ios::binary);
  std::string head(5, '\0');
  in.read(head.data(), 5);
  EXPECT_EQ(head, "%PDF-");
  EXPECT_EQ(system(("pdfinfo '" + pdf + "' >/dev/null 2>&1").c_str()), 0);

  // Unwritable target: reported as a failure, not a crash.
  auto bad = std::make_shared<Done>();
  c->browser->PrintToPDF(dir_ + "/no/such/dir/out.pdf", ps, bad);
  ASSERT_TRUE(RunUntil([&] { return bad->finished; }));
  EXPECT_FALSE(bad->ok);

  std::printf("[timing] Initialize -> about:blank loaded: %.1f ms; print of a small page: %.1f ms\n", blankMs,
              printMs);
  engine::Shutdown();
  EXPECT_TRUE(c->closed);
}

TEST_F(DevToolsEngine, DirectModeRunsTheStartupScriptFirstAndReportsNoBlank) {
  std::string url = FileUrl("page.html");
  auto c = Start(url, {{"hvnStartupScript", "window.__hvnEarly = 'direct';"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  double loadMs = std::chrono::duration<double, std::milli>(c->firstLoadEnd - start_).count();
  EXPECT_EQ(c->events,
            (std::vector<std::string>{"created", "browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:direct");
  EXPECT_EQ(app_->StartupScriptFor(c->browser->GetIdentifier()), "window.__hvnEarly = 'direct';");

  struct Done : engine::PdfPrintCallback {
    bool finished = false, ok = false;
    Clock::time_point at;
    void OnPdfPrintFinished(const std::string&, bool success) override {
      finished = true;
      ok = success;
      at = Clock::now();
    }
  };
  auto done = std::make_shared<Done>();
  c->browser->PrintToPDF(dir_ + "/direct.pdf", engine::PdfPrintSettings{}, done);
  ASSERT_TRUE(RunUntil([&] { return done->finished; }));
  EXPECT_TRUE(done->ok);
  std::printf("[timing] Initialize -> first OnLoadEnd: %.1f ms; Initialize -> PDF written: %.1f ms\n", loadMs,
              std::chrono::duration<double, std::milli>(done->at - start_).count());
}

TEST_F(DevToolsEngine, HttpStatusFramesAndPageInitiatedNavigation) {
  HttpServer server(dir_ + "/www");
  ASSERT_GT(server.port(), 0);
  std::string frames = server.Url("/frames.html");
  auto c = Start(frames, {{"hvnStartupScript", "window.__hvnEarly = 'everywhere';"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  EXPECT_EQ(c->LoadEvents(),
            (std::vector<std::string>{"browse " + frames, "start " + frames, "end 200 " + frames, "stopped"}));
  // The start-up script reached the child frame's document too.
  EXPECT_EQ(Evaluate(*c, "document.title"), "everywhere");

  c->events.clear();
  std::string missing = server.Url("/status/404");
  c->browser->GetMainFrame()->LoadURL(missing);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 2; }));
  EXPECT_EQ(c->LoadEvents(),
            (std::vector<std::string>{"browse " + missing, "start " + missing, "end 404 " + missing, "stopped"}));

  // A page that moves itself after its load: the second navigation is reported
  // before it commits.
  c->events.clear();
  std::string moves = server.Url("/moves.html"), child = server.Url("/child.html");
  c->browser->GetMainFrame()->LoadURL(moves);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 4; }));
  EXPECT_EQ(c->LoadEvents(),
            (std::vector<std::string>{"browse " + moves, "start " + moves, "end 200 " + moves, "stopped",
                                      "browse " + child, "start " + child, "end 200 " + child, "stopped"}));
}

TEST_F(DevToolsEngine, RefusedConnectionIsOneLoadError) {
  std::string url = "http://127.0.0.1:" + std::to_string(FreePort()) + "/";
  auto c = Start(url, {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  RunUntil([] { return false; }, 200);  // late duplicates would show up here
  EXPECT_EQ(c->LoadEvents(),
            (std::vector<std::string>{"browse " + url, "error -102 net::ERR_CONNECTION_REFUSED " + url, "stopped"}));
}

TEST_F(DevToolsEngine, RendererCrashIsReported) {
  auto c = Start(FileUrl("child.html"), {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  c->browser->ExecuteDevToolsMethod(0, "Page.crash", json::object());
  ASSERT_TRUE(RunUntil([&] { return c->crashed; }));
  RunUntil([] { return false; }, 150);
  EXPECT_EQ(std::count(c->events.begin(), c->events.end(), "crash 2"), 1);
}

TEST_F(DevToolsEngine, KilledBrowserEndsTheLoopAndShutdownLeavesNoProcess) {
  auto c = Start(FileUrl("child.html"), {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  pid_t pid = BrowserPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(getpgid(pid), pid);  // its own process group
  EXPECT_GE(GroupSize(pid), 2);  // the renderer lives in it too
  kill(pid, SIGKILL);
  auto t = Clock::now();
  engine::RunMessageLoop();  // no quit: returns because the pipe closed
  EXPECT_LT(MsSince(t), 3000);
  engine::Shutdown();
  EXPECT_EQ(GroupSize(pid), 0);
}

TEST_F(DevToolsEngine, ShutdownAfterSuccessLeavesNoProcess) {
  auto c = Start(FileUrl("page.html"), {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  pid_t pid = BrowserPid();
  ASSERT_GT(pid, 0);
  EXPECT_GE(GroupSize(pid), 2);
  auto t = Clock::now();
  engine::Shutdown();
  std::printf("[timing] Shutdown: %.1f ms\n", MsSince(t));
  EXPECT_TRUE(c->closed);
  EXPECT_EQ(c->events.back(), "close");
  EXPECT_EQ(GroupSize(pid), 0);
  EXPECT_EQ(BrowserPid(), -1);
}

TEST_F(DevToolsEngine, SigtermEndsTheLoop) {
  auto c = Start(FileUrl("child.html"), {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  pid_t pid = BrowserPid();
  engine::PostTask([] { kill(getpid(), SIGTERM); });
  auto t = Clock::now();
  engine::RunMessageLoop();
  EXPECT_LT(MsSince(t), 1000);
  engine::Shutdown();
  EXPECT_EQ(GroupSize(pid), 0);
}

TEST_F(DevToolsEngine, TasksRunInOrderFromAnyThread) {
  ASSERT_TRUE(engine::Initialize(settings_, app_));
  std::vector<int> order;
  engine::PostDelayedTask([&] { order.push_back(3); }, 30);
  engine::PostTask([&] { order.push_back(1); });
  std::thread other([&] { engine::PostDelayedTask([&] { order.push_back(2); }, 10); });
  other.join();
  engine::PostDelayedTask([&] { order.push_back(4); engine::QuitMessageLoop(); }, 40);
  engine::PostDelayedTask([&] { order.push_back(5); }, 40);  // after the quit: stays queued
  engine::RunMessageLoop();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(DevToolsEngine, JavaScriptDisabledAndWebRtcPreferenceSwitch) {
  auto ctx = engine::GetGlobalRequestContext();
  ASSERT_FALSE(ctx);  // not before Initialize
  ASSERT_TRUE(engine::Initialize(settings_, app_));
  ctx = engine::GetGlobalRequestContext();
  ASSERT_TRUE(ctx);
  EXPECT_TRUE(ctx->CanSetPreference("webrtc.ip_handling_policy"));
  EXPECT_FALSE(ctx->CanSetPreference("something.else"));
  std::string error;
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "bogus", error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(ctx->SetPreference("webrtc.ip_handling_policy", "disable_non_proxied_udp", error));

  engine::BrowserSettings bs;
  bs.javascriptEnabled = false;
  auto c = std::make_shared<TestClient>();
  std::string url = FileUrl("page.html");
  ASSERT_TRUE(engine::CreateBrowser(bs, c, url, {{"hvnStartupScript", "1;"}}));
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  EXPECT_EQ(Evaluate(*c, "document.title"), "first");  // the page's script did not run
  EXPECT_NE(Cmdline(BrowserPid()).find("--force-webrtc-ip-handling-policy=disable_non_proxied_udp"),
            std::string::npos);
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "default", error));  // too late now
}

TEST_F(DevToolsEngine, InterceptionAddsHeadersBlocksAndAnswersAuth) {
  HttpServer server(dir_ + "/www");
  ASSERT_GT(server.port(), 0);
  std::string echo = server.Url("/echo");
  auto c = Start(echo, {{"hvnStartupScript", "1;"}}, {}, true);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  json headers = json::parse(Evaluate(*c, "document.getElementById('h').textContent").get<std::string>());
  EXPECT_EQ(headers.value("x-halvern-test", ""), "yes");

  // Blocked main document.
  c->events.clear();
  std::string blocked = server.Url("/blocked.html");
  c->browser->GetMainFrame()->LoadURL(blocked);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 2; }));
  EXPECT_EQ(c->LoadEvents(),
            (std::vector<std::string>{"browse " + blocked, "error -20 net::ERR_BLOCKED_BY_CLIENT " + blocked,
                                      "stopped"}));

  // Basic authentication answered by the client.
  c->events.clear();
  std::string auth = server.Url("/auth");
  c->browser->GetMainFrame()->LoadURL(auth);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 3; }));
  EXPECT_EQ(c->LoadEvents(), (std::vector<std::string>{"browse " + auth, "start " + auth, "end 200 " + auth,
                                                       "stopped"}));
  EXPECT_EQ(c->authHosts, std::vector<std::string>{"127.0.0.1"});

  // file:// requests pass through interception as well.
  std::string file = FileUrl("child.html");
  c->browser->GetMainFrame()->LoadURL(file);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 4; }));
  EXPECT_NE(std::find(c->intercepted.begin(), c->intercepted.end(), file), c->intercepted.end());
}

}  // namespace

namespace {

TEST_F(DevToolsEngine, MissingBrowserFailsInitialize) {
  setenv("HALVERN_BROWSER", (dir_ + "/no-such-browser").c_str(), 1);
  EXPECT_FALSE(engine::Initialize(settings_, app_));
  unsetenv("HALVERN_BROWSER");
  EXPECT_FALSE(engine::CreateBrowser({}, std::make_shared<TestClient>(), "about:blank", {}));
}

TEST_F(DevToolsEngine, DevToolsRepliesErrorsScriptsAndUnregistering) {
  auto c = Start(FileUrl("child.html"), {{"hvnStartupScript", "1;"}});
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));

  // Caller-chosen ids come back as given; failures carry the error object.
  EXPECT_EQ(c->browser->ExecuteDevToolsMethod(100, "No.suchMethod", json::object()), 100);
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(100) > 0; }));
  EXPECT_FALSE(c->observer->results[100].first);
  EXPECT_TRUE(json::parse(c->observer->results[100].second).contains("code"));

  c->browser->GetMainFrame()->ExecuteJavaScript("document.title = 'from js'", "", 0);
  EXPECT_EQ(Evaluate(*c, "document.title"), "from js");

  // A dropped registration no longer hears replies.
  auto second = std::make_shared<Observer>();
  auto reg = c->browser->AddDevToolsMessageObserver(second);
  int a = c->browser->ExecuteDevToolsMethod(101, "Runtime.evaluate", {{"expression", "1"}});
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(a) > 0; }));
  EXPECT_EQ(second->results.count(a), 1u);
  reg.reset();
  int b = c->browser->ExecuteDevToolsMethod(102, "Runtime.evaluate", {{"expression", "2"}});
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(b) > 0; }));
  EXPECT_EQ(second->results.count(b), 0u);

  c->browser->StopLoad();
  c->browser->WasResized();
  EXPECT_EQ(Evaluate(*c, "innerWidth"), 800);
}

}  // namespace
