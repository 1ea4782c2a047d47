#include "config/command_line.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "runlog/run_log.h"
#include "config/config_file.h"
#include "config/paper_sizes.h"
#include "config/strict_options.h"
#include "config/utf8.h"
#include "config/validation.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Options the pre-scan consumed; the full scan skips them.
constexpr const char* kPreScanPrefixes[] = {"--config=", "--dd=", "--is=", "--of=", "--os=", "--lf="};

struct PreScan {
  bool verbose = false;
  std::string configPath;
  std::string dataDirectory;
  std::string settingsName;
  std::string outputName;
  std::string outputJsonName;
  std::string logFile;
};

PreScan RunPreScan(const std::vector<std::string>& args) {
  PreScan p;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--verbose") p.verbose = true;
    else if (StartsWith(a, "--config=")) p.configPath = a.substr(9);
    else if (StartsWith(a, "--dd=")) p.dataDirectory = a.substr(5);
    else if (StartsWith(a, "--is=")) p.settingsName = a.substr(5);
    else if (StartsWith(a, "--of=")) p.outputName = a.substr(5);
    else if (StartsWith(a, "--os=")) p.outputJsonName = a.substr(5);
    else if (StartsWith(a, "--lf=")) p.logFile = a.substr(5);
    else if (!StartsWith(a, "-") && hasJsonExtension(a)) p.configPath = a;
  }
  return p;
}

std::string MakeAbsolute(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

struct FlagOption {
  const char* name;
  bool ConversionSettings::*field;
  bool value;
};

constexpr FlagOption kFlags[] = {
    {"--ignore-ssl-errors", &ConversionSettings::ignoreSslErrors, true},
    {"--allow-insecure-content", &ConversionSettings::allowInsecureContent, true},
    {"--disable-local-files", &ConversionSettings::localFilesEnabled, false},
    {"--disable-localhost", &ConversionSettings::localhostEnabled, false},
    {"--disable-javascript", &ConversionSettings::enableJavascript, false},
    {"--disable-webgl", &ConversionSettings::webGlEnabled, false},
    {"--landscape", &ConversionSettings::landscape, true},
    {"--no-print-background", &ConversionSettings::printBackground, false},
    {"--display-header-footer", &ConversionSettings::displayHeaderFooter, true},
    {"--tagged", &ConversionSettings::tagged, true},
    {"--content-end-ink", &ConversionSettings::contentEndInk, true},
};

template <typename T>
struct ValueOption {
  const char* prefix;
  T ConversionSettings::*field;
};

constexpr ValueOption<int> kIntOptions[] = {
    {"--navigation-timeout=", &ConversionSettings::navigationTimeout},
    {"--print-timeout=", &ConversionSettings::printTimeout},
    {"--conversion-delay=", &ConversionSettings::conversionDelay},
    {"--viewport-width=", &ConversionSettings::viewportWidth},
    {"--viewport-height=", &ConversionSettings::viewportHeight},
    {"--scale=", &ConversionSettings::scale},
};

constexpr ValueOption<double> kNumberOptions[] = {
    {"--paper-width=", &ConversionSettings::paperWidth},
    {"--paper-height=", &ConversionSettings::paperHeight},
    {"--margin-top=", &ConversionSettings::marginTop},
    {"--margin-bottom=", &ConversionSettings::marginBottom},
    {"--margin-left=", &ConversionSettings::marginLeft},
    {"--margin-right=", &ConversionSettings::marginRight},
};

constexpr ValueOption<std::string> kTextOptions[] = {
    {"--media-type=", &ConversionSettings::mediaType},
    {"--output-format=", &ConversionSettings::outputFormat},
    {"--proxy-server=", &ConversionSettings::proxyHostName},
    {"--proxy-username=", &ConversionSettings::proxyUsername},
    {"--proxy-password=", &ConversionSettings::proxyPassword},
    {"--username=", &ConversionSettings::username},
    {"--password=", &ConversionSettings::password},
    {"--host-resolver-rules=", &ConversionSettings::hostResolverRules},  // the browser's; the host checks follow it
};

// Options this program reads that no table above lists: handled one by one
// below, or by the run driver as the only argument.
constexpr const char* kOtherOptions[] = {"--verbose", "--http-cache=", "--paper-size=", "--margin=",
                                         "--ink-measure=", "--help", "--version"};

void LogInvalid(const RunLog& log, const char* option) {
  log.LogError(std::string("[main] Invalid value for ") + option);
}

// One option or flag; false when the argument is not one this scan knows.
bool ApplyOption(const std::string& a, ConversionSettings& s, const RunLog& log) {
  for (const auto& f : kFlags) {
    if (a == f.name) {
      s.*f.field = f.value;
      return true;
    }
  }
  if (StartsWith(a, "--http-cache=")) {
    s.httpCache = a.substr(13);
    return true;
  }
  if (StartsWith(a, "--paper-size=")) {
    const std::string name = a.substr(13);
    if (!LookupPaperSize(name, s.paperWidth, s.paperHeight))
      log.LogError("[main] Unknown paper size: " + name + ". Valid: " + kPaperSizeNames);
    return true;
  }
  if (StartsWith(a, "--margin=")) {
    double m;
    if (ParseNumberValue(a.substr(9), m)) s.marginTop = s.marginBottom = s.marginLeft = s.marginRight = m;
    else LogInvalid(log, "--margin=");
    return true;
  }
  for (const auto& o : kIntOptions) {
    if (StartsWith(a, o.prefix)) {
      if (!ParseIntValue(a.substr(std::char_traits<char>::length(o.prefix)), s.*o.field)) LogInvalid(log, o.prefix);
      return true;
    }
  }
  for (const auto& o : kNumberOptions) {
    if (StartsWith(a, o.prefix)) {
      if (!ParseNumberValue(a.substr(std::char_traits<char>::length(o.prefix)), s.*o.field))
        LogInvalid(log, o.prefix);
      return true;
    }
  }
  for (const auto& o : kTextOptions) {
    if (StartsWith(a, o.prefix)) {
      s.*o.field = a.substr(std::char_traits<char>::length(o.prefix));
      if (o.field == &ConversionSettings::outputFormat) s.givenAs["outputFormat"] = o.prefix;
      return true;
    }
  }
  return false;
}

bool IsPreScanArgument(const std::string& a) {
  if (a == "--verbose") return true;
  for (const char* p : kPreScanPrefixes)
    if (StartsWith(a, p)) return true;
  return false;
}

void ApplyDirectNavigationEnv(ConversionSettings& s) {
  const char* env = std::getenv("HALVERN_DIRECT_NAVIGATION");
  if (!env) return;
  if (env[0] == '0') s.directNavigation = false;
  else if (env[0] == '1') s.directNavigation = true;
}

}  // namespace

