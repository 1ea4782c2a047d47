#include "engine/pdf_app.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/run_log.h"
#include "tests/config/test_util.h"

namespace {

// The fixed rows, in order, as the browser process gets them with default fields.
const std::vector<std::string> kDefaultArgv = [] {
  std::ifstream in(HVN_ENGINE_TEST_DATA "/default_switches.txt");
  std::vector<std::string> rows;
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  return rows;
}();

std::string FullCommandLineLine(const std::vector<std::string>& argv) {
  std::string line = "[PdfApp] Browser process initialized. Full Command Line:";
  for (auto& a : argv) line += " " + a;
  return line;
}

TEST(CommandLine, AppendReplaceRemoveKeepOrder) {
  engine::CommandLine cl;
  cl.AppendSwitch("a");
  cl.AppendSwitchWithValue("b", "1");
  cl.AppendSwitchWithValue("--c", "x y");
  EXPECT_EQ(cl.GetCommandLineString(), "--a --b=1 --c=x y");
  EXPECT_TRUE(cl.HasSwitch("--b"));
  EXPECT_EQ(cl.GetSwitchValue("b"), "1");
  EXPECT_EQ(cl.GetSwitchValue("a"), "");

  // The last value wins and moves to the end, once.
  cl.AppendSwitchWithValue("b", "2");
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--a", "--c=x y", "--b=2"}));

  cl.RemoveSwitch("a");
  cl.RemoveSwitch("never-there");
  cl.AppendSwitch("");
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--c=x y", "--b=2"}));
}

// Every line shows on standard output; no switch variable is set.
class PdfAppSwitches : public cfgtest::RunLogTest {
 protected:
  void SetUp() override {
    RunLogTest::SetUp();
    RunLog::Get().SetVerbose(true);
  }
  void TearDown() override {
    unsetenv("HALVERN_ALLOW_DEV_SHM");
    unsetenv("HALVERN_NO_INPROC_GPU");
    RunLogTest::TearDown();
  }
  std::vector<std::string> Argv(PdfApp& app, const std::string& processType = "") {
    engine::CommandLine cl;
    lines = cfgtest::CaptureLog([&] { app.OnBeforeCommandLineProcessing(processType, cl); });
    return cl.ToArgv();
  }
  std::vector<std::string> lines;
};

TEST_F(PdfAppSwitches, DefaultsGiveTheFixedRowsInOrder) {
  PdfApp app;
  EXPECT_EQ(Argv(app), kDefaultArgv);
  EXPECT_EQ(lines, std::vector<std::string>{FullCommandLineLine(kDefaultArgv)});
  EXPECT_EQ(Argv(app, "gpu-process"), kDefaultArgv);
  EXPECT_TRUE(lines.empty());
}

TEST_F(PdfAppSwitches, SettingsDependentRowsAndTheirLines) {
  PdfApp app;
  app.proxyServer = "proxy.local:3128";
  app.allowInsecureContent = app.htmlStringInUse = true;
  app.userDataDir = "/tmp/cache dir";
  app.webGlEnabled = false;
  std::vector<std::string> expected = {"--proxy-server=proxy.local:3128", "--allow-running-insecure-content",
                                       "--allow-file-access-from-files", kDefaultArgv[0],
                                       "--user-data-dir=/tmp/cache dir"};
  expected.insert(expected.end(), kDefaultArgv.begin() + 1, kDefaultArgv.end() - 2);
  expected.push_back("--disable-software-rasterizer");
  expected.insert(expected.end(), kDefaultArgv.end() - 2, kDefaultArgv.end());
  EXPECT_EQ(Argv(app), expected);
  const std::vector<std::string> logged = {
      "[PdfApp] Proxy server: proxy.local:3128",
      "[PdfApp] Mixed content allowed (allow-running-insecure-content).",
      "[PdfApp] File access from local pages enabled (allow-file-access-from-files).",
      "[PdfApp] WebGL disabled - skipping the SwiftShader bring-up.", FullCommandLineLine(expected)};
  EXPECT_EQ(lines, logged);

  // Sub-processes get the same rows but the proxy, and log nothing.
  expected.erase(expected.begin());
  EXPECT_EQ(Argv(app, "renderer"), expected);
  EXPECT_TRUE(lines.empty());
}

TEST_F(PdfAppSwitches, EnvironmentVariablesDropOnlyTheirSwitch) {
  struct Case {
    const char *shm, *gpu;
    bool devShmSwitch, inProcGpu;
  } cases[] = {
      {"1", "0", false, true}, {"0", "1", true, false}, {"10", "1x", false, false}, {"yes", "", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("shm=") + c.shm + " gpu=" + c.gpu);
    setenv("HALVERN_ALLOW_DEV_SHM", c.shm, 1);
    setenv("HALVERN_NO_INPROC_GPU", c.gpu, 1);
    PdfApp app;
    auto expected = kDefaultArgv;
    for (auto [keep, arg] : {std::pair{c.devShmSwitch, "--disable-dev-shm-usage"}, {c.inProcGpu, "--in-process-gpu"}})
      if (!keep) expected.erase(std::find(expected.begin(), expected.end(), arg));
    EXPECT_EQ(Argv(app), expected);
  }
}

TEST_F(PdfAppSwitches, HostDisableFeaturesIsReplaced) {
  PdfApp app;
  engine::CommandLine cl;
  cl.AppendSwitchWithValue("disable-features", "Foo,Bar");
  cl.AppendSwitch("host-flag");
  cfgtest::CaptureLog([&] { app.OnBeforeCommandLineProcessing("", cl); });
  auto argv = cl.ToArgv();
  EXPECT_EQ(argv[0], "--host-flag");
  EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()), kDefaultArgv);
}

// Records the calls; refuses when told to.
struct FakeContext : engine::RequestContext {
  bool can, setOk;
  std::vector<std::string> calls;
  FakeContext(bool c, bool s) : can(c), setOk(s) {}
  bool CanSetPreference(const std::string& name) override { return calls.push_back("can " + name), can; }
  bool SetPreference(const std::string& name, const std::string& value, std::string& err) override {
    calls.push_back("set " + name + "=" + value);
    err = "read-only";
    return setOk;
  }
};

TEST_F(PdfAppSwitches, RequestContextPreferenceLines) {
  const std::string can = "can webrtc.ip_handling_policy", set = "set webrtc.ip_handling_policy=disable_non_proxied_udp";
  struct Case {
    bool can, setOk;
    std::vector<std::string> calls, lines;
  } cases[] = {
      {false, true, {can}, {"[PdfApp] webrtc.ip_handling_policy cannot be set on this request context."}},
      {true, false, {can, set}, {"[PdfApp] Setting webrtc.ip_handling_policy failed: read-only"}},
      {true, true, {can, set}, {}},
  };
  for (const Case& c : cases) {
    auto ctx = std::make_shared<FakeContext>(c.can, c.setOk);
    EXPECT_EQ(cfgtest::CaptureLog([&] { ApplyRequestContextPreferences(ctx); }), c.lines);
    EXPECT_EQ(ctx->calls, c.calls);
  }
  ApplyRequestContextPreferences(nullptr);  // no context: no crash
}

}  // namespace
