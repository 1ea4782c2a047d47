#include "engine/pdf_app.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/run_log.h"

namespace {

// The fixed rows, in order, as the browser process gets them with default fields.
const std::vector<std::string> kDefaultArgv = [] {
  std::ifstream in(HVN_ENGINE_TEST_DATA "/default_switches.txt");
  std::vector<std::string> rows;
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  return rows;
}();

// The run log's lines, without the time prefix, through its file.
class LogCapture {
 public:
  LogCapture() {
    int fd = mkstemp(path_);
    close(fd);
    RunLog::Get().SetLogFilePath(path_);
  }
  ~LogCapture() {
    RunLog::Get().SetLogFilePath("");
    std::remove(path_);
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find("] ") + 2));
    return out;
  }

 private:
  char path_[32] = "/tmp/hvn_engine_log_XXXXXX";
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_, old_;
  bool had_ = false;
};

std::string FullCommandLineLine(const std::vector<std::string>& argv) {
  std::string line = "[PdfApp] Browser process initialized. Full Command Line:";
  for (auto& a : argv) line += " " + a;
  return line;
}

class PdfAppSwitches : public ::testing::Test {
 protected:
  std::vector<std::string> Argv(PdfApp& app, const std::string& processType = "") {
    engine::CommandLine cl;
    app.OnBeforeCommandLineProcessing(processType, cl);
    return cl.ToArgv();
  }
  ScopedEnv shm_{"HALVERN_ALLOW_DEV_SHM", nullptr};
  ScopedEnv gpu_{"HALVERN_NO_INPROC_GPU", nullptr};
};

TEST_F(PdfAppSwitches, DefaultsGiveTheFixedRowsInOrder) {
  LogCapture log;
  PdfApp app;
  EXPECT_EQ(Argv(app), kDefaultArgv);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{FullCommandLineLine(kDefaultArgv)});
  EXPECT_EQ(Argv(app, "gpu-process"), kDefaultArgv);
}

TEST_F(PdfAppSwitches, SettingsDependentRowsAndTheirLines) {
  PdfApp app;
  app.proxyServer = "proxy.local:3128";
  app.allowInsecureContent = app.htmlStringInUse = true;
  app.userDataDir = "/tmp/cache dir";
  app.webGlEnabled = false;
  LogCapture log;
  std::vector<std::string> expected = {"--proxy-server=proxy.local:3128", "--allow-running-insecure-content",
                                       "--allow-file-access-from-files", kDefaultArgv[0],
                                       "--user-data-dir=/tmp/cache dir"};
  expected.insert(expected.end(), kDefaultArgv.begin() + 1, kDefaultArgv.end() - 2);
  expected.push_back("--disable-software-rasterizer");
  expected.insert(expected.end(), kDefaultArgv.end() - 2, kDefaultArgv.end());
  EXPECT_EQ(Argv(app), expected);
  std::vector<std::string> lines = {
      "[PdfApp] Proxy server: proxy.local:3128",
      "[PdfApp] Mixed content allowed (allow-running-insecure-content).",
      "[PdfApp] File access from local pages enabled (allow-file-access-from-files).",
      "[PdfApp] WebGL disabled - skipping the SwiftShader bring-up.", FullCommandLineLine(expected)};
  EXPECT_EQ(log.Lines(), lines);

  // Sub-processes get the same rows but the proxy, and log nothing.
  expected.erase(expected.begin());
  EXPECT_EQ(Argv(app, "renderer"), expected);
  EXPECT_EQ(log.Lines(), lines);
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
    ScopedEnv shm("HALVERN_ALLOW_DEV_SHM", c.shm), gpu("HALVERN_NO_INPROC_GPU", c.gpu);
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
  app.OnBeforeCommandLineProcessing("", cl);
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

TEST(RequestContextPreferences, LinesPerOutcome) {
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
    LogCapture log;
    auto ctx = std::make_shared<FakeContext>(c.can, c.setOk);
    ApplyRequestContextPreferences(ctx);
    EXPECT_EQ(ctx->calls, c.calls);
    EXPECT_EQ(log.Lines(), c.lines);
  }
  ApplyRequestContextPreferences(nullptr);  // no context: no crash
}

}  // namespace