const char kUsage[] = R"(Usage: halvern URL OUTPUT [SETTINGS.json] [OPTION]...
       halvern --dd=FOLDER --is=SETTINGS --of=OUTPUT [--os=JSON] [OPTION]...
       halvern --ink-measure=PDF
       halvern --batch [--workers=N] [OPTION]...   (jobs as JSON lines on input)
       halvern --serve=ADDRESS:PORT [--workers=N] [--serve-allow=LIST] [OPTION]...
                                                    (POST /convert over HTTP)
       halvern [--help | --version]
Converts one web page (a URL or a local file) to a PDF, or to a PNG with
--output-format=png, in an off-screen Chromium. Log lines go to standard
output; the exit status is 0 on success and 1 on failure.

Paper:    --paper-size=A4|Letter|...  --paper-width=PT  --paper-height=PT
          --margin=PT  --landscape  --scale=PERCENT  --no-print-background
          --display-header-footer  --tagged  --content-end-ink
Page:     --viewport-width=PX  --viewport-height=PX  --media-type=print
          --disable-javascript  --disable-webgl
Timing:   --conversion-delay=MS  --navigation-timeout=MS  --print-timeout=MS
Network:  --proxy-server=HOST:PORT  --username=NAME  --password=TEXT
          --ignore-ssl-errors  --http-cache=clear|thirdParty|all
Limits:   --disable-local-files  --disable-localhost  --disable-private-networks
Run:      --config=FILE.json  --verbose  --lf=LOGFILE

Every option, the configuration keys and the files: man halvern)";

std::vector<std::string> OwnSwitchNames() {
  std::vector<std::string> names;
  auto add = [&names](std::string option) {
    option.erase(0, 2);
    if (option.back() == '=') option.pop_back();
    names.push_back(option);
  };
  for (const char* p : kPreScanPrefixes) add(p);
  for (const char* p : kOtherOptions) add(p);
  for (const auto& f : kFlags) add(f.name);
  for (const auto& o : kIntOptions) add(o.prefix);
  for (const auto& o : kNumberOptions) add(o.prefix);
  for (const auto& o : kTextOptions) add(o.prefix);
  for (const std::string& name : StrictOptionNames()) add(name);
  return names;
}

