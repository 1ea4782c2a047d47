// The one record that describes a conversion run. Field names follow the
// configuration-file keys; lengths in points, viewport in CSS pixels, times
// in milliseconds.
#pragma once

#include <map>
#include <string>
#include <vector>

enum class HttpCacheMode { Clear = 0, ThirdParty = 1, All = 2 };

struct ConversionSettings {
  std::string url;
  std::string output = "output.pdf";
  bool verbose = false;
  int navigationTimeout = 30000;
  int printTimeout = 60000;
  int conversionDelay = 500;
  int viewportWidth = 1024;
  int viewportHeight = 0;
  std::string mediaType = "screen";
  bool ignoreSslErrors = false;
  bool enableJavascript = true;
  bool webGlEnabled = true;
  double paperWidth = 595.28;
  double paperHeight = 841.89;
  double marginTop = 0;
  double marginBottom = 0;
  double marginLeft = 0;
  double marginRight = 0;
  bool landscape = false;
  bool printBackground = true;
  int scale = 0;
  bool displayHeaderFooter = false;
  bool tagged = false;
  bool allowPdfCut = true;
  bool contentEndMarker = false;
  bool contentEndInk = false;
  double firstPageAvailableHeight = 0;
  std::string htmlString;
  std::string baseUrl;
  bool buildParseInfo = false;
  std::vector<std::string> webElementsSelectors;
  std::string outputJsonFile;
  bool startupModeManual = false;
  std::string startupScript;
  std::string postLoadingScript;
  int postLoadingScriptDelayAfter = 20;
  std::string customCSS;
  std::vector<std::string> clickElementsSelectors;
  int clickElementsDelayBefore = 20;
  int clickElementsDelayAfter = 0;
  std::vector<std::string> hiddenWebElementsSelectors;
  std::vector<std::string> pdfBookmarkOptionsSelectors;
  std::string outputFormat = "pdf";
  std::string proxyHostName;
  std::string proxyUsername;
  std::string proxyPassword;
  std::string username;
  std::string password;
  std::string loginPage;
  std::string loginUsernameSelector;
  std::string loginPasswordSelector;
  std::string loginSubmitSelector;
  std::string loginUsername;
  std::string loginPassword;
  int loginDelayBefore = 20;
  int loginDelayAfter = 20;
  std::map<std::string, std::string> httpRequestHeaders;
  bool persistentHttpRequestHeaders = false;
  std::map<std::string, std::string> httpRequestCookies;
  std::map<std::string, std::string> httpPostFields;
  bool allowInsecureContent = false;
  bool localFilesEnabled = true;
  bool localhostEnabled = true;
  bool privateNetworksEnabled = true;
  // No configuration key: file: addresses under this folder load for no
  // page but the job's own staged document, local files open or not.
  std::string privateFilesRoot;
  bool enableOfflineMode = false;
  bool renderOnTimeout = false;
  bool lazyImagesLoadingEnabled = true;
  int lazyImagesLoadingDelay = 40;
  bool directNavigation = true;
  std::string httpCache = "clear";
  std::string windowStatus;
  std::string pageRanges;
  std::string visibleWebElementSelector;
  // Readiness the page must reach, and what it must not do, before output.
  std::string waitForSelector;
  std::string waitForExpression;
  int waitForNetworkIdle = 0;  // ms without requests in flight; 0: no wait
  bool failOnConsoleExceptions = false;
  std::string failOnResourceStatus;  // "404,500-599"
  bool failOnResourceLoadingFailed = false;
  std::string headerTemplate;
  std::string footerTemplate;
  // Printed-document finishing. Passwords stay out of every log line.
  bool documentOutline = false;
  bool preferCssPageSize = false;
  std::string pdfTitle, pdfAuthor, pdfSubject, pdfKeywords, pdfCreator;
  bool linearize = false;
  std::string pdfUserPassword, pdfOwnerPassword;
  std::string pdfPermissions;  // "print,copy"; empty: all; "none": none

  HttpCacheMode httpCacheMode = HttpCacheMode::Clear;
  std::string configFilePath;
  std::string dataDirectory;
  bool encryptedIo = false;
  std::string logFilePath;
  // The browser's --host-resolver-rules, when the host passes them: the
  // local-host and private-network checks resolve names the same way.
  std::string hostResolverRules;
  // How the host wrote an option whose value can be refused ("--wait-for-
  // selector=" on the command line), by key; also says whether
  // outputFormat was given at all.
  std::map<std::string, std::string> givenAs;
  // The option as the host wrote it; the key when it came from the file.
  std::string NameOf(const std::string& key) const {
    auto it = givenAs.find(key);
    return it == givenAs.end() ? key : it->second;
  }
};

// What the configuration stage hands to the run driver besides the settings
// the client is built from.
struct LaunchRecord {
  ConversionSettings settings;  // the full, validated record
  std::string url;
  std::string htmlString;
  std::string baseUrl;
  std::string output;
  std::string outputFormat = "pdf";
  bool printBackground = true;
  bool directNavigation = true;
  bool encryptedIo = false;
  std::string dataDirectory;
  std::string proxyHostName;
  bool allowInsecureContent = false;
  bool webGlEnabled = true;
};
