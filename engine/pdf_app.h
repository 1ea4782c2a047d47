// The application object of every engine process: the browser switch set,
// the request-context preference and the start-up script of each browser.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "runlog/run_log.h"

class PdfApp : public engine::App {
 public:
  // Filled by the run driver in the browser process before the engine starts.
  std::string proxyServer;
  std::string userDataDir;
  bool allowInsecureContent = false;
  bool htmlStringInUse = false;
  bool webGlEnabled = true;
  // Renderers are forked from a zygote: a browser kept for many jobs starts
  // one renderer per job (a context never shares one with another), and a
  // fork costs less than starting the program anew. A single run starts one
  // renderer; a zygote would be a process more to start. Such a browser's
  // pages also keep the frame they were created with (see pdf_app.cc).
  bool forkRenderers = false;
  // The browser's --host-resolver-rules, read by this program from the host's
  // command line like the proxy.
  std::string hostResolverRules;
  // Switch names of this program's own options: the host's copies stay out
  // of the browser's command line (a password would show in its log line and
  // process list; --version would stop the browser).
  std::vector<std::string> ownSwitches;
  // Where the browser launch is reported: the log of the run that launches it.
  RunLog log;
  // Start-up script per browser identifier.
  std::map<int, std::string> startupScripts;

  void OnBeforeCommandLineProcessing(const std::string& processType, engine::CommandLine& commandLine) override;

  // Renderer-side hooks, kept as plain operations.
  void OnBrowserCreated(int browserId, const engine::ExtraInfo& extraInfo) override;
  void OnBrowserDestroyed(int browserId) override;
  std::string StartupScriptFor(int browserId) const override;
  // Evaluates the browser's script (if any) through eval(script, scriptUrl).
  // Returns whether eval was called.
  using Evaluator = std::function<void(const std::string& script, const std::string& scriptUrl)>;
  bool OnContextCreated(int browserId, const std::string& frameUrl, const Evaluator& eval) const;

  static void ApplyRequestContextPreferences(const std::shared_ptr<engine::RequestContext>& context,
                                             const RunLog& log);
};

// Sets "webrtc.ip_handling_policy" on the context; best effort, logs why not.
void ApplyRequestContextPreferences(const std::shared_ptr<engine::RequestContext>& context, const RunLog& log);
