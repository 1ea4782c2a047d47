// The DevTools backend against the installed browser: what a whole run cannot
// show (callback order, pipe framing, replies, tasks, the browser's own tree).
// Each test is one browser session and ends it a different way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "engine/engine.h"
#include "engine/pdf_app.h"
#include "tests/config/test_util.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

using BrowserPtr = std::shared_ptr<engine::Browser>;
using FramePtr = std::shared_ptr<engine::Frame>;

struct Observer : engine::DevToolsMessageObserver {
  std::map<int, std::pair<bool, std::string>> results;
  int calls = 0;
  void OnDevToolsMethodResult(BrowserPtr, int id, bool ok, const engine::Json& r) override {
    ++calls;
    results[id] = {ok, r.dump()};
  }
};

struct TestClient : engine::Client {
  Lines events;
  BrowserPtr browser;
  std::shared_ptr<Observer> observer = std::make_shared<Observer>();
  std::shared_ptr<engine::Registration> registration;
  int stops = 0;
  bool closed = false;

  void OnAfterCreated(BrowserPtr b) override {
    browser = b;
    registration = b->AddDevToolsMessageObserver(observer);
    events.push_back("created");
  }
  void OnBeforeClose(BrowserPtr) override { closed = true; }
  bool OnBeforeBrowse(BrowserPtr, FramePtr, const std::string& url, bool, bool) override {
    events.push_back("browse " + url);
    return false;
  }
  void OnLoadStart(BrowserPtr, FramePtr f) override { events.push_back("start " + f->GetURL()); }
  void OnLoadEnd(BrowserPtr, FramePtr f, int status) override {
    events.push_back("end " + std::to_string(status) + " " + f->GetURL());
  }
  void OnLoadingStateChange(BrowserPtr, bool loading, bool, bool) override {
    if (!loading) ++stops, events.push_back("stopped");
  }
};

// Runs the loop until cond holds or the time is up; the loop may also end by
// itself (browser gone).
bool RunUntil(const std::function<bool()>& cond, int timeoutMs = 20000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto active = std::make_shared<bool>(true);  // a tick still queued after we return does nothing
  std::function<void()> tick = [&, active] {
    if (!*active) return;
    if (cond() || Clock::now() > deadline) return engine::QuitMessageLoop();
    engine::PostDelayedTask(tick, 2);
  };
  if (!cond()) {
    engine::PostTask(tick);
    engine::RunMessageLoop();
  }
  *active = false;
  return cond();
}

Lines Args(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  Lines out;
  for (std::string a; std::getline(in, a, '\0');) out.push_back(a);
  return out;
}

// Live (non-zombie) processes as {pid, ppid, pgrp}.
std::vector<std::array<pid_t, 3>> Processes() {
  std::vector<std::array<pid_t, 3>> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    if (!isdigit(entry.path().filename().c_str()[0])) continue;
    std::ifstream in(entry.path() / "stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    const size_t p = s.rfind(')');
    char state;
    int ppid, pgrp;
    if (p != std::string::npos && sscanf(s.c_str() + p + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && state != 'Z')
      out.push_back({atoi(entry.path().filename().c_str()), ppid, pgrp});
  }
  return out;
}

pid_t BrowserPid() {
  for (auto& p : Processes())
    if (p[1] == getpid() && std::ranges::count(Args(p[0]), "--remote-debugging-pipe")) return p[0];
  return -1;
}

int GroupSize(pid_t pgrp) {
  return std::ranges::count_if(Processes(), [&](auto& p) { return p[2] == pgrp; });
}

enum class End { KillBrowser, Sigterm, Shutdown };

class DevToolsEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    app_->userDataDir = dir_.File("cache");
    settings_.logFile = dir_.File("browser.log");
  }
  void TearDown() override { engine::Shutdown(); }
  const std::string PageUrl = "file://" HVN_ENGINE_TEST_DATA "/page.html";

  std::shared_ptr<TestClient> Start(const std::string& url, const engine::ExtraInfo& extra,
                                    const engine::BrowserSettings& bs = {}) {
    if (!engine::GetGlobalRequestContext()) EXPECT_TRUE(engine::Initialize(settings_, app_));
    auto client = std::make_shared<TestClient>();
    EXPECT_TRUE(engine::CreateBrowser(bs, client, url, extra));
    EXPECT_TRUE(RunUntil([&] { return client->stops >= 1; }));
    return client;
  }

  json Evaluate(TestClient& c, const std::string& expression) {
    int id = c.browser->ExecuteDevToolsMethod(0, "Runtime.evaluate",
                                              {{"expression", expression}, {"returnByValue", true}});
    EXPECT_TRUE(RunUntil([&] { return c.observer->results.count(id) > 0; }));
    return json::parse(c.observer->results[id].second).at("result").value("value", json());
  }

  // However the session ends, the browser's whole process group goes with it,
  // and the start-up script is forgotten with its browser.
  void EndAndExpectNothingLeft(TestClient& c, End end) {
    const int id = c.browser->GetIdentifier();
    const pid_t pid = BrowserPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_GE(GroupSize(pid), 2);  // the renderer lives in it too
    if (end != End::Shutdown) {
      if (end == End::KillBrowser) kill(pid, SIGKILL);
      else engine::PostTask([] { kill(getpid(), SIGTERM); });
      auto t = Clock::now();
      engine::RunMessageLoop();  // no quit: returns on its own
      EXPECT_LT(Clock::now() - t, std::chrono::seconds(3));
    }
    engine::Shutdown();
    EXPECT_TRUE(c.closed);
    EXPECT_EQ(app_->StartupScriptFor(id), "");
    EXPECT_EQ(GroupSize(pid), 0);
    EXPECT_EQ(BrowserPid(), -1);
  }

  cfgtest::TempDir dir_;
  std::shared_ptr<PdfApp> app_ = std::make_shared<PdfApp>();
  engine::Settings settings_;
};

