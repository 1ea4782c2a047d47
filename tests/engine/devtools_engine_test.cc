// The DevTools backend against the installed browser: what a whole run cannot
// show (callback order, pipe framing, replies, tasks, the browser's own tree).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/engine.h"
#include "engine/pdf_app.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class Observer : public engine::DevToolsMessageObserver {
 public:
  std::map<int, std::pair<bool, std::string>> results;
  int calls = 0;
  void OnDevToolsMethodResult(std::shared_ptr<engine::Browser>, int id, bool ok, const engine::Json& r) override {
    ++calls;
    results[id] = {ok, r.dump()};
  }
};

class TestClient : public engine::Client {
 public:
  std::vector<std::string> events;
  std::shared_ptr<engine::Browser> browser;
  std::shared_ptr<Observer> observer = std::make_shared<Observer>();
  std::shared_ptr<engine::Registration> registration;
  int stops = 0;
  bool closed = false;

  void OnAfterCreated(std::shared_ptr<engine::Browser> b) override {
    browser = b;
    registration = b->AddDevToolsMessageObserver(observer);
    events.push_back("created");
  }
  void OnBeforeClose(std::shared_ptr<engine::Browser>) override {
    closed = true;
    events.push_back("close");
  }
  bool OnBeforeBrowse(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>, const std::string& url, bool,
                      bool) override {
    events.push_back("browse " + url);
    return false;
  }
  void OnLoadStart(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame> f) override {
    events.push_back("start " + f->GetURL());
  }
  void OnLoadEnd(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame> f, int status) override {
    events.push_back("end " + std::to_string(status) + " " + f->GetURL());
  }
  void OnLoadingStateChange(std::shared_ptr<engine::Browser>, bool loading, bool, bool) override {
    if (!loading) ++stops, events.push_back("stopped");
  }
  void OnLoadError(std::shared_ptr<engine::Browser>, std::shared_ptr<engine::Frame>, int code, const std::string& text,
                   const std::string& url) override {
    events.push_back("error " + std::to_string(code) + " " + text + " " + url);
  }
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
    if (cond() || Clock::now() > deadline) return engine::QuitMessageLoop();
    if (auto t = weakTick.lock()) engine::PostDelayedTask(*t, 2);
  };
  engine::PostTask(*tick);
  engine::RunMessageLoop();
  *active = false;
  return cond();
}

std::vector<std::string> Args(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> out;
  for (std::string a; std::getline(in, a, '\0');) out.push_back(a);
  return out;
}

// Live (non-zombie) processes as {pid, ppid, pgrp}.
std::vector<std::array<pid_t, 3>> Processes() {
  std::vector<std::array<pid_t, 3>> out;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    size_t p = s.rfind(')');
    char state;
    int ppid, pgrp;
    if (p != std::string::npos && sscanf(s.c_str() + p + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
        state != 'Z')
      out.push_back({pid, ppid, pgrp});
  }
  closedir(d);
  return out;
}

pid_t BrowserPid() {
  for (auto& p : Processes()) {
    auto args = Args(p[0]);
    if (p[1] == getpid() && std::find(args.begin(), args.end(), "--remote-debugging-pipe") != args.end()) return p[0];
  }
  return -1;
}

int GroupSize(pid_t pgrp) {
  auto all = Processes();
  return std::count_if(all.begin(), all.end(), [&](auto& p) { return p[2] == pgrp; });
}

class DevToolsEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/hvn_engine_test_XXXXXX";
    dir_ = mkdtemp(tmpl);
    // The iframe shares the page's origin, so its early global is readable.
    std::ofstream(dir_ + "/page.html")
        << "<html><head><title>first</title><script>document.title = 'T:' + String(window.__hvnEarly);</script>"
           "</head><body><iframe srcdoc='<p>child</p>'></iframe><script>window.onload = function () {"
           "document.title += ' child:' + String(frames[0].__hvnEarly); };</script></body></html>";
    app_ = std::make_shared<PdfApp>();
    app_->userDataDir = dir_ + "/cache";
    settings_.logFile = dir_ + "/browser.log";
  }
  void TearDown() override {
    engine::Shutdown();
    fs::remove_all(dir_);
  }
  std::string PageUrl() const { return "file://" + dir_ + "/page.html"; }

  std::shared_ptr<TestClient> Start(const std::string& url, const engine::ExtraInfo& extra = {{"hvnStartupScript", "1;"}}) {
    EXPECT_TRUE(engine::Initialize(settings_, app_));
    auto client = std::make_shared<TestClient>();
    EXPECT_TRUE(engine::CreateBrowser({}, client, url, extra));
    EXPECT_TRUE(RunUntil([&] { return client->stops >= 1; }));
    return client;
  }

  json Evaluate(TestClient& c, const std::string& expression) {
    int id = c.browser->ExecuteDevToolsMethod(0, "Runtime.evaluate",
                                              {{"expression", expression}, {"returnByValue", true}});
    EXPECT_TRUE(RunUntil([&] { return c.observer->results.count(id) > 0; }));
    auto& [ok, text] = c.observer->results[id];
    EXPECT_TRUE(ok) << text;
    json r = json::parse(text, nullptr, false);
    return r.is_object() && r.contains("result") ? r["result"].value("value", json()) : json();
  }

  std::string dir_;
  std::shared_ptr<PdfApp> app_;
  engine::Settings settings_;
};

TEST_F(DevToolsEngine, PreloadReportsTheBlankDocumentThenTheLoad) {
  auto c = Start("about:blank", {});
  EXPECT_EQ(c->events, (std::vector<std::string>{"created", "start about:blank", "end 0 about:blank", "stopped"}));

  // The client registers its own start-up script before loading, as preload mode does.
  c->browser->ExecuteDevToolsMethod(0, "Page.enable", json::object());
  c->browser->ExecuteDevToolsMethod(0, "Page.addScriptToEvaluateOnNewDocument",
                                    {{"source", "window.__hvnEarly = 'preload';"}});
  c->events.clear();
  std::string url = PageUrl();
  c->browser->GetMainFrame()->LoadURL(url);
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 2; }));
  EXPECT_EQ(c->events, (std::vector<std::string>{"browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:preload child:preload");
}

TEST_F(DevToolsEngine, DirectModeRunsTheStartupScriptFirstInEveryFrameAndReportsNoBlank) {
  std::string url = PageUrl();
  auto c = Start(url, {{"hvnStartupScript", "window.__hvnEarly = 'direct';"}});
  EXPECT_EQ(c->events,
            (std::vector<std::string>{"created", "browse " + url, "start " + url, "end 0 " + url, "stopped"}));
  EXPECT_EQ(Evaluate(*c, "document.title"), "T:direct child:direct");
}

TEST_F(DevToolsEngine, RepliesReachTheirObserversOnceAndIntact) {
  auto c = Start(PageUrl());

  // Caller-chosen ids come back as given; failures carry the error object.
  EXPECT_EQ(c->browser->ExecuteDevToolsMethod(100, "No.suchMethod", json::object()), 100);
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(100) > 0; }));
  EXPECT_FALSE(c->observer->results[100].first);
  EXPECT_TRUE(json::parse(c->observer->results[100].second).contains("code"));

  // Many replies arrive in one read and one arrives over many reads; each must
  // be cut at its own NUL.
  for (int id = 200; id < 240; ++id)
    c->browser->ExecuteDevToolsMethod(id, "Runtime.evaluate", {{"expression", std::to_string(id) + " * 2"}});
  int big = c->browser->ExecuteDevToolsMethod(
      300, "Runtime.evaluate", {{"expression", "'\\u00e9x'.repeat(1 << 20)"}, {"returnByValue", true}});
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(big) > 0; }));
  for (int id = 200; id < 240; ++id)
    EXPECT_EQ(json::parse(c->observer->results[id].second)["result"]["value"], id * 2) << id;
  std::string text = json::parse(c->observer->results[big].second)["result"]["value"];
  EXPECT_EQ(text.size(), 3u << 20);
  EXPECT_EQ(text.substr(text.size() - 3), "\u00e9x");

  // A dropped registration no longer hears replies; none is delivered twice.
  auto second = std::make_shared<Observer>();
  auto reg = c->browser->AddDevToolsMessageObserver(second);
  c->browser->ExecuteDevToolsMethod(101, "Runtime.evaluate", {{"expression", "1"}});
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(101) > 0; }));
  reg.reset();
  c->browser->ExecuteDevToolsMethod(102, "Runtime.evaluate", {{"expression", "2"}});
  ASSERT_TRUE(RunUntil([&] { return c->observer->results.count(102) > 0; }));
  RunUntil([] { return false; }, 100);
  EXPECT_EQ(second->results.size(), 1u);
  EXPECT_EQ(second->calls, 1);
  EXPECT_EQ(c->observer->calls, static_cast<int>(c->observer->results.size()));
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

