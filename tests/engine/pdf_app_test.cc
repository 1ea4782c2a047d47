#include "engine/pdf_app.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/run_log.h"

namespace {

// The fixed rows, in order, as the browser process gets them with default fields.
const std::vector<std::string> kDefaultArgv = {
    "--disable-features=GlicActorUi,LensOverlay,MediaRouter,OptimizationGuideModelDownloading,OptimizationHints,"
    "OptimizationHintsFetching,OptimizationTargetPrediction,AutofillServerCommunication,AsyncDns,"
    "WebRtcHideLocalIpsWithMdns",
    "--no-first-run",
    "--disable-cookie-encryption",
    "--disable-field-trial-config",
    "--no-default-browser-check",
    "--disable-default-apps",
    "--disable-component-update",
    "--disable-component-extensions-with-background-pages",
    "--disable-background-networking",
    "--disable-breakpad",
    "--disable-quic",
    "--disable-dev-shm-usage",
    "--disable-chrome-login-prompt",
    "--no-pre-read-main-dll",
    "--disable-sync",
    "--disable-client-side-phishing-detection",
    "--disable-translate",
    "--password-store=basic",
    "--disk-cache-size=1",
    "--media-cache-size=1",
    "--renderer-process-limit=1",
    "--disable-back-forward-cache",
    "--disable-background-timer-throttling",
    "--disable-backgrounding-occluded-windows",
    "--disable-renderer-backgrounding",
    "--disable-hang-monitor",
    "--disable-ipc-flooding-protection",
    "--disable-lazy-loading",
    "--disable-pinch",
    "--hide-scrollbars",
    "--no-zygote",
    "--disable-gpu",
    "--disable-gpu-compositing",
    "--disable-gpu-shader-disk-cache",
    "--disable-extensions",
    "--no-sandbox",
    "--in-process-gpu",
    "--use-angle=swiftshader",
    "--enable-unsafe-swiftshader",
    "--variations-seed-version",
    "--vmodule=process_singleton*=5",
};

// Collects the run log's lines (without the time prefix) through its file.
class LogCapture {
 public:
  LogCapture() {
    char tmpl[] = "/tmp/hvn_engine_log_XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    path_ = tmpl;
    RunLog::Get().SetLogFilePath(path_);
  }
  ~LogCapture() {
    RunLog::Get().SetLogFilePath("");
    std::remove(path_.c_str());
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      size_t p = line.find("] ");
      out.push_back(p == std::string::npos ? line : line.substr(p + 2));
    }
    return out;
  }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

std::vector<std::string> Without(std::vector<std::string> v, const std::string& arg) {
  v.erase(std::remove(v.begin(), v.end(), arg), v.end());
  return v;
}

class PdfAppSwitches : public ::testing::Test {
 protected:
  ScopedEnv shm_{"HALVERN_ALLOW_DEV_SHM", nullptr};
  ScopedEnv gpu_{"HALVERN_NO_INPROC_GPU", nullptr};
};

TEST_F(PdfAppSwitches, DefaultsGiveTheFixedRowsInOrder) {
  LogCapture log;
  PdfApp app;
  engine::CommandLine cl;
  app.OnBeforeCommandLineProcessing("", cl);
  EXPECT_EQ(cl.ToArgv(), kDefaultArgv);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "[PdfApp] Browser process initialized. Full Command Line: " + cl.GetCommandLineString());
}

TEST_F(PdfAppSwitches, SettingsDependentRowsAndTheirLinesInTheBrowserProcess) {
  LogCapture log;
  PdfApp app;
  app.proxyServer = "proxy.local:3128";
  app.allowInsecureContent = true;
  app.htmlStringInUse = true;
  app.userDataDir = "/tmp/cache dir";
  app.webGlEnabled = false;
  engine::CommandLine cl;
  app.OnBeforeCommandLineProcessing("", cl);

  std::vector<std::string> expected = {"--proxy-server=proxy.local:3128", "--allow-running-insecure-content",
                                       "--allow-file-access-from-files", kDefaultArgv[0],
                                       "--user-data-dir=/tmp/cache dir"};
  expected.insert(expected.end(), kDefaultArgv.begin() + 1, kDefaultArgv.end() - 2);
  expected.push_back("--disable-software-rasterizer");
  expected.insert(expected.end(), kDefaultArgv.end() - 2, kDefaultArgv.end());
  EXPECT_EQ(cl.ToArgv(), expected);

  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "[PdfApp] Proxy server: proxy.local:3128");
  EXPECT_EQ(lines[1], "[PdfApp] Mixed content allowed (allow-running-insecure-content).");
  EXPECT_EQ(lines[2], "[PdfApp] File access from local pages enabled (allow-file-access-from-files).");
  EXPECT_EQ(lines[3], "[PdfApp] WebGL disabled - skipping the SwiftShader bring-up.");
  EXPECT_EQ(lines[4].rfind("[PdfApp] Browser process initialized. Full Command Line: --proxy-server=", 0), 0u);
}

TEST_F(PdfAppSwitches, SubProcessGetsNoProxyAndNoLines) {
  LogCapture log;
  PdfApp app;
  app.proxyServer = "proxy.local:3128";
  app.webGlEnabled = false;
  engine::CommandLine cl;
  app.OnBeforeCommandLineProcessing("renderer", cl);
  EXPECT_FALSE(cl.HasSwitch("proxy-server"));
  EXPECT_TRUE(cl.HasSwitch("disable-software-rasterizer"));
  EXPECT_TRUE(log.Lines().empty());

  PdfApp defaults;
  engine::CommandLine sub;
  defaults.OnBeforeCommandLineProcessing("gpu-process", sub);
  EXPECT_EQ(sub.ToArgv(), kDefaultArgv);
}

