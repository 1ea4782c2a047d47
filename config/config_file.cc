#include "config/config_file.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "config/paper_sizes.h"
#include "config/payload.h"

namespace {

using nlohmann::json;

// Typed getters over one parsed object. Each returns whether it changed the
// target, following the key kinds of the configuration file.
class Reader {
 public:
  explicit Reader(const json& obj) : obj_(obj) {}

  const json* Find(const char* key) const {
    auto it = obj_.find(key);
    return it == obj_.end() ? nullptr : &*it;
  }

  void Int(const char* key, int& out) const {
    const json* v = Find(key);
    if (!v) return;
    if (v->is_number_integer()) {
      // Out-of-range integers saturate rather than wrap.
      if (v->is_number_unsigned()) {
        const auto u = v->get<uint64_t>();
        out = u > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                         : static_cast<int>(u);
      } else {
        const auto i = v->get<int64_t>();
        out = static_cast<int>(std::clamp<int64_t>(i, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
      }
    } else if (v->is_number_float()) {
      const double d = std::trunc(v->get<double>());
      if (std::isnan(d)) return;
      out = d >= static_cast<double>(std::numeric_limits<int>::max())   ? std::numeric_limits<int>::max()
            : d <= static_cast<double>(std::numeric_limits<int>::min()) ? std::numeric_limits<int>::min()
                                                                        : static_cast<int>(d);
    }
  }

  bool Number(const char* key, double& out) const {
    const json* v = Find(key);
    if (!v || !v->is_number()) return false;
    out = v->get<double>();
    return true;
  }

  // Absent or non-boolean gives the default, not the value before.
  void Bool(const char* key, bool& out, bool defaultValue) const {
    const json* v = Find(key);
    out = (v && v->is_boolean()) ? v->get<bool>() : defaultValue;
  }

  // Applied only when the value is a non-empty string.
  bool Text(const char* key, std::string& out) const {
    const json* v = Find(key);
    if (!v || !v->is_string()) return false;
    const auto& str = v->get_ref<const std::string&>();
    if (str.empty()) return false;
    out = str;
    return true;
  }

  void List(const char* key, std::vector<std::string>& out) const {
    const json* v = Find(key);
    if (!v || !v->is_array()) return;
    out.clear();
    for (const auto& e : *v)
      if (e.is_string()) out.push_back(e.get<std::string>());
  }

  void Map(const char* key, std::map<std::string, std::string>& out) const {
    const json* v = Find(key);
    if (!v || !v->is_object()) return;
    out.clear();
    for (auto it = v->begin(); it != v->end(); ++it)
      if (it->is_string()) out[it.key()] = it->get<std::string>();
  }

  // Keys added since the first release are strict: a value of another type,
  // or an empty text, refuses the whole file.
  std::string refusal;
  void StrictText(const char* key, std::string& out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_string() || v->get_ref<const std::string&>().empty()) return Refuse(key, "a non-empty string");
    out = v->get<std::string>();
  }
  void StrictBool(const char* key, bool& out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_boolean()) return Refuse(key, "true or false");
    out = v->get<bool>();
  }
  void StrictInt(const char* key, int& out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_number_integer() || *v > std::numeric_limits<int>::max() || *v < std::numeric_limits<int>::min())
      return Refuse(key, "a whole number");
    out = v->get<int>();
  }
  // A list as one comma-separated text or as an array, kept as the text:
  // status codes and ranges ("404,500-599" or [404, "500-599"]) take
  // numbers too; for words an empty array is the word "none".
  void StrictList(const char* key, std::string& out, bool codes) {
    const json* v = Find(key);
    if (!v) return;
    const char* what = codes ? "a non-empty string or an array of status codes and ranges"
                             : "a non-empty string or an array of strings";
    if (v->is_string() && !v->get_ref<const std::string&>().empty()) {
      out = v->get<std::string>();
      return;
    }
    if (!v->is_array() || (codes && v->empty())) return Refuse(key, what);
    std::string text;
    for (const json& item : *v) {
      if (!text.empty()) text += ',';
      if (codes && item.is_number_integer()) text += item.dump();
      else if (item.is_string() && !item.get_ref<const std::string&>().empty()) text += item.get<std::string>();
      else return Refuse(key, what);
    }
    out = text.empty() ? "none" : text;
  }
  void Refuse(const char* key, const char* what) {
    if (refusal.empty()) refusal = std::string("Config key ") + key + " must be " + what + ".";
  }

