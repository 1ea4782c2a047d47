#include "app/run_log.h"
#include "client/pdf_client.h"
#include "client/base64.h"
#include "client/text_escape.h"
#include "config/validation.h"

#include <cctype>

namespace {
std::string Quoted(const std::string& s) { return "\"" + EscapeJsString(s) + "\""; }
}  // namespace

std::string BuildPostFormScript(const std::string& url, const std::map<std::string, std::string>& fields) {
  std::string js = "var __f=document.createElement('form');__f.method='POST';__f.action=" + Quoted(url) + ";";
  for (const auto& [name, value] : fields) {
    js += "var __i=document.createElement('input');__i.type='hidden';__i.name=" + Quoted(name) +
          ";__i.value=" + Quoted(value) + ";__f.appendChild(__i);";
  }
  js += "document.body.appendChild(__f);__f.submit();";
  return js;
}

void PdfClient::DoLoginFill(Browser browser) {
  if (finished_) return;
  auto frame = browser ? browser->GetMainFrame() : nullptr;
  if (!frame) {
    FailConversion("Login failed: no main frame.");
    return;
  }
  std::string js = "(function(){";
  if (!s_.loginUsernameSelector.empty()) {
    js += "var u=document.querySelector(" + Quoted(s_.loginUsernameSelector) + ");";
    js += "if(u){u.value=" + Quoted(s_.loginUsername) + ";}";
  }
  if (!s_.loginPasswordSelector.empty()) {
    js += "var p=document.querySelector(" + Quoted(s_.loginPasswordSelector) + ");";
    js += "if(p){p.value=" + Quoted(s_.loginPassword) + ";}";
  }
  if (!s_.loginSubmitSelector.empty()) {
    js += "var b=document.querySelector(" + Quoted(s_.loginSubmitSelector) + ");";
    js += "if(b){b.click();}";
  }
  js += "})();";
  LogLine("[PdfClient] Executing login fill script.");
  frame->ExecuteJavaScript(js, frame->GetURL(), 0);
  if (s_.loginDelayAfter <= 0) {
    DoLoginNavigate(browser);
  } else {
    auto self = shared_from_this();
    PostDelayed(s_.loginDelayAfter, [self, browser] { self->DoLoginNavigate(browser); });
  }
}

void PdfClient::DoLoginNavigate(Browser browser) {
  if (finished_) return;
  loginNavigated_ = true;
  auto frame = browser ? browser->GetMainFrame() : nullptr;
  if (!frame) {
    FailConversion("Login navigate failed: no main frame.");
    return;
  }
  LogLine("[PdfClient] Login complete, navigating to: " + targetUrl);
  if (s_.httpPostFields.empty()) {
    frame->LoadURL(targetUrl);
  } else {
    SubmitPostForm(frame);
  }
}

void PdfClient::SubmitPostForm(const Frame& frame) {
  std::string script = BuildPostFormScript(targetUrl, s_.httpPostFields);
  LogLine("[PdfClient] POST via JS form with " + std::to_string(s_.httpPostFields.size()) + " field(s).");
  frame->ExecuteJavaScript(script, frame->GetURL(), 0);
}

// ---- request interception ----

namespace {

// scheme://host[:port] with default ports dropped; empty when unparsable.
std::string OriginOf(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return "";
  std::string scheme = url.substr(0, sep);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t start = sep + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  std::string host = authority, port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return "";
    host = authority.substr(0, close + 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else {
    size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
  }
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme.empty() || host.empty()) return "";
  std::string origin = scheme + "://" + host;
  if (!port.empty() && !(scheme == "http" && port == "80") && !(scheme == "https" && port == "443"))
    origin += ":" + port;
  return origin;
}

}  // namespace

engine::ReturnValue PdfBlockRequestHandler::OnBeforeResourceLoad(std::shared_ptr<engine::Browser>,
                                                                 std::shared_ptr<engine::Frame>,
                                                                 std::shared_ptr<engine::Request> request) {
  LogErrorLine("[PdfClient] Blocked request: " + request->GetURL());
  return engine::ReturnValue::Cancel;
}

engine::ReturnValue PdfHeadersRequestHandler::OnBeforeResourceLoad(std::shared_ptr<engine::Browser>,
                                                                   std::shared_ptr<engine::Frame>,
                                                                   std::shared_ptr<engine::Request> request) {
  if (request->IsReadOnly()) {
    LogErrorLine("[PdfHeaders] Request is read-only, cannot inject headers for: " + request->GetURL());
    return engine::ReturnValue::Continue;
  }
  engine::Request::HeaderMap map = request->GetHeaderMap();
  for (const auto& [name, value] : headers) {
    map.erase(name);
    map.emplace(name, value);
  }
  request->SetHeaderMap(map);
  return engine::ReturnValue::Continue;
}

