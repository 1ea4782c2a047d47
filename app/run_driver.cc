#include "app/run_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/run_folders.h"
#include "runlog/run_log.h"
#include "client/pdf_client.h"
#include "config/command_line.h"
#include "config/utf8.h"
#include "engine/engine.h"
#include "engine/pdf_app.h"
#include "pdfink/ink_measure.h"

namespace {

constexpr char kBanner[] = "Halvern.Cef v" HALVERN_VERSION;

std::string ExePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string DirOf(const std::string& path, bool backslashToo) {
  size_t pos = backslashToo ? path.find_last_of("/\\") : path.rfind('/');
  return pos == std::string::npos ? path : path.substr(0, pos);
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

void SetDefaultEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 0); }

void CopyEngineLog(const std::string& engineLog, const RunLog& log) {
  const std::string& runLog = log.logFilePath();
  if (runLog.empty() || engineLog.empty() || runLog == engineLog) return;
  std::ifstream in(engineLog, std::ios::binary);
  if (!in) return;
  std::ofstream out(runLog, std::ios::binary | std::ios::app);
  if (!out) return;
  out << in.rdbuf();
}

void RemoveRunFolders(const std::string& cacheDir, const std::string& logDir, bool encryptedIo, const RunLog& log) {
  log.Log("[main] Cleaning up temp folders...");
  if (!encryptedIo) RemoveFolderWithRetry(cacheDir, 5, 100);
  if (!logDir.empty()) RemoveFolderWithRetry(logDir, 5, 100);
}

}  // namespace

int RunProcess(int argc, char** argv) {
  SetDefaultEnv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
  SetDefaultEnv("FC_FONTATIONS", "1");
  {
    std::string exe = ExePath();
    size_t slash = exe.rfind('/');
    SetDefaultEnv("VK_ICD_FILENAMES", (slash == std::string::npos ? exe : exe.substr(0, slash)) +
                                          "/./vk_swiftshader_icd.json");
  }

  auto app = std::make_shared<PdfApp>();
  int subprocess = engine::ExecuteProcess(argc, argv, app);
  if (subprocess >= 0) return subprocess;

  RunLog log;
  std::vector<std::u32string> args;
  for (int i = 0; i < argc; ++i) args.push_back(DecodeUtf8Lenient(argv[i] ? argv[i] : ""));

  if (args.size() == 1) {
    std::printf("%s\n", kBanner);
    std::fflush(stdout);
    return 0;
  }
  if (args.size() == 2) {
    std::string arg = ToUtf8(args[1]);
    if (arg == "--help" || arg == "--version") {
      std::printf("%s\n", arg == "--help" ? kUsage : kBanner);
      std::fflush(stdout);
      return 0;
    }
    const std::string flag = "--ink-measure=";
    if (arg.compare(0, flag.size(), flag) == 0) {
      // A path that is not UTF-8 still names its file; the line stays valid JSON.
      std::string line = ValidUtf8(pdfink::InkMeasureCommandLine(arg.substr(flag.size())));
      if (line.empty() || line.back() != '\n') line += '\n';
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      return 0;
    }
  }

  LaunchRecord record;
  int status = ParseConversionSettings(args, record, log);
  if (status != 0) return status;
  // The working directory moves to the executable's folder below; output
  // paths keep meaning what the host meant.
  ConversionSettings clientSettings = record.settings;
  clientSettings.output = Absolute(clientSettings.output);
  if (!clientSettings.outputJsonFile.empty()) clientSettings.outputJsonFile = Absolute(clientSettings.outputJsonFile);
  auto client = std::make_shared<PdfClient>(clientSettings, log);

  // Folders.
  std::string cacheDir, logDir, engineLog;
  if (record.encryptedIo) {
    // Made here rather than by the browser, so that the engine can lock it
    // before two runs share it, and its log has a folder to go to.
    std::error_code ec;
    std::filesystem::create_directories(record.dataDirectory, ec);
    cacheDir = record.dataDirectory;
    engineLog = record.dataDirectory + "/cef.log";
  } else {
    cacheDir = MakeRunFolder("cef_cache_");
    logDir = MakeRunFolder("cef_log_");
    engineLog = logDir + "/cef.log";
    RemoveAbandonedRunFolders();
  }
  app->userDataDir = cacheDir;
  app->log = log;
  log.Log("[main] Cache: " + cacheDir);
  log.Log("[main] Log:   " + engineLog);
  log.Log("[main] URL:    " + record.url);
  log.Log("[main] Output: " + record.output);

  std::string exePath = ExePath();
  std::string exeDir = DirOf(exePath, true);
  if (!exeDir.empty() && chdir(exeDir.c_str()) != 0) {
    // Relative paths were made absolute where it matters; carry on.
  }

  engine::Settings settings;
  settings.logSeverity = engine::LogSeverity::Warning;
  settings.rootCachePath = cacheDir;
  settings.disposableProfile = !record.encryptedIo;
  settings.logFile = engineLog;
  settings.blockLoopback = !record.settings.localhostEnabled;
  settings.blockPrivateNetworks = !record.settings.privateNetworksEnabled;

  app->proxyServer = record.proxyHostName;
  app->hostResolverRules = record.settings.hostResolverRules;
  app->ownSwitches = OwnSwitchNames();
  app->allowInsecureContent = record.allowInsecureContent;
  app->webGlEnabled = record.webGlEnabled;
  app->htmlStringInUse = !record.htmlString.empty();

  // From here on only standard output carries diagnostics.
  if (!std::freopen("/dev/null", "w", stderr)) {
  }

  log.Log("[main] CefInitialize starting...");
  if (!engine::Initialize(settings, app)) {
    log.LogError("[main] CefInitialize failed. Another instance may be running.");
    return 1;
  }
  log.Log("[main] CefInitialize complete.");

  std::string url = record.url;
  if (url.empty() && !record.htmlString.empty()) {
    std::string path = cacheDir + "/index.html";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
      log.LogError("[main] Failed to write HTML string to temp file: " + path);
      engine::Shutdown();
      RemoveRunFolders(cacheDir, logDir, record.encryptedIo, log);
      return 1;
    }
    std::string text = InjectBaseHref(record.htmlString, record.baseUrl);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    url = "file://" + path;
    for (char& c : url)
      if (c == '\\') c = '/';
    log.Log("[main] HTML string written to temp file: " + path);
  }

  engine::BrowserSettings browserSettings;
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
    std::string line = "[main] Conversion completed successfully. Elapsed: " + std::to_string(elapsed) + " ms.\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  } else {
    log.LogError("[main] Conversion failed. Elapsed: " + std::to_string(elapsed) + " ms.");
  }
  if (log.verbose()) {
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

  engine::Shutdown();
  // A throw-away profile's browser was ended and reaped by Shutdown; only a
  // kept profile's browser, asked to close, gets time to let go of its files.
  if (!settings.disposableProfile) SleepMs(100);
  CopyEngineLog(engineLog, log);
  RemoveRunFolders(cacheDir, logDir, record.encryptedIo, log);
  return client->success() ? 0 : 1;
}