 private:
  const json& obj_;
};

// False, with the refusal logged, when a strict key has a bad value.
bool ApplyObject(const json& obj, ConversionSettings& s, RunLog& log) {
  static const ConversionSettings kDefaults;
  Reader r(obj);

  r.Text("url", s.url);
  r.Text("output", s.output);
  if (const json* v = r.Find("verbose")) {
    s.verbose = v->is_boolean() && v->get<bool>();
    log.SetVerbose(s.verbose);
  }
  r.Int("navigationTimeout", s.navigationTimeout);
  r.Int("printTimeout", s.printTimeout);
  r.Int("conversionDelay", s.conversionDelay);
  r.Int("viewportWidth", s.viewportWidth);
  r.Int("viewportHeight", s.viewportHeight);
  r.Text("mediaType", s.mediaType);
  r.Bool("ignoreSslErrors", s.ignoreSslErrors, kDefaults.ignoreSslErrors);
  r.Bool("enableJavascript", s.enableJavascript, kDefaults.enableJavascript);
  r.Bool("webGlEnabled", s.webGlEnabled, kDefaults.webGlEnabled);

  std::string paperSize;
  if (r.Text("paperSize", paperSize) && !LookupPaperSize(paperSize, s.paperWidth, s.paperHeight))
    log.LogError("[main] Unknown paperSize in config: " + paperSize + ". Valid: " + kPaperSizeNames);
  r.Number("paperWidth", s.paperWidth);
  r.Number("paperHeight", s.paperHeight);

  if (const json* v = r.Find("margin")) {
    const double m = v->is_number() ? v->get<double>() : 0.0;
    s.marginTop = s.marginBottom = s.marginLeft = s.marginRight = m;
  }
  r.Number("marginTop", s.marginTop);
  r.Number("marginBottom", s.marginBottom);
  r.Number("marginLeft", s.marginLeft);
  r.Number("marginRight", s.marginRight);

  r.Bool("landscape", s.landscape, kDefaults.landscape);
  r.Bool("printBackground", s.printBackground, kDefaults.printBackground);
  r.Int("scale", s.scale);
  r.Bool("displayHeaderFooter", s.displayHeaderFooter, kDefaults.displayHeaderFooter);
  r.Bool("tagged", s.tagged, kDefaults.tagged);
  r.Bool("allowPdfCut", s.allowPdfCut, kDefaults.allowPdfCut);
  r.Bool("contentEndMarker", s.contentEndMarker, kDefaults.contentEndMarker);
  r.Bool("contentEndInk", s.contentEndInk, kDefaults.contentEndInk);
  r.Number("firstPageAvailableHeight", s.firstPageAvailableHeight);
  r.Text("htmlString", s.htmlString);
  r.Text("baseUrl", s.baseUrl);
  r.Bool("buildParseInfo", s.buildParseInfo, kDefaults.buildParseInfo);
  r.List("webElementsSelectors", s.webElementsSelectors);
  if (!r.Text("outputJsonFile", s.outputJsonFile)) r.Text("elementsFile", s.outputJsonFile);
  r.Bool("startupModeManual", s.startupModeManual, kDefaults.startupModeManual);
  r.Text("startupScript", s.startupScript);
  r.Text("postLoadingScript", s.postLoadingScript);
  r.Int("postLoadingScriptDelayAfter", s.postLoadingScriptDelayAfter);
  r.Text("customCSS", s.customCSS);
  r.List("clickElementsSelectors", s.clickElementsSelectors);
  r.Int("clickElementsDelayBefore", s.clickElementsDelayBefore);
  r.Int("clickElementsDelayAfter", s.clickElementsDelayAfter);
  r.List("hiddenWebElementsSelectors", s.hiddenWebElementsSelectors);
  r.List("pdfBookmarkOptionsSelectors", s.pdfBookmarkOptionsSelectors);
  if (r.Text("outputFormat", s.outputFormat)) s.givenAs["outputFormat"] = "outputFormat";
  r.Text("proxyHostName", s.proxyHostName);
  r.Text("proxyUsername", s.proxyUsername);
  r.Text("proxyPassword", s.proxyPassword);
  r.Text("username", s.username);
  r.Text("password", s.password);
  r.Text("loginPage", s.loginPage);
  r.Text("loginUsernameSelector", s.loginUsernameSelector);
  r.Text("loginPasswordSelector", s.loginPasswordSelector);
  r.Text("loginSubmitSelector", s.loginSubmitSelector);
  r.Text("loginUsername", s.loginUsername);
  r.Text("loginPassword", s.loginPassword);
  r.Int("loginDelayBefore", s.loginDelayBefore);
  r.Int("loginDelayAfter", s.loginDelayAfter);
  r.Map("httpRequestHeaders", s.httpRequestHeaders);
  r.Bool("persistentHttpRequestHeaders", s.persistentHttpRequestHeaders, kDefaults.persistentHttpRequestHeaders);
  r.Map("httpRequestCookies", s.httpRequestCookies);
  r.Map("httpPostFields", s.httpPostFields);
  r.Bool("allowInsecureContent", s.allowInsecureContent, kDefaults.allowInsecureContent);
  r.Bool("localFilesEnabled", s.localFilesEnabled, kDefaults.localFilesEnabled);
  r.Bool("localhostEnabled", s.localhostEnabled, kDefaults.localhostEnabled);
  r.StrictBool("privateNetworksEnabled", s.privateNetworksEnabled);
  r.Bool("enableOfflineMode", s.enableOfflineMode, kDefaults.enableOfflineMode);
  r.Bool("renderOnTimeout", s.renderOnTimeout, kDefaults.renderOnTimeout);
  r.Bool("lazyImagesLoadingEnabled", s.lazyImagesLoadingEnabled, kDefaults.lazyImagesLoadingEnabled);
  r.Int("lazyImagesLoadingDelay", s.lazyImagesLoadingDelay);
  r.Bool("directNavigation", s.directNavigation, kDefaults.directNavigation);
  r.Text("httpCache", s.httpCache);
  r.Text("windowStatus", s.windowStatus);
  r.Text("pageRanges", s.pageRanges);
  r.Text("visibleWebElementSelector", s.visibleWebElementSelector);
  r.StrictText("waitForSelector", s.waitForSelector);
  r.StrictText("waitForExpression", s.waitForExpression);
  r.StrictInt("waitForNetworkIdle", s.waitForNetworkIdle);
  r.StrictBool("failOnConsoleExceptions", s.failOnConsoleExceptions);
  r.StrictList("failOnResourceStatus", s.failOnResourceStatus, true);
  r.StrictBool("failOnResourceLoadingFailed", s.failOnResourceLoadingFailed);
  r.StrictText("headerTemplate", s.headerTemplate);
  r.StrictText("footerTemplate", s.footerTemplate);
  r.StrictBool("documentOutline", s.documentOutline);
  r.StrictBool("preferCssPageSize", s.preferCssPageSize);
  r.StrictBool("linearize", s.linearize);
  for (const auto& [key, field] : {std::pair{"pdfTitle", &s.pdfTitle}, std::pair{"pdfAuthor", &s.pdfAuthor},
                                   std::pair{"pdfSubject", &s.pdfSubject}, std::pair{"pdfKeywords", &s.pdfKeywords},
                                   std::pair{"pdfCreator", &s.pdfCreator},
                                   std::pair{"pdfUserPassword", &s.pdfUserPassword},
                                   std::pair{"pdfOwnerPassword", &s.pdfOwnerPassword}})
    r.StrictText(key, *field);
  r.StrictList("pdfPermissions", s.pdfPermissions, false);
  if (r.refusal.empty()) return true;
  log.LogError("[main] " + r.refusal);
  return false;
}

}  // namespace

bool ApplyConfigurationBytes(const std::string& bytes, const std::string& path, bool encryptedIo,
                             ConversionSettings& s, RunLog& log) {
  std::string text;
  if (encryptedIo) {
    try {
      text = DecryptPayload(bytes);
    } catch (const std::exception& e) {
      log.LogError(std::string("[main] Failed to decrypt config: ") + e.what());
      return false;
    }
  }
  const std::string& source = encryptedIo ? text : bytes;

  // Strict: no comments; parse errors come back as a discarded value. A raw
  // NUL is never valid JSON, but the parser would take it as end of input
  // and accept whatever came before.
  json doc;
  if (source.find('\0') == std::string::npos)
    doc = json::parse(source, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (!doc.is_object()) {
    log.LogError("[main] Config file is not a valid JSON object: " + path);
    return false;
  }
  return ApplyObject(doc, s, log);
}

bool ReadConfigurationFile(const std::string& path, bool encryptedIo, ConversionSettings& s, RunLog& log) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    log.LogError("[main] Cannot open config file: " + path);
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  return ApplyConfigurationBytes(bytes, path, encryptedIo, s, log);
}
