#include "app/service_request.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "app/job_runner.h"
#include "config/command_line.h"
#include "config/utf8.h"
#include "runlog/run_log.h"

namespace {

using Json = nlohmann::ordered_json;

enum class Kind {
  Integer,      // any number (a fraction is cut off)
  Number,
  Boolean,      // absent: the file reader resets it, so the service's default is written
  StrictBool,   // absent: left as it is
  Text,
  StrictText,   // not empty
  StrictInt,    // a whole number
  List,         // array of strings
  CodeList,     // non-empty string, or array of status codes and ranges
  WordList,     // non-empty string, or array of strings
  Map,          // object of strings
  Delay,        // integer, capped by the service's navigation timeout
};

struct Key {
  Kind kind;
  bool ConversionSettings::*flag = nullptr;  // Boolean: the field holding the service's default
};

using S = ConversionSettings;
const std::map<std::string, Key>& Keys() {
  static const std::map<std::string, Key> keys = {
      {"url", {Kind::Text}},
      {"verbose", {Kind::StrictBool}},
      {"navigationTimeout", {Kind::Integer}},
      {"printTimeout", {Kind::Integer}},
      {"conversionDelay", {Kind::Delay}},
      {"viewportWidth", {Kind::Integer}},
      {"viewportHeight", {Kind::Integer}},
      {"mediaType", {Kind::Text}},
      {"ignoreSslErrors", {Kind::Boolean, &S::ignoreSslErrors}},
      {"enableJavascript", {Kind::Boolean, &S::enableJavascript}},
      {"webGlEnabled", {Kind::Boolean, &S::webGlEnabled}},
      {"paperSize", {Kind::Text}},
      {"paperWidth", {Kind::Number}},
      {"paperHeight", {Kind::Number}},
      {"margin", {Kind::Number}},
      {"marginTop", {Kind::Number}},
      {"marginBottom", {Kind::Number}},
      {"marginLeft", {Kind::Number}},
      {"marginRight", {Kind::Number}},
      {"landscape", {Kind::Boolean, &S::landscape}},
      {"printBackground", {Kind::Boolean, &S::printBackground}},
      {"scale", {Kind::Integer}},
      {"displayHeaderFooter", {Kind::Boolean, &S::displayHeaderFooter}},
      {"tagged", {Kind::Boolean, &S::tagged}},
      {"allowPdfCut", {Kind::Boolean, &S::allowPdfCut}},
      {"contentEndMarker", {Kind::Boolean, &S::contentEndMarker}},
      {"contentEndInk", {Kind::Boolean, &S::contentEndInk}},
      {"firstPageAvailableHeight", {Kind::Number}},
      {"htmlString", {Kind::Text}},
      {"baseUrl", {Kind::Text}},
      {"buildParseInfo", {Kind::Boolean, &S::buildParseInfo}},
      {"webElementsSelectors", {Kind::List}},
      {"startupModeManual", {Kind::Boolean, &S::startupModeManual}},
      {"startupScript", {Kind::Text}},
      {"postLoadingScript", {Kind::Text}},
      {"postLoadingScriptDelayAfter", {Kind::Delay}},
      {"customCSS", {Kind::Text}},
      {"clickElementsSelectors", {Kind::List}},
      {"clickElementsDelayBefore", {Kind::Delay}},
      {"clickElementsDelayAfter", {Kind::Delay}},
      {"hiddenWebElementsSelectors", {Kind::List}},
      {"pdfBookmarkOptionsSelectors", {Kind::List}},
      {"outputFormat", {Kind::Text}},
      {"proxyUsername", {Kind::Text}},
      {"proxyPassword", {Kind::Text}},
      {"username", {Kind::Text}},
      {"password", {Kind::Text}},
      {"loginPage", {Kind::Text}},
      {"loginUsernameSelector", {Kind::Text}},
      {"loginPasswordSelector", {Kind::Text}},
      {"loginSubmitSelector", {Kind::Text}},
      {"loginUsername", {Kind::Text}},
      {"loginPassword", {Kind::Text}},
      {"loginDelayBefore", {Kind::Delay}},
      {"loginDelayAfter", {Kind::Delay}},
      {"httpRequestHeaders", {Kind::Map}},
      {"persistentHttpRequestHeaders", {Kind::Boolean, &S::persistentHttpRequestHeaders}},
      {"httpRequestCookies", {Kind::Map}},
      {"httpPostFields", {Kind::Map}},
      {"allowInsecureContent", {Kind::Boolean, &S::allowInsecureContent}},
      {"localFilesEnabled", {Kind::Boolean}},
      {"localhostEnabled", {Kind::Boolean}},
      {"privateNetworksEnabled", {Kind::StrictBool}},
      {"enableOfflineMode", {Kind::Boolean, &S::enableOfflineMode}},
      {"renderOnTimeout", {Kind::Boolean, &S::renderOnTimeout}},
      {"lazyImagesLoadingEnabled", {Kind::Boolean, &S::lazyImagesLoadingEnabled}},
      {"lazyImagesLoadingDelay", {Kind::Delay}},
      {"directNavigation", {Kind::Boolean, &S::directNavigation}},
      {"httpCache", {Kind::Text}},
      {"windowStatus", {Kind::Text}},
      {"pageRanges", {Kind::Text}},
      {"visibleWebElementSelector", {Kind::Text}},
      {"waitForSelector", {Kind::StrictText}},
      {"waitForExpression", {Kind::StrictText}},
      {"waitForNetworkIdle", {Kind::StrictInt}},
      {"failOnConsoleExceptions", {Kind::StrictBool}},
      {"failOnResourceStatus", {Kind::CodeList}},
      {"failOnResourceLoadingFailed", {Kind::StrictBool}},
      {"headerTemplate", {Kind::StrictText}},
      {"footerTemplate", {Kind::StrictText}},
      {"documentOutline", {Kind::StrictBool}},
      {"preferCssPageSize", {Kind::StrictBool}},
      {"linearize", {Kind::StrictBool}},
      {"pdfTitle", {Kind::StrictText}},
      {"pdfAuthor", {Kind::StrictText}},
      {"pdfSubject", {Kind::StrictText}},
      {"pdfKeywords", {Kind::StrictText}},
      {"pdfCreator", {Kind::StrictText}},
      {"pdfUserPassword", {Kind::StrictText}},
      {"pdfOwnerPassword", {Kind::StrictText}},
      {"pdfPermissions", {Kind::WordList}},
  };
  return keys;
}

// Keys that name files, folders or launch settings of the service's machine.
constexpr const char* kMachineKeys[] = {"output",        "outputJsonFile", "elementsFile",
                                        "dataDirectory", "logFilePath",    "configFilePath",
                                        "proxyHostName", "hostResolverRules", "encryptedIo",
                                        "browserArgs",   "browserSwitches"};

bool AllStrings(const Json& v, bool objectValues) {
  for (const Json& e : v)
    if (!e.is_string()) return false;
  return objectValues ? v.is_object() : v.is_array();
}

// Empty when value fits kind, else what it must be.
std::string TypeProblem(Kind kind, const Json& v) {
  switch (kind) {
    case Kind::Integer:
    case Kind::Delay:
    case Kind::Number:
      return v.is_number() ? "" : "a number";
    case Kind::Boolean:
    case Kind::StrictBool:
      return v.is_boolean() ? "" : "true or false";
    case Kind::Text:
      return v.is_string() ? "" : "a string";
    case Kind::StrictText:
      return v.is_string() && !v.get_ref<const std::string&>().empty() ? "" : "a non-empty string";
    case Kind::StrictInt:
      return v.is_number_integer() ? "" : "a whole number";
    case Kind::List:
      return AllStrings(v, false) ? "" : "an array of strings";
    case Kind::WordList:
      return (v.is_string() && !v.get_ref<const std::string&>().empty()) || AllStrings(v, false)
                 ? ""
                 : "a non-empty string or an array of strings";
    case Kind::CodeList: {
      bool ok = (v.is_string() && !v.get_ref<const std::string&>().empty()) || (v.is_array() && !v.empty());
      if (v.is_array())
        for (const Json& e : v) ok = ok && (e.is_number_integer() || (e.is_string() && !e.get<std::string>().empty()));
      return ok ? "" : "a non-empty string or an array of status codes and ranges";
    }
    case Kind::Map:
      return AllStrings(v, true) ? "" : "an object of strings";
  }
  return "";
}

// A time the request may shorten but not lengthen beyond cap (0: no cap).
void Cap(Json& config, const char* key, int cap, bool zeroMeansNone) {
  if (cap <= 0) return;
  auto it = config.find(key);
  if (it == config.end()) return;
  const double v = it->get<double>();
  if (std::isnan(v) || v > cap || (zeroMeansNone && v < 1)) *it = cap;
}

}  // namespace