TEST_F(PdfAppSwitches, EnvironmentVariablesDropOnlyTheirSwitch) {
  struct Case {
    const char* shm;
    const char* gpu;
    bool devShmSwitch;
    bool inProcGpu;
  } cases[] = {
      {nullptr, nullptr, true, true}, {"1", nullptr, false, true}, {"0", "0", true, true},
      {"10", "1", false, false},      {"", "1x", true, false},     {"yes", "true", true, true},
  };
  for (const Case& c : cases) {
    ScopedEnv shm("HALVERN_ALLOW_DEV_SHM", c.shm);
    ScopedEnv gpu("HALVERN_NO_INPROC_GPU", c.gpu);
    PdfApp app;
    engine::CommandLine cl;
    app.OnBeforeCommandLineProcessing("", cl);
    SCOPED_TRACE(std::string("shm=") + (c.shm ? c.shm : "(unset)") + " gpu=" + (c.gpu ? c.gpu : "(unset)"));
    auto expected = kDefaultArgv;
    if (!c.devShmSwitch) expected = Without(expected, "--disable-dev-shm-usage");
    if (!c.inProcGpu) expected = Without(expected, "--in-process-gpu");
    EXPECT_EQ(cl.ToArgv(), expected);
  }
}

TEST_F(PdfAppSwitches, HostDisableFeaturesIsReplaced) {
  PdfApp app;
  engine::CommandLine cl;
  cl.AppendSwitchWithValue("disable-features", "Foo,Bar");
  cl.AppendSwitch("host-flag");
  app.OnBeforeCommandLineProcessing("", cl);
  auto argv = cl.ToArgv();
  EXPECT_EQ(argv[0], "--host-flag");
  EXPECT_EQ(std::count_if(argv.begin(), argv.end(),
                          [](const std::string& a) { return a.rfind("--disable-features=", 0) == 0; }),
            1);
  EXPECT_EQ(cl.GetSwitchValue("disable-features"), kDefaultArgv[0].substr(strlen("--disable-features=")));
}

// ---- request-context preference ----

class FakeContext : public engine::RequestContext {
 public:
  bool can = true, setOk = true;
  std::string error;
  std::vector<std::pair<std::string, std::string>> set;
  bool CanSetPreference(const std::string& name) override {
    asked.push_back(name);
    return can;
  }
  bool SetPreference(const std::string& name, const std::string& value, std::string& err) override {
    set.emplace_back(name, value);
    err = error;
    return setOk;
  }
  std::vector<std::string> asked;
};

TEST(RequestContextPreferences, LinesPerOutcome) {
  struct Case {
    bool can, setOk;
    const char* error;
    std::vector<std::string> lines;
    size_t sets;
  } cases[] = {
      {false, true, "", {"[PdfApp] webrtc.ip_handling_policy cannot be set on this request context."}, 0},
      {true, false, "read-only", {"[PdfApp] Setting webrtc.ip_handling_policy failed: read-only"}, 1},
      {true, false, "", {"[PdfApp] Setting webrtc.ip_handling_policy failed: "}, 1},
      {true, true, "", {}, 1},
  };
  for (const Case& c : cases) {
    LogCapture log;
    auto ctx = std::make_shared<FakeContext>();
    ctx->can = c.can;
    ctx->setOk = c.setOk;
    ctx->error = c.error;
    ApplyRequestContextPreferences(ctx);
    EXPECT_EQ(log.Lines(), c.lines);
    ASSERT_EQ(ctx->set.size(), c.sets);
    if (c.sets) EXPECT_EQ(ctx->set[0], std::make_pair(std::string("webrtc.ip_handling_policy"),
                                                      std::string("disable_non_proxied_udp")));
    EXPECT_EQ(ctx->asked, std::vector<std::string>{"webrtc.ip_handling_policy"});
  }
  LogCapture log;
  ApplyRequestContextPreferences(nullptr);
  EXPECT_TRUE(log.Lines().empty());
}

// ---- start-up script map ----

TEST(StartupScripts, StoredPerBrowserAndEvaluatedInEachContext) {
  PdfApp app;
  std::vector<std::pair<std::string, std::string>> evaluated;
  auto eval = [&](const std::string& script, const std::string& url) { evaluated.emplace_back(script, url); };

  app.OnBrowserCreated(1, {});                            // preload mode: nothing to store
  app.OnBrowserCreated(2, {{"other", "x"}});
  EXPECT_TRUE(app.startupScripts.empty());
  EXPECT_FALSE(app.OnContextCreated(1, "about:blank", eval));

  app.OnBrowserCreated(3, {{"hvnStartupScript", "first"}});
  app.OnBrowserCreated(3, {{"hvnStartupScript", "second"}});  // replaces
  app.OnBrowserCreated(4, {{"hvnStartupScript", ""}});
  EXPECT_EQ(app.StartupScriptFor(3), "second");
  EXPECT_TRUE(app.OnContextCreated(3, "https://a.example/", eval));
  EXPECT_TRUE(app.OnContextCreated(3, "", eval));  // a context without a frame
  EXPECT_FALSE(app.OnContextCreated(4, "https://a.example/", eval));  // empty script
  EXPECT_EQ(evaluated, (std::vector<std::pair<std::string, std::string>>{{"second", "https://a.example/"},
                                                                          {"second", ""}}));

  app.OnBrowserDestroyed(3);
  app.OnBrowserDestroyed(99);
  EXPECT_EQ(app.StartupScriptFor(3), "");
  EXPECT_EQ(app.startupScripts.size(), 1u);
}

}  // namespace
