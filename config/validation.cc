#include "config/validation.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "runlog/run_log.h"
#include "config/host_resolver.h"

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string s) {
  for (char& c : s) c = AsciiLower(c);
  return s;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool Fail(const RunLog& log, const std::string& message) {
  log.LogError("[main] " + message);
  return false;
}

// Empty when the path has no directory part worth checking.
std::string OutputDirectory(const std::string& output) {
  const size_t sep = output.find_last_of("/\\");
  if (sep == std::string::npos || sep == 0) return {};
  return output.substr(0, sep);
}

bool PathHasEntry(const std::string& path) {
  std::error_code ec;
  // symlink_status: a dangling link is still an entry.
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// The printed-document settings: each means something only in a PDF.
bool ValidatePdfFinishing(const ConversionSettings& s, const RunLog& log) {
  const std::pair<const char*, bool> given[] = {
      {"documentOutline", s.documentOutline},      {"preferCssPageSize", s.preferCssPageSize},
      {"pdfTitle", !s.pdfTitle.empty()},           {"pdfAuthor", !s.pdfAuthor.empty()},
      {"pdfSubject", !s.pdfSubject.empty()},       {"pdfKeywords", !s.pdfKeywords.empty()},
      {"pdfCreator", !s.pdfCreator.empty()},       {"linearize", s.linearize},
      {"pdfUserPassword", !s.pdfUserPassword.empty()}, {"pdfOwnerPassword", !s.pdfOwnerPassword.empty()},
      {"pdfPermissions", !s.pdfPermissions.empty()}};
  for (const auto& [key, set] : given)
    if (set && s.outputFormat == "png") return Fail(log, s.NameOf(key) + " is not supported with PNG output.");
  if (s.pdfPermissions.empty()) return true;
  if (s.pdfUserPassword.empty() && s.pdfOwnerPassword.empty())
    return Fail(log, s.NameOf("pdfPermissions") + " requires pdfUserPassword or pdfOwnerPassword.");
  if (s.pdfPermissions == "none") return true;
  for (size_t start = 0; start <= s.pdfPermissions.size();) {
    size_t end = std::min(s.pdfPermissions.find(',', start), s.pdfPermissions.size());
    const std::string word = s.pdfPermissions.substr(start, end - start);
    if (word != "print" && word != "copy" && word != "modify" && word != "annotate")
      return Fail(log, "Invalid " + s.NameOf("pdfPermissions") + " '" + s.pdfPermissions +
                  "'. Use none, or a list of print, copy, modify, annotate.");
    start = end + 1;
  }
  return true;
}

}  // namespace

bool isFileUrl(const std::string& url) {
  return url.size() >= 7 && AsciiLower(url.substr(0, 7)) == "file://";
}

void NormalizeUrl(ConversionSettings& s, const RunLog& log) {
  if (!s.htmlString.empty() || s.url.empty() || s.url.find("://") != std::string::npos) return;
  std::string& url = s.url;
  if (url.size() > 2 && IsAsciiLetter(url[0]) && url[1] == ':' && (url[2] == '/' || url[2] == '\\')) {
    for (char& c : url)
      if (c == '\\') c = '/';
    url = "file:///" + url;
    log.Log("[main] Local path detected, using: " + url);
  } else if (url[0] == '/') {
    url = "file://" + url;
    log.Log("[main] Local path detected, using: " + url);
  } else {
    url = "https://" + url;
    log.Log("[main] No scheme provided, using: " + url);
  }
}

void ChooseOutputFormat(ConversionSettings& s, const RunLog& log) {
  std::string source;
  if (s.givenAs.count("outputFormat")) {
    source = "from " + s.NameOf("outputFormat") + " \"" + s.outputFormat + "\"";
  } else if (s.output.size() >= 4 && AsciiLower(s.output.substr(s.output.size() - 4)) == ".png") {
    s.outputFormat = "png";
    source = "from the output file name";
  } else {
    source = "the default";
  }
  log.Log(std::string("[main] Output format: ") + (s.outputFormat == "png" ? "png" : "pdf") + ", " + source + ".");
}

bool ValidateSettings(const ConversionSettings& s, const RunLog& log) {
  if (s.viewportWidth <= 0 || s.viewportHeight < 0) return Fail(log, "Viewport dimensions must be positive.");
  if (s.paperWidth <= 0 || s.paperHeight <= 0) return Fail(log, "Paper dimensions must be positive.");
  if (s.marginTop < 0 || s.marginBottom < 0 || s.marginLeft < 0 || s.marginRight < 0)
    return Fail(log, "Margins cannot be negative.");
  if (s.scale < 0) return Fail(log, "Scale cannot be negative.");
  if (s.url.empty() && s.htmlString.empty()) return Fail(log, "URL is empty.");
  if (s.output.empty()) return Fail(log, "Output path is empty.");
  const std::string dir = OutputDirectory(s.output);
  if (!dir.empty() && !PathHasEntry(dir)) return Fail(log, "Output directory does not exist: " + dir);
  if (!s.localFilesEnabled &&
      ((!s.url.empty() && isFileUrl(s.url)) || (!s.baseUrl.empty() && isFileUrl(s.baseUrl))))
    return Fail(log, "Conversion of local files is disabled.");
  // Names are looked up only by a run that blocks what they might reach.
  hvn::HostReach reach;
  if (!s.localhostEnabled || !s.privateNetworksEnabled) {
    const hvn::HostResolver resolver(s.hostResolverRules);
    for (const std::string* u : {&s.url, &s.baseUrl}) {
      if (u->empty()) continue;
      const hvn::HostReach one = resolver.Reach(*u);
      reach.loopback = reach.loopback || one.loopback;
      reach.privateNetwork = reach.privateNetwork || one.privateNetwork;
    }
  }
  if (!s.localhostEnabled && reach.loopback) return Fail(log, "Conversion of localhost URLs is disabled.");
  if (!s.privateNetworksEnabled && reach.privateNetwork) return Fail(log, "Conversion of private-network URLs is disabled.");
  if (!s.enableJavascript && s.startupModeManual)
    return Fail(log, "startupModeManual requires enableJavascript to be true.");
  if (!s.enableJavascript && !s.windowStatus.empty())
    return Fail(log, "windowStatus requires enableJavascript to be true.");
  if (s.outputFormat == "png" && s.landscape)
    return Fail(log, 
        "landscape is not supported with output-format=png. Use PDF output, or rotate the resulting "
        "image externally.");
  // The options below came later than the others: their messages name each
  // one as the host wrote it.
  for (const auto& [key, value] : {std::pair{"waitForSelector", &s.waitForSelector},
                                   std::pair{"waitForExpression", &s.waitForExpression}})
    if (!s.enableJavascript && !value->empty()) return Fail(log, s.NameOf(key) + " requires enableJavascript to be true.");
  if (s.waitForNetworkIdle < 0) return Fail(log, s.NameOf("waitForNetworkIdle") + " cannot be negative.");
  std::vector<std::pair<int, int>> ranges;
  if (!s.failOnResourceStatus.empty() && !ParseStatusList(s.failOnResourceStatus, ranges))
    return Fail(log, "Invalid " + s.NameOf("failOnResourceStatus") + " '" + s.failOnResourceStatus +
                "'. Use HTTP status codes and ranges, for example 404,500-599.");
  // The browser prints the templates inside the page margins.
  for (const auto& [text, key, margin, side] :
       {std::tuple{&s.headerTemplate, "headerTemplate", s.marginTop, "marginTop"},
        std::tuple{&s.footerTemplate, "footerTemplate", s.marginBottom, "marginBottom"}}) {
    if (text->empty()) continue;
    if (!s.displayHeaderFooter) return Fail(log, s.NameOf(key) + " requires displayHeaderFooter to be true.");
    if (margin <= 0) return Fail(log, s.NameOf(key) + " has no room: " + side + " is 0. Give the page that margin.");
  }
  return ValidatePdfFinishing(s, log);
}

bool ParseStatusList(const std::string& text, std::vector<std::pair<int, int>>& ranges) {
  ranges.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    const size_t dash = item.find('-');
    auto code = [](const std::string& digits, int& out) {
      if (digits.size() != 3 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
      out = std::stoi(digits);
      return out >= 100 && out <= 599;
    };
    int lo = 0, hi = 0;
    if (!code(item.substr(0, dash), lo)) return false;
    hi = lo;
    if (dash != std::string::npos && (!code(item.substr(dash + 1), hi) || hi < lo)) return false;
    ranges.emplace_back(lo, hi);
    start = end + 1;
  }
  return true;
}

void ApplyHttpCacheMode(ConversionSettings& s, const RunLog& log) {
  if (s.httpCache == "clear") {
    s.httpCacheMode = HttpCacheMode::Clear;
  } else if (s.httpCache == "thirdParty") {
    s.httpCacheMode = HttpCacheMode::ThirdParty;
  } else if (s.httpCache == "all") {
    s.httpCacheMode = HttpCacheMode::All;
  } else {
    log.LogError("[main] Unknown httpCache value '" + s.httpCache +
               "'; using clear. Valid: clear, thirdParty, all");
    s.httpCacheMode = HttpCacheMode::Clear;
  }
}
