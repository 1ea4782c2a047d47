#include "app/run_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/batch.h"
#include "app/conversion_job.h"
#include "app/run_folders.h"
#include "app/service.h"
#include "runlog/run_log.h"
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

void SetDefaultEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 0); }

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

  if (ToUtf8(args[1]) == "--batch") {
    std::vector<std::string> options;
    for (size_t i = 2; i < args.size(); ++i) options.push_back(ToUtf8(args[i]));
    return RunBatch(options);
  }

  if (ToUtf8(args[1]).rfind("--serve=", 0) == 0) {
    std::vector<std::string> options;
    for (size_t i = 2; i < args.size(); ++i) options.push_back(ToUtf8(args[i]));
    return RunService(ToUtf8(args[1]).substr(8), options);
  }

  LaunchRecord record;
  int status = ParseConversionSettings(args, record, log);
  if (status != 0) return status;
  // The working directory moves to the executable's folder below; output
  // paths keep meaning what the host meant.
  record.settings = WithAbsolutePaths(record.settings);

  LaunchedBrowser browser;
  LaunchOptions launch;
  launch.beforeStart = [] {
    std::string exeDir = DirOf(ExePath(), true);
    if (!exeDir.empty() && chdir(exeDir.c_str()) != 0) {
      // Relative paths were made absolute where it matters; carry on.
    }
    // From here on only standard output carries diagnostics.
    if (!std::freopen("/dev/null", "w", stderr)) {
    }
  };
  if (!LaunchBrowser(record, log, launch, browser)) return 1;
  JobOutcome outcome = RunJobOnBrowser(record, log, browser, false);
  const bool ran = outcome.success || outcome.error.rfind("Failed to write HTML string", 0) != 0;
  if (ran && log.verbose()) {
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }
  StopBrowser(browser, log, ran);
  return outcome.success ? 0 : 1;
}
