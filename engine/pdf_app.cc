#include "engine/pdf_app.h"

#include <cstdlib>

#include "runlog/run_log.h"

namespace {

constexpr const char* kDisabledFeatures =
    "GlicActorUi,LensOverlay,MediaRouter,OptimizationGuideModelDownloading,OptimizationHints,"
    "OptimizationHintsFetching,OptimizationTargetPrediction,AutofillServerCommunication,AsyncDns,"
    "WebRtcHideLocalIpsWithMdns";
// A browser kept for many jobs starts a renderer and a page per job, so what
// each costs counts many times over. Without this, a page's first navigation
// makes a second frame (and view) in the renderer to replace the blank one
// the page was created with.
constexpr const char* kManyJobsFeatures = ",RenderDocument";
// The network service in the browser process: one process fewer to start and
// to pass every request through (a small page's cold run uses about 65 MB and
// 10 to 25 ms of CPU less, a warm job 3 to 7 ms).
constexpr const char* kEnabledFeatures = "NetworkServiceInProcess2";

constexpr const char* kStartupScriptKey = "hvnStartupScript";
constexpr const char* kWebRtcPolicy = "webrtc.ip_handling_policy";

bool EnvFirstCharIsOne(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] == '1';
}

}  // namespace

void PdfApp::OnBeforeCommandLineProcessing(const std::string& processType, engine::CommandLine& cl) {
  const bool browser = processType.empty();

  for (const std::string& name : ownSwitches) cl.RemoveSwitch(name);
  if (browser && !proxyServer.empty()) {
    cl.AppendSwitchWithValue("proxy-server", proxyServer);
    log.Log("[PdfApp] Proxy server: " + proxyServer);
  }
  if (browser && !hostResolverRules.empty()) cl.AppendSwitchWithValue("host-resolver-rules", hostResolverRules);
  if (allowInsecureContent) {
    cl.AppendSwitch("allow-running-insecure-content");
    if (browser) log.Log("[PdfApp] Mixed content allowed (allow-running-insecure-content).");
  }
  if (htmlStringInUse) {
    cl.AppendSwitch("allow-file-access-from-files");
    if (browser) log.Log("[PdfApp] File access from local pages enabled (allow-file-access-from-files).");
  }
  // Our list replaces whatever the host passed.
  cl.RemoveSwitch("disable-features");
  cl.AppendSwitchWithValue("disable-features",
                           std::string(kDisabledFeatures) + (forkRenderers ? kManyJobsFeatures : ""));
  if (!userDataDir.empty()) cl.AppendSwitchWithValue("user-data-dir", userDataDir);
  // Added to the host's list, which may name features of its own.
  std::string enabled = cl.GetSwitchValue("enable-features");
  cl.RemoveSwitch("enable-features");
  cl.AppendSwitchWithValue("enable-features", (enabled.empty() ? "" : enabled + ",") + kEnabledFeatures);

  for (const char* s : {"no-first-run", "disable-cookie-encryption", "disable-field-trial-config",
                        "no-default-browser-check", "disable-default-apps", "disable-component-update",
                        "disable-component-extensions-with-background-pages", "disable-background-networking",
                        "disable-breakpad", "disable-quic"})
    cl.AppendSwitch(s);
  if (!EnvFirstCharIsOne("HALVERN_ALLOW_DEV_SHM")) cl.AppendSwitch("disable-dev-shm-usage");
  for (const char* s : {"disable-chrome-login-prompt", "no-pre-read-main-dll", "disable-sync",
                        "disable-client-side-phishing-detection", "disable-translate"})
    cl.AppendSwitch(s);
  cl.AppendSwitchWithValue("password-store", "basic");
  cl.AppendSwitchWithValue("disk-cache-size", "1");
  cl.AppendSwitchWithValue("media-cache-size", "1");
  cl.AppendSwitchWithValue("renderer-process-limit", "1");
  for (const char* s : {"disable-back-forward-cache", "disable-background-timer-throttling",
                        "disable-backgrounding-occluded-windows", "disable-renderer-backgrounding",
                        "disable-hang-monitor", "disable-ipc-flooding-protection", "disable-lazy-loading",
                        "disable-pinch", "hide-scrollbars", forkRenderers ? "" : "no-zygote", "disable-gpu",
                        "disable-gpu-compositing",
                        "disable-gpu-shader-disk-cache", "disable-extensions", "no-sandbox"})
    cl.AppendSwitch(s);
  if (!EnvFirstCharIsOne("HALVERN_NO_INPROC_GPU")) cl.AppendSwitch("in-process-gpu");
  cl.AppendSwitchWithValue("use-angle", "swiftshader");
  cl.AppendSwitch("enable-unsafe-swiftshader");
  if (!webGlEnabled) {
    cl.AppendSwitch("disable-software-rasterizer");
    if (browser) log.Log("[PdfApp] WebGL disabled - skipping the SwiftShader bring-up.");
  }
  cl.AppendSwitch("variations-seed-version");
  cl.AppendSwitchWithValue("vmodule", "process_singleton*=5");

  if (browser) log.Log("[PdfApp] Browser process initialized. Full Command Line: " + cl.GetCommandLineString());
}

void PdfApp::OnBrowserCreated(int browserId, const engine::ExtraInfo& extraInfo) {
  auto it = extraInfo.find(kStartupScriptKey);
  if (it == extraInfo.end()) return;
  startupScripts[browserId] = it->second;
}

void PdfApp::OnBrowserDestroyed(int browserId) { startupScripts.erase(browserId); }

std::string PdfApp::StartupScriptFor(int browserId) const {
  auto it = startupScripts.find(browserId);
  return it == startupScripts.end() ? std::string() : it->second;
}

bool PdfApp::OnContextCreated(int browserId, const std::string& frameUrl, const Evaluator& eval) const {
  auto it = startupScripts.find(browserId);
  if (it == startupScripts.end() || it->second.empty() || !eval) return false;
  eval(it->second, frameUrl);
  return true;
}

void PdfApp::ApplyRequestContextPreferences(const std::shared_ptr<engine::RequestContext>& context,
                                            const RunLog& log) {
  ::ApplyRequestContextPreferences(context, log);
}

void ApplyRequestContextPreferences(const std::shared_ptr<engine::RequestContext>& context, const RunLog& log) {
  if (!context) return;
  if (!context->CanSetPreference(kWebRtcPolicy)) {
    log.Log(std::string("[PdfApp] ") + kWebRtcPolicy + " cannot be set on this request context.");
    return;
  }
  std::string error;
  if (!context->SetPreference(kWebRtcPolicy, "disable_non_proxied_udp", error))
    log.Log(std::string("[PdfApp] Setting ") + kWebRtcPolicy + " failed: " + error);
}