TEST_F(DevToolsEngine, LaunchKeepsTheSwitchOrderAndAppliesPreferencesAndSettings) {
  ASSERT_FALSE(engine::GetGlobalRequestContext());  // not before Initialize
  ASSERT_TRUE(engine::Initialize(settings_, app_));
  auto ctx = engine::GetGlobalRequestContext();
  ASSERT_TRUE(ctx);
  std::string error;
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "bogus", error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(ctx->SetPreference("webrtc.ip_handling_policy", "disable_non_proxied_udp", error));

  engine::BrowserSettings bs;
  bs.javascriptEnabled = false;
  auto c = std::make_shared<TestClient>();
  ASSERT_TRUE(engine::CreateBrowser(bs, c, PageUrl(), {{"hvnStartupScript", "1;"}}));
  ASSERT_TRUE(RunUntil([&] { return c->stops >= 1; }));
  EXPECT_EQ(Evaluate(*c, "document.title"), "first");  // the page's script did not run
  EXPECT_FALSE(ctx->SetPreference("webrtc.ip_handling_policy", "default", error));  // set at launch

  // The switches the browser gets are the ones the application saw.
  PdfApp same;
  same.userDataDir = app_->userDataDir;
  engine::CommandLine cl;
  for (std::string sw : std::vector<std::string>{"remote-debugging-pipe", "force-webrtc-ip-handling-policy=disable_non_proxied_udp",
                         "enable-logging=stderr", "log-level=1", "user-data-dir=" + same.userDataDir}) {
    size_t eq = sw.find('=');
    cl.AppendSwitchWithValue(sw.substr(0, eq), eq == std::string::npos ? "" : sw.substr(eq + 1));
  }
  same.OnBeforeCommandLineProcessing("", cl);
  std::vector<std::string> expected = cl.ToArgv();
  expected.push_back("about:blank");  // the page opened at launch
  auto args = Args(BrowserPid());
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.end()), expected);
}

// A browser that is missing, or ends before its first reply, fails the start.
TEST_F(DevToolsEngine, MissingBrowserFailsInitialize) {
  for (std::string browser : {dir_ + "/no-such-browser", std::string("/bin/true")}) {
    setenv("HALVERN_BROWSER", browser.c_str(), 1);
    EXPECT_FALSE(engine::Initialize(settings_, app_)) << browser;
    unsetenv("HALVERN_BROWSER");
    EXPECT_FALSE(engine::CreateBrowser({}, std::make_shared<TestClient>(), "about:blank", {}));
  }
}

// However the run ends, the browser's whole process group goes with it.
enum class End { KillBrowser, Sigterm, Shutdown };

class BrowserTree : public DevToolsEngine, public ::testing::WithParamInterface<End> {};

TEST_P(BrowserTree, NothingOutlivesShutdown) {
  auto c = Start(PageUrl());
  int id = c->browser->GetIdentifier();
  EXPECT_EQ(app_->StartupScriptFor(id), "1;");
  pid_t pid = BrowserPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(getpgid(pid), pid);
  EXPECT_GE(GroupSize(pid), 2);  // the renderer lives in it too
  if (GetParam() != End::Shutdown) {
    if (GetParam() == End::KillBrowser) kill(pid, SIGKILL);
    else engine::PostTask([] { kill(getpid(), SIGTERM); });
    auto t = Clock::now();
    engine::RunMessageLoop();  // no quit: returns on its own
    EXPECT_LT(Clock::now() - t, std::chrono::seconds(3));
  }
  engine::Shutdown();
  EXPECT_TRUE(c->closed);
  EXPECT_EQ(app_->StartupScriptFor(id), "");  // forgotten with its browser
  EXPECT_EQ(GroupSize(pid), 0);
  EXPECT_EQ(BrowserPid(), -1);
}

std::string EndName(const ::testing::TestParamInfo<End>& i) {
  static const char* const kNames[] = {"KillBrowser", "Sigterm", "Shutdown"};
  return kNames[static_cast<int>(i.param)];
}
INSTANTIATE_TEST_SUITE_P(Ends, BrowserTree, ::testing::Values(End::KillBrowser, End::Sigterm, End::Shutdown), EndName);

}  // namespace
