#include "app/run_log.h"
#include "client/pdf_client.h"
#include "client/text_escape.h"

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
    frame->ExecuteJavaScript(BuildPostFormScript(targetUrl, s_.httpPostFields), frame->GetURL(), 0);
  }
}
