#include "runlog/run_log.h"
#include "client/pdf_client.h"
#include "client/base64.h"
#include "client/text_escape.h"
#include "config/url_host.h"
#include "config/validation.h"

#include <cctype>
#include <filesystem>

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

engine::ReturnValue PdfBlockRequestHandler::OnBeforeResourceLoad(std::shared_ptr<engine::Browser>,
                                                                 std::shared_ptr<engine::Frame>,
                                                                 std::shared_ptr<engine::Request> request,
                                                                 std::shared_ptr<engine::RequestCallback>) {
  log.LogError("[PdfClient] Blocked request: " + request->GetURL());
  return engine::ReturnValue::Cancel;
}

engine::ReturnValue PdfHeadersRequestHandler::OnBeforeResourceLoad(std::shared_ptr<engine::Browser>,
                                                                   std::shared_ptr<engine::Frame>,
                                                                   std::shared_ptr<engine::Request> request,
                                                                   std::shared_ptr<engine::RequestCallback>) {
  if (request->IsReadOnly()) {
    log.LogError("[PdfHeaders] Request is read-only, cannot inject headers for: " + request->GetURL());
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

engine::ReturnValue PdfLookupWaitRequestHandler::OnBeforeResourceLoad(
    std::shared_ptr<engine::Browser> browser, std::shared_ptr<engine::Frame> frame,
    std::shared_ptr<engine::Request> request, std::shared_ptr<engine::RequestCallback> callback) {
  browser_ = std::move(browser);
  frame_ = std::move(frame);
  request_ = std::move(request);
  callback_ = std::move(callback);
  auto client = client_.lock();
  if (!client || !callback_) return engine::ReturnValue::Cancel;
  // The lookup's thread only posts; the task finds this handler, if it is still there.
  std::weak_ptr<PdfLookupWaitRequestHandler> weak = shared_from_this();
  int64_t waitMs = 0;
  auto post = engine::CurrentTaskPoster();
  const auto verdict = client->CheckRules(request_->GetURL(), [weak, post] {
    post([weak] {
      if (auto self = weak.lock()) self->Resume();
    });
  }, waitMs);
  if (verdict != PdfClient::RuleVerdict::AwaitLookup) {
    Resume();
  } else {
    // At the bound the request goes on as if the name reached nothing; this
    // task also keeps the handler alive until then.
    engine::PostDelayedTask([self = shared_from_this()] { self->Resume(); }, waitMs);
  }
  return engine::ReturnValue::ContinueAsync;
}

void PdfLookupWaitRequestHandler::Resume() {
  auto callback = std::move(callback_);
  if (!callback) return;
  auto client = client_.lock();
  if (!client || client->finished()) return callback->Cancel();
  int64_t waitMs = 0;
  auto verdict = client->CheckRules(request_->GetURL(), nullptr, waitMs);
  if (verdict == PdfClient::RuleVerdict::AwaitLookup) verdict = PdfClient::RuleVerdict::Pass;  // the bound passed
  auto handler = client->DecidedRequestHandler(frame_, request_->GetURL(), isNavigation_, verdict);
  const auto decision =
      handler ? handler->OnBeforeResourceLoad(browser_, frame_, request_, callback) : engine::ReturnValue::Continue;
  decision == engine::ReturnValue::Cancel ? callback->Cancel() : callback->Continue();
}

namespace {

// Whether a file: address names something under root, however spelled:
// escapes decoded, dot segments and links such as /proc/self/root resolved.
bool FileUrlUnder(const std::string& url, const std::string& root) {
  size_t start = url.find('/', 7);  // after "file://" and any host
  if (start == std::string::npos) return false;
  std::string path;
  for (size_t i = start; i < url.size() && url[i] != '?' && url[i] != '#'; ++i) {
    int hi = 0, lo = 0;
    if (url[i] == '%' && i + 2 < url.size() && std::isxdigit(static_cast<unsigned char>(url[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(url[i + 2]))) {
      hi = std::isdigit(static_cast<unsigned char>(url[i + 1])) ? url[i + 1] - '0' : (url[i + 1] | 0x20) - 'a' + 10;
      lo = std::isdigit(static_cast<unsigned char>(url[i + 2])) ? url[i + 2] - '0' : (url[i + 2] | 0x20) - 'a' + 10;
      path += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      path += url[i];
    }
  }
  std::error_code ec;
  const std::string real = std::filesystem::weakly_canonical(path, ec).string();
  std::string top = std::filesystem::weakly_canonical(root, ec).string();
  if (real.empty() || top.empty()) return true;  // unknown: not ours to open
  if (top.back() != '/') top += '/';
  return real.rfind(top, 0) == 0 || real + '/' == top;
}

}  // namespace

bool PdfClient::HasAuth() const { return !s_.username.empty() && !s_.password.empty(); }

bool PdfClient::WantsRequestInterception() {
  return !s_.localFilesEnabled || !s_.privateFilesRoot.empty() || !s_.localhostEnabled || !s_.privateNetworksEnabled || HasAuth() ||
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

PdfClient::RuleVerdict PdfClient::CheckRules(const std::string& u, std::function<void()> whenKnown,
                                             int64_t& waitMs) {
  const bool ownStagedPage = !s_.htmlString.empty() && u == targetUrl;
  if (isFileUrl(u) && !ownStagedPage &&
      (!s_.localFilesEnabled || (!s_.privateFilesRoot.empty() && FileUrlUnder(u, s_.privateFilesRoot))))
    return RuleVerdict::Block;
  if (s_.localhostEnabled && s_.privateNetworksEnabled) return RuleVerdict::Pass;
  // Names are looked up before any byte goes out, off the loop; answers are cached.
  hvn::HostReach reach;
  if (!resolver_.ReachNow(u, reach, whenKnown, waitMs)) return RuleVerdict::AwaitLookup;
  return (!s_.localhostEnabled && reach.loopback) || (!s_.privateNetworksEnabled && reach.privateNetwork)
             ? RuleVerdict::Block
             : RuleVerdict::Pass;
}

bool PdfClient::BlockedByRules(const std::string& u) {
  int64_t waitMs = 0;
  return CheckRules(u, nullptr, waitMs) == RuleVerdict::Block;
}

std::shared_ptr<engine::ResourceRequestHandler> PdfClient::GetResourceRequestHandler(
    Browser, Frame frame, std::shared_ptr<engine::Request> request, bool isNavigation) {
  const std::string u = request->GetURL();
  int64_t waitMs = 0;
  const RuleVerdict verdict = CheckRules(u, nullptr, waitMs);
  if (verdict == RuleVerdict::AwaitLookup)
    return std::make_shared<PdfLookupWaitRequestHandler>(weak_from_this(), isNavigation);
  return DecidedRequestHandler(frame, u, isNavigation, verdict);
}

std::shared_ptr<engine::ResourceRequestHandler> PdfClient::DecidedRequestHandler(Frame frame, const std::string& u,
                                                                                 bool isNavigation,
                                                                                 RuleVerdict verdict) {
  if (verdict == RuleVerdict::Block) {
    if (!blockHandler_) blockHandler_ = std::make_shared<PdfBlockRequestHandler>(log_);
    return blockHandler_;
  }
  bool mainNavigation = isNavigation && frame && frame->IsMain();
  // Both origins as the browser writes them, whatever the spelling of the target.
  std::string mainOrigin = hvn::UrlOrigin(targetUrl);
  bool sameOrigin = mainOrigin.empty() || hvn::UrlOrigin(u) == mainOrigin;
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
      auto h = std::make_shared<PdfHeadersRequestHandler>(log_);
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
      auto h = std::make_shared<PdfHeadersRequestHandler>(log_);
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