bool ReadServiceDefaults(const std::vector<std::string>& defaults, ServiceRules& rules, std::string& error) {
  auto lines = std::make_shared<std::vector<std::string>>();
  RunLog log;
  log.CaptureOutput(lines);
  LaunchRecord record;
  // A documentation address: read, never reached.
  if (ParseConversionSettings({U"halvern", U"http://192.0.2.1/", U"service.pdf"}, record, log, defaults) != 0) {
    error = LastError(*lines);
    if (error.empty()) error = "The service's default options do not make a conversion.";
    return false;
  }
  rules.defaults = record.settings;
  return true;
}

std::string RequestToConfig(const std::string& body, const ServiceRules& rules, Json& config) {
  config = Json::parse(body, nullptr, false);
  if (!config.is_object()) return "The request body is not a JSON object.";
  for (auto it = config.begin(); it != config.end(); ++it) {
    const std::string& key = it.key();
    for (const char* machine : kMachineKeys)
      if (key == machine) return "The key " + key + " names something on the service's machine and is not accepted.";
    auto known = Keys().find(key);
    if (known == Keys().end()) return "Unknown key: " + ValidUtf8(key) + ".";
    const std::string problem = TypeProblem(known->second.kind, it.value());
    if (!problem.empty()) return "The key " + key + " must be " + problem + ".";
  }
  if (!config.contains("url") && !config.contains("htmlString")) return "The request needs url or htmlString.";

  const struct {
    const char* key;
    bool open;
    const char* what;
  } rulesKept[] = {{"localFilesEnabled", rules.localFiles && rules.defaults.localFilesEnabled, "local files"},
                   {"localhostEnabled", rules.localhost && rules.defaults.localhostEnabled, "local hosts"},
                   {"privateNetworksEnabled", rules.privateNetworks && rules.defaults.privateNetworksEnabled,
                    "private networks"}};
  for (const auto& rule : rulesKept) {
    auto it = config.find(rule.key);
    if (it != config.end() && it->get<bool>() && !rule.open)
      return std::string("The key ") + rule.key + " cannot be true: this service blocks " + rule.what + ".";
    // Written always: an absent key would be read as its default, true.
    config[rule.key] = it != config.end() ? it->get<bool>() && rule.open : rule.open;
  }
  for (const auto& [key, info] : Keys())
    if (info.kind == Kind::Boolean && info.flag && !config.contains(key)) config[key] = rules.defaults.*info.flag;

  const ConversionSettings& d = rules.defaults;
  Cap(config, "navigationTimeout", d.navigationTimeout, true);
  Cap(config, "printTimeout", d.printTimeout, true);
  for (const auto& [key, info] : Keys())
    if (info.kind == Kind::Delay || key == "waitForNetworkIdle") Cap(config, key.c_str(), d.navigationTimeout, false);
  return "";
}