TEST_F(DevToolsEngine, PreloadReportsTheBlankDocumentThenTheLoadThenTheBrowserIsKilled) {
  auto c = Start("about:blank", {});
  EXPECT_EQ(c->events, (Lines{"created", "start about:blank", "end 0 about:blank", "stopped"}));

  // The client registers its own start-up script before loading, as preload mode does.
  c->browser->ExecuteDevToolsMethod(0, "Page.enable", json::object());
  c->browser->ExecuteDevToolsMethod(0, "Page.addScriptToEvaluateOnNewDocument",
                                    {{"source", "window.__hvnEarly = 'preload';"}});
  c->events.clear();
  const std::string& url = PageUrl;
  c->browser->GetMainFrame()->LoadURL(url);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 2; }));
  EXPECT_EQ(c->events, (Lines{"browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:preload child:preload");
  EndAndExpectNothingLeft(*c, End::KillBrowser);
}

TEST_F(DevToolsEngine, DirectModeScriptRunsFirstAndRepliesArriveIntactThenShutdown) {
  const std::string url = PageUrl, script = "window.__hvnEarly = 'direct';";
  auto c = Start(url, {{"hvnStartupScript", script}});
  EXPECT_EQ(c->events, (Lines{"created", "browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:direct child:direct");
  EXPECT_EQ(app_->StartupScriptFor(c->browser->GetIdentifier()), script);

  // Caller-chosen ids come back as given; failures carry the error object.
  auto& results = c->observer->results;
  EXPECT_EQ(c->browser->ExecuteDevToolsMethod(100, "No.suchMethod", json::object()), 100);
  ASSERT_TRUE(RunUntil([&] { return results.count(100) > 0; }));
  EXPECT_FALSE(results[100].first);
  EXPECT_TRUE(json::parse(results[100].second).contains("code"));

  // Many replies arrive in one read and one arrives over many reads; each must
  // be cut at its own NUL. The big request itself takes many writes.
  for (int id = 200; id < 240; ++id)
    c->browser->ExecuteDevToolsMethod(id, "Runtime.evaluate", {{"expression", std::to_string(id) + " * 2"}});
  int big = c->browser->ExecuteDevToolsMethod(
      300, "Runtime.evaluate",
      {{"expression", "'\\u00e9x'.repeat(1 << 20) /*" + std::string(1 << 20, ' ') + "*/"}, {"returnByValue", true}});
  ASSERT_TRUE(RunUntil([&] { return results.count(big) > 0; }));
  for (int id = 200; id < 240; ++id) EXPECT_EQ(json::parse(results[id].second)["result"]["value"], id * 2) << id;
  std::string text = json::parse(results[big].second)["result"]["value"];
  EXPECT_EQ(text.size(), 3u << 20);
  EXPECT_EQ(text.substr(text.size() - 3), "\u00e9x");

  // A dropped registration no longer hears replies; none is delivered twice.
  auto second = std::make_shared<Observer>();
  auto reg = c->browser->AddDevToolsMessageObserver(second);
  c->browser->ExecuteDevToolsMethod(101, "Runtime.evaluate", {{"expression", "1"}});
  ASSERT_TRUE(RunUntil([&] { return results.count(101) > 0; }));
  reg.reset();
  c->browser->ExecuteDevToolsMethod(102, "Runtime.evaluate", {{"expression", "2"}});
  ASSERT_TRUE(RunUntil([&] { return results.count(102) > 0; }));
  RunUntil([] { return false; }, 100);
  EXPECT_EQ(second->results.size(), 1u);
  EXPECT_EQ(second->calls, 1);
  EXPECT_EQ(c->observer->calls, static_cast<int>(results.size()));
  EndAndExpectNothingLeft(*c, End::Shutdown);
}

TEST_F(DevToolsEngine, TasksPreferencesSettingsAndSwitchOrderThenSigterm) {
  ASSERT_FALSE(engine::GetGlobalRequestContext());  // not before Initialize
  ASSERT_TRUE(engine::Initialize(settings_, app_));
  // Each task is due no earlier than those posted before it, except the first,
  // due a minute on: so the order holds however slowly this runs.
  std::vector<int> order;
  engine::PostDelayedTask([&] { order.push_back(5); }, 60000);
  engine::PostTask([&] { order.push_back(1); });
  std::thread([&] { engine::PostDelayedTask([&] { order.push_back(2); }, 10); }).join();
  engine::PostDelayedTask([&] { order.push_back(3); engine::QuitMessageLoop(); }, 30);
  engine::PostDelayedTask([&] { order.push_back(4); }, 30);  // after the quit: stays queued
  engine::RunMessageLoop();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  auto ctx = engine::GetGlobalRequestContext();
  std::string error;
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "bogus", error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(ctx->SetPreference("webrtc.ip_handling_policy", "disable_non_proxied_udp", error));
  engine::BrowserSettings bs;
  bs.javascriptEnabled = false;
  auto c = Start(PageUrl, {{"hvnStartupScript", "1;"}}, bs);
  EXPECT_EQ(Evaluate(*c, "document.title"), "first");  // the page's script did not run
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "default", error));  // set at launch

  // The switches the browser gets are the ones the application saw.
  engine::CommandLine cl;
  cl.AppendSwitch("remote-debugging-pipe");
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"force-webrtc-ip-handling-policy", "disable_non_proxied_udp"}, {"enable-logging", "stderr"},
           {"log-level", "1"}, {"user-data-dir", app_->userDataDir}})
    cl.AppendSwitchWithValue(name, value);
  app_->OnBeforeCommandLineProcessing("", cl);
  Lines expected = cl.ToArgv(), args = Args(BrowserPid());
  expected.insert(expected.begin(), args.empty() ? "" : args[0]);
  expected.push_back("about:blank");  // the page opened at launch
  EXPECT_EQ(args, expected);
  EXPECT_EQ(app_->StartupScriptFor(c->browser->GetIdentifier()), "1;");
  EndAndExpectNothingLeft(*c, End::Sigterm);
}