bool PdfClient::HasAuth() const { return !s_.username.empty() && !s_.password.empty(); }

bool PdfClient::WantsRequestInterception() {
  return !s_.localFilesEnabled || !s_.localhostEnabled || !s_.privateNetworksEnabled || HasAuth() ||
         !s_.httpRequestHeaders.empty() || !s_.httpRequestCookies.empty() ||
         (!s_.proxyUsername.empty() && !s_.proxyPassword.empty());
}

bool PdfClient::OnCertificateError(Browser, int, const std::string& requestUrl,
                                   std::shared_ptr<engine::CertificateCallback> callback) {
  if (!s_.ignoreSslErrors) return false;
  LogLine("[PdfClient] Ignoring SSL error for: " + requestUrl);
  callback->Continue();
  return true;
}

bool PdfClient::BlockedByRules(const std::string& u) {
  if (!s_.localFilesEnabled && isFileUrl(u) && !(!s_.htmlString.empty() && u == targetUrl)) return true;
  if (s_.localhostEnabled && s_.privateNetworksEnabled) return false;
  // Names are looked up here, before any byte goes out; answers are cached.
  const hvn::HostReach reach = resolver_.Reach(u);
  return (!s_.localhostEnabled && reach.loopback) || (!s_.privateNetworksEnabled && reach.privateNetwork);
}

std::shared_ptr<engine::ResourceRequestHandler> PdfClient::GetResourceRequestHandler(
    Browser, Frame frame, std::shared_ptr<engine::Request> request, bool isNavigation) {
  const std::string u = request->GetURL();
  if (BlockedByRules(u)) {
    if (!blockHandler_) blockHandler_ = std::make_shared<PdfBlockRequestHandler>();
    return blockHandler_;
  }
  bool mainNavigation = isNavigation && frame && frame->IsMain();
  std::string mainOrigin = OriginOf(targetUrl);
  bool sameOrigin = mainOrigin.empty() || OriginOf(u) == mainOrigin;
  size_t headerCount = s_.httpRequestHeaders.size();
  size_t cookieCount = s_.httpRequestCookies.size();
  bool auth = HasAuth();
  std::string authValue = auth ? "Basic " + Base64Encode(s_.username + ":" + s_.password) : "";
  std::string cookieValue;
  for (const auto& [name, value] : s_.httpRequestCookies) {
    if (!cookieValue.empty()) cookieValue += "; ";
    cookieValue += name + "=" + value;
  }
  if (mainNavigation && sameOrigin && headerCount > 0 && !s_.persistentHttpRequestHeaders) {
    if (!mainNavHeaders_) {
      auto h = std::make_shared<PdfHeadersRequestHandler>();
      h->headers = s_.httpRequestHeaders;
      if (auth) h->headers["Authorization"] = authValue;
      if (cookieCount > 0) h->headers["Cookie"] = cookieValue;
      LogLine("[PdfClient] Header injector (main-nav) created with " + std::to_string(headerCount) +
              " custom header(s)" + (auth ? " + auth" : "") + (cookieCount > 0 ? " + cookies" : "") + ".");
      mainNavHeaders_ = h;
    }
    return mainNavHeaders_;
  }
  if (sameOrigin && (auth || (headerCount > 0 && s_.persistentHttpRequestHeaders) || cookieCount > 0)) {
    if (!sameOriginHeaders_) {
      auto h = std::make_shared<PdfHeadersRequestHandler>();
      if (auth) h->headers["Authorization"] = authValue;
      if (headerCount > 0 && s_.persistentHttpRequestHeaders)
        for (const auto& kv : s_.httpRequestHeaders) h->headers.insert(kv);
      if (cookieCount > 0) h->headers["Cookie"] = cookieValue;
      LogLine(std::string("[PdfClient] Header injector (same-origin) created") + (auth ? " + auth" : "") +
              (cookieCount > 0 ? " + cookies" : "") + ".");
      sameOriginHeaders_ = h;
    }
    return sameOriginHeaders_;
  }
  return nullptr;
}

bool PdfClient::GetAuthCredentials(Browser, const std::string& originUrl, bool isProxy, const std::string& host, int,
                                   const std::string&, const std::string&,
                                   std::shared_ptr<engine::AuthCallback> callback) {
  if (!isProxy) {
    if (!HasAuth()) return false;
    LogLine("[PdfClient] Providing page credentials for: " + originUrl);
    callback->Continue(s_.username, s_.password);
    return true;
  }
  if (s_.proxyUsername.empty() || s_.proxyPassword.empty()) return false;
  LogLine("[PdfClient] Providing proxy credentials for: " + host);
  callback->Continue(s_.proxyUsername, s_.proxyPassword);
  return true;
}
