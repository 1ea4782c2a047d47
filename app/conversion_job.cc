#include "app/conversion_job.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/run_folders.h"
#include "client/pdf_client.h"
#include "config/command_line.h"
#include "engine/pdf_app.h"

namespace {

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

void RemoveRunFolders(const LaunchedBrowser& b, const RunLog& log) {
  log.Log("[main] Cleaning up temp folders...");
  if (!b.keptProfile) RemoveRunFolder(b.cacheDir);
  if (!b.logDir.empty()) RemoveRunFolder(b.logDir);
}

}  // namespace

ConversionSettings WithAbsolutePaths(const ConversionSettings& settings) {
  ConversionSettings s = settings;
  s.output = Absolute(s.output);
  if (!s.outputJsonFile.empty()) s.outputJsonFile = Absolute(s.outputJsonFile);
  return s;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

void CopyEngineLog(const std::string& engineLog, const RunLog& log, int64_t offset) {
  const std::string& runLog = log.logFilePath();
  if (runLog.empty() || engineLog.empty() || runLog == engineLog) return;
  std::ifstream in(engineLog, std::ios::binary);
  if (!in) return;
  std::ofstream out(runLog, std::ios::binary | std::ios::app);
  if (!out) return;
  if (offset > 0) in.seekg(offset);
  out << in.rdbuf();
}

std::string LaunchKey(const LaunchRecord& r, const std::vector<std::string>& args) {
  const ConversionSettings& s = r.settings;
  std::string key;
  for (const std::string& part :
       {r.proxyHostName, s.hostResolverRules, r.encryptedIo ? r.dataDirectory : std::string(),
        std::string(s.localhostEnabled ? "L" : "-") + (s.privateNetworksEnabled ? "P" : "-") +
            (r.webGlEnabled ? "W" : "-") + (r.allowInsecureContent ? "I" : "-") + (r.htmlString.empty() ? "-" : "H")})
    key += part + '\n';
  std::vector<const char*> argv = {"halvern"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  engine::CommandLine cl;
  cl.InitFromArgv(static_cast<int>(argv.size()), argv.data());
  for (const std::string& name : OwnSwitchNames()) cl.RemoveSwitch(name);
  return key + cl.GetCommandLineString();
}

bool LaunchBrowser(const LaunchRecord& record, const RunLog& log, const LaunchOptions& options, LaunchedBrowser& out) {
  if (record.encryptedIo) {
    // Made here rather than by the browser, so that the engine can lock it
    // before two runs share it, and its log has a folder to go to.
    std::error_code ec;
    std::filesystem::create_directories(record.dataDirectory, ec);
    out.cacheDir = record.dataDirectory;
    out.engineLog = record.dataDirectory + "/cef.log";
    out.keptProfile = true;
  } else {
    out.cacheDir = MakeRunFolder("cef_cache_");
    out.logDir = MakeRunFolder("cef_log_");
    out.engineLog = out.logDir + "/cef.log";
    RemoveAbandonedRunFolders();
  }
  log.Log("[main] Cache: " + out.cacheDir);
  log.Log("[main] Log:   " + out.engineLog);
  log.Log("[main] URL:    " + record.url);
  log.Log("[main] Output: " + record.output);

  engine::Settings settings;
  settings.logSeverity = engine::LogSeverity::Warning;
  settings.rootCachePath = out.cacheDir;
  settings.disposableProfile = !record.encryptedIo;
  settings.logFile = out.engineLog;
  settings.blockLoopback = !record.settings.localhostEnabled;
  settings.blockPrivateNetworks = !record.settings.privateNetworksEnabled;
  settings.handleSignals = options.handleSignals;
  if (options.browserArgs) {
    settings.browserArgsGiven = true;
    settings.browserArgs = *options.browserArgs;
  }

  auto app = std::make_shared<PdfApp>();
  app->userDataDir = out.cacheDir;
  app->log = log;
  app->proxyServer = record.proxyHostName;
  app->hostResolverRules = record.settings.hostResolverRules;
  app->ownSwitches = OwnSwitchNames();
  app->allowInsecureContent = record.allowInsecureContent;
  app->webGlEnabled = record.webGlEnabled;
  app->htmlStringInUse = !record.htmlString.empty();
  app->forkRenderers = options.manyJobs;

  if (options.beforeStart) options.beforeStart();
  log.Log("[main] CefInitialize starting...");
  if (!engine::Initialize(settings, app)) {
    log.LogError("[main] CefInitialize failed. Another instance may be running.");
    return false;
  }
  log.Log("[main] CefInitialize complete.");
  return true;
}

JobOutcome RunJobOnBrowser(const LaunchRecord& record, const RunLog& log, const LaunchedBrowser& browser,
                           bool ownContext, const std::string& stagingDir) {
  JobOutcome outcome;
  auto client = std::make_shared<PdfClient>(record.settings, log);
  std::string url = record.url;
  if (url.empty() && !record.htmlString.empty()) {
    std::string path = (stagingDir.empty() ? browser.cacheDir : stagingDir) + "/index.html";
    if (!WritePrivateFile(path, InjectBaseHref(record.htmlString, record.baseUrl))) {
      outcome.error = "Failed to write HTML string to temp file: " + path;
      log.LogError("[main] " + outcome.error);
      return outcome;
    }
    url = "file://" + path;
    for (char& c : url)
      if (c == '\\') c = '/';
    log.Log("[main] HTML string written to temp file: " + path);
  }

  engine::BrowserSettings browserSettings;
  browserSettings.ownContext = ownContext;
  browserSettings.javascriptEnabled = record.settings.enableJavascript;
  if (record.outputFormat == "png") {
    browserSettings.backgroundColorSet = true;
    browserSettings.backgroundColor = record.printBackground ? 0xFFFFFFFFu : 0u;
  }
  client->targetUrl = url;

  const ConversionSettings& s = record.settings;
  bool direct = record.directNavigation && s.loginPage.empty() && s.httpPostFields.empty() && !s.enableOfflineMode;
  engine::ExtraInfo extra;
  if (direct) {
    client->directMode = true;
    extra["hvnStartupScript"] = client->BuildStartupScript();
  }
  log.Log(std::string("[main] CreateBrowser starting (") + (direct ? "direct" : "preload") + ")...");
  ApplyRequestContextPreferences(engine::GetGlobalRequestContext(), log);
  engine::CreateBrowser(browserSettings, client, direct ? url : "about:blank", extra);
  // The next job's page starts its renderer while this one works, once
  // this one's set-up is on its way.
  if (ownContext) engine::PostTask([] { engine::PrepareSpareBrowser(); });
  log.Log("[main] CreateBrowser returned (browser creation is async).");

  if (client->navigationTimeout() > 0) {
    log.Log("[main] Navigation timeout set to " + std::to_string(client->navigationTimeout()) + "ms.");
    engine::PostDelayedTask([client] { client->OnNavigationTimeout(); }, client->navigationTimeout());
  }

  engine::RunMessageLoop();
  if (!client->finished()) {
    client->RecordFailure("CEF message loop exited unexpectedly (browser process crash or fatal error).");
  }

  int64_t elapsed = log.ElapsedMs();
  if (client->success()) {
    log.WriteOutputLine("[main] Conversion completed successfully. Elapsed: " + std::to_string(elapsed) + " ms.");
  } else {
    log.LogError("[main] Conversion failed. Elapsed: " + std::to_string(elapsed) + " ms.");
  }
  outcome.success = client->success();
  outcome.error = client->success() ? std::string() : client->errorMessage();
  return outcome;
}

void StopBrowser(const LaunchedBrowser& browser, const RunLog& log, bool copyEngineLog) {
  engine::Shutdown();
  // A throw-away profile's browser was ended and reaped by Shutdown; only a
  // kept profile's browser, asked to close, gets time to let go of its files.
  if (browser.keptProfile && copyEngineLog) SleepMs(100);
  if (copyEngineLog) CopyEngineLog(browser.engineLog, log, 0);
  RemoveRunFolders(browser, log);
}
