#include "engine/pdf_app.h"

#include <gtest/gtest.h>

#include "tests/config/test_util.h"

namespace {

using Lines = std::vector<std::string>;

// The last value of a switch wins and moves to the end, once; an empty name is no switch.
TEST(CommandLine, AppendReplaceRemoveKeepOrder) {
  engine::CommandLine cl;
  cl.AppendSwitchWithValue("b", "1");
  cl.AppendSwitch("a");
  cl.AppendSwitch("--c");
  cl.AppendSwitchWithValue("--b", "x y");
  cl.AppendSwitch("");
  cl.RemoveSwitch("c");
  EXPECT_TRUE(cl.HasSwitch("--b"));
  EXPECT_FALSE(cl.HasSwitch("c"));
  EXPECT_EQ(cl.GetSwitchValue("b"), "x y");
  EXPECT_EQ(cl.GetCommandLineString(), "--a --b=x y");
}

// Every line shows on standard output; no switch variable is set.
class PdfAppSwitches : public cfgtest::RunLogTest {
 protected:
  Lines Argv(PdfApp& app, const std::string& processType = "", engine::CommandLine cl = {}) {
    app.log = cfgtest::VerboseLog();
    lines = cfgtest::CaptureLog([&] { app.OnBeforeCommandLineProcessing(processType, cl); });
    return cl.ToArgv();
  }
  static Lines FullLine(const Lines& argv) {
    std::string line = "[PdfApp] Browser process initialized. Full Command Line:";
    for (auto& a : argv) line += " " + a;
    return {line};
  }
  // The fixed rows, in order, as the browser process gets them with default fields.
  const Lines kDefault = [] {
    std::ifstream in(HVN_ENGINE_TEST_DATA "/default_switches.txt");
    Lines rows;
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    return rows;
  }();
  Lines lines;
};

TEST_F(PdfAppSwitches, FixedRowsSettingsRowsAndTheirLines) {
  PdfApp app;
  EXPECT_EQ(Argv(app), kDefault);
  EXPECT_EQ(lines, FullLine(kDefault));
  // A browser kept for many jobs forks its renderers and keeps the page's
  // first frame for its first document.
  app.forkRenderers = true;
  Lines forking = kDefault;
  forking.erase(std::find(forking.begin(), forking.end(), "--no-zygote"));
  forking[0] += ",RenderDocument";
  EXPECT_EQ(Argv(app), forking);
  app.forkRenderers = false;
  // The host's own disable-features list is replaced, its enable-features list
  // extended, its other switches stay first; this program's options stay out,
  // the resolver rules come from the field.
  engine::CommandLine host;
  host.AppendSwitchWithValue("disable-features", "Foo,Bar");
  host.AppendSwitchWithValue("enable-features", "Baz");
  host.AppendSwitch("host-flag");
  host.AppendSwitchWithValue("password", "s3cret");
  host.AppendSwitch("version");
  host.AppendSwitchWithValue("host-resolver-rules", "MAP * ~NOTFOUND");
  app.ownSwitches = {"password", "version", "host-resolver-rules"};
  app.hostResolverRules = "MAP a.test 127.0.0.1";
  Lines expected = {"--host-flag", "--host-resolver-rules=MAP a.test 127.0.0.1"};
  expected.insert(expected.end(), kDefault.begin(), kDefault.end());
  expected[3] = "--enable-features=Baz,NetworkServiceInProcess2";
  EXPECT_EQ(Argv(app, "", host), expected);
  expected.erase(expected.begin() + 1);  // the rules are the browser process's alone
  EXPECT_EQ(Argv(app, "renderer", host), expected);
  app.hostResolverRules.clear();

  app.proxyServer = "proxy.local:3128";
  app.allowInsecureContent = app.htmlStringInUse = true;
  app.userDataDir = "/tmp/cache dir";
  app.webGlEnabled = false;
  expected = {"--proxy-server=proxy.local:3128", "--allow-running-insecure-content", "--allow-file-access-from-files",
              kDefault[0], "--user-data-dir=/tmp/cache dir"};
  expected.insert(expected.end(), kDefault.begin() + 1, kDefault.end() - 2);
  expected.push_back("--disable-software-rasterizer");
  expected.insert(expected.end(), kDefault.end() - 2, kDefault.end());
  EXPECT_EQ(Argv(app), expected);
  EXPECT_EQ(lines, (Lines{"[PdfApp] Proxy server: proxy.local:3128",
                          "[PdfApp] Mixed content allowed (allow-running-insecure-content).",
                          "[PdfApp] File access from local pages enabled (allow-file-access-from-files).",
                          "[PdfApp] WebGL disabled - skipping the SwiftShader bring-up.", FullLine(expected)[0]}));
  // Sub-processes get the same rows but the proxy, and log nothing.
  expected.erase(expected.begin());
  EXPECT_EQ(Argv(app, "renderer"), expected);
  EXPECT_TRUE(lines.empty());
}

// Records the calls; refuses when told to.
struct FakeContext : engine::RequestContext {
  bool can, setOk;
  Lines calls;
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
  for (const auto& [canSet, setOk, calls, logged] : std::vector<std::tuple<bool, bool, Lines, Lines>>{
           {false, true, {can}, {"[PdfApp] webrtc.ip_handling_policy cannot be set on this request context."}},
           {true, false, {can, set}, {"[PdfApp] Setting webrtc.ip_handling_policy failed: read-only"}},
           {true, true, {can, set}, {}}}) {
    auto ctx = std::make_shared<FakeContext>(canSet, setOk);
    EXPECT_EQ(cfgtest::CaptureLog([&] { ApplyRequestContextPreferences(ctx, cfgtest::VerboseLog()); }), logged);
    EXPECT_EQ(ctx->calls, calls);
  }
  ApplyRequestContextPreferences(nullptr, RunLog());  // no context: no crash
}

}  // namespace