// A browser that is missing, or ends before its first reply, fails the start
// and leaves its reason in the engine log; what it started goes with it.
TEST_F(DevToolsEngine, MissingBrowserFailsInitialize) {
  cfgtest::WriteFile(dir_.File("forks"), "#!/bin/sh\nsleep 20 3>&- 4>&- &\nexit 3\n");
  chmod(dir_.File("forks").c_str(), 0755);
  for (const auto& [browser, reason] : std::vector<std::pair<std::string, std::string>>{
           {dir_.File("no-such-browser"), "cannot start " + dir_.File("no-such-browser") + ": No such file"},
           {"/bin/true", "the browser ended before its first DevTools reply (exit status 0)"},
           {"/bin/false", "the browser ended before its first DevTools reply (exit status 1)"},
           // Its child outlives it and ignores its death: the group kill must take it.
           {dir_.File("forks"), "the browser ended before its first DevTools reply (exit status 3)"}}) {
    setenv("HALVERN_BROWSER", browser.c_str(), 1);
    EXPECT_FALSE(engine::Initialize(settings_, app_)) << browser;
    unsetenv("HALVERN_BROWSER");
    const std::string log = cfgtest::ReadFile(settings_.logFile);
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_EQ(log.find("still alive"), std::string::npos) << log;
    EXPECT_FALSE(engine::CreateBrowser({}, std::make_shared<TestClient>(), "about:blank", {}));
  }
}

}  // namespace