bool hasJsonExtension(const std::string& path) {
  if (path.size() < 6) return false;
  std::string tail = path.substr(path.size() - 5);
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return tail == ".json";
}

bool ParseIntValue(const std::string& text, int& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseNumberValue(const std::string& text, double& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  // "inf" and "nan" parse but would reach the printer as nonsense sizes.
  if (end == begin || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}

int ParseConversionSettings(const std::vector<std::u32string>& wideArgs, LaunchRecord& out, RunLog& log,
                            const std::vector<std::string>& defaults) {
  out = LaunchRecord{};
  std::vector<std::string> args;
  args.reserve(wideArgs.size());
  for (const auto& w : wideArgs) args.push_back(ToUtf8(w));

  // Step 1-2: what must be known before the file is read. Defaults come
  // first so the run's own arguments win.
  std::vector<std::string> scanned = {args.empty() ? std::string() : args[0]};
  scanned.insert(scanned.end(), defaults.begin(), defaults.end());
  scanned.insert(scanned.end(), args.begin() + (args.empty() ? 0 : 1), args.end());
  PreScan pre = RunPreScan(scanned);
  // The run moves to the executable's folder later; every path keeps
  // meaning what it meant where the host started us.
  if (!pre.logFile.empty()) pre.logFile = MakeAbsolute(pre.logFile);
  if (!pre.dataDirectory.empty()) pre.dataDirectory = MakeAbsolute(pre.dataDirectory);
  if (pre.verbose) log.SetVerbose(true);
  if (!pre.logFile.empty()) log.SetLogFilePath(pre.logFile);

  std::string configPath = pre.configPath;
  if (!pre.dataDirectory.empty() && !pre.settingsName.empty())
    configPath = pre.dataDirectory + "/" + pre.settingsName;
  const bool encryptedIo = !pre.dataDirectory.empty();

  ConversionSettings s;
  s.verbose = log.verbose();
  s.encryptedIo = encryptedIo;
  s.dataDirectory = pre.dataDirectory;
  s.logFilePath = pre.logFile;
  if (!configPath.empty()) s.configFilePath = MakeAbsolute(configPath);

  // Defaults given for many runs (a batch) sit below the file.
  bool refused = false;
  for (const std::string& a : defaults) {
    if (IsPreScanArgument(a) || ApplyOption(a, s, log)) continue;
    bool handled = false;
    const std::string refusal = ApplyStrictOption(a, s, handled);
    if (!refusal.empty()) log.LogError("[main] " + refusal);
    refused = refused || !refusal.empty();
  }
  if (refused) return 1;

  // Step 3: the file over the defaults.
  if (!configPath.empty() && !ReadConfigurationFile(configPath, encryptedIo, s, log)) return 1;

  // Step 4: the data-directory names beat the file.
  if (encryptedIo) {
    if (!pre.outputName.empty()) s.output = pre.dataDirectory + "/" + pre.outputName;
    if (!pre.outputJsonName.empty()) s.outputJsonFile = pre.dataDirectory + "/" + pre.outputJsonName;
  }

  // Steps 5-6: the full scan beats everything before it.
  int positional = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsPreScanArgument(a) || ApplyOption(a, s, log)) continue;
    bool handled = false;
    const std::string refusal = ApplyStrictOption(a, s, handled);
    if (!refusal.empty()) log.LogError("[main] " + refusal);
    refused = refused || !refusal.empty();
    if (handled) continue;
    if (StartsWith(a, "-") || hasJsonExtension(a)) continue;
    if (positional == 0) s.url = a;
    else if (positional == 1) s.output = a;
    ++positional;
  }

  if (refused) return 1;

  // Step 7.
  NormalizeUrl(s, log);
  ChooseOutputFormat(s, log);
  if (!ValidateSettings(s, log)) return 1;
  ApplyHttpCacheMode(s, log);
  ApplyDirectNavigationEnv(s);

  out.settings = s;
  out.url = s.url;
  out.htmlString = s.htmlString;
  out.baseUrl = s.baseUrl;
  out.output = s.output;
  out.outputFormat = s.outputFormat;
  out.printBackground = s.printBackground;
  out.directNavigation = s.directNavigation;
  out.encryptedIo = s.encryptedIo;
  out.dataDirectory = s.dataDirectory;
  out.proxyHostName = s.proxyHostName;
  out.allowInsecureContent = s.allowInsecureContent;
  out.webGlEnabled = s.webGlEnabled;
  return 0;
}
