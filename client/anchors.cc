#include <climits>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/markers.h"
#include "client/page_number.h"
#include "client/pdf_client.h"
#include "client/pdf_finish.h"
#include "client/scripts.h"
#include "client/text_escape.h"
#include "engine/json_text.h"

namespace {

std::string Quoted(const std::string& s) { return "\"" + EscapeJsString(s) + "\""; }

// The string result.value of an evaluation reply, or empty.
std::string StringValue(const engine::Json& result) {
  const engine::Json& v = EvaluatedValue(result);
  return v.is_string() ? v.get<std::string>() : "";
}

void StoreMetadata(const engine::Json& obj, PdfClient& c) {
  auto text = [&obj](const char* key, std::string& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_string()) out = it->get<std::string>();
  };
  text("docTitle", c.docTitle);
  text("docDescription", c.docDescription);
  text("docKeywords", c.docKeywords);
  text("docAuthor", c.docAuthor);
}

}  // namespace

void PdfClient::DoAnchorInjection(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  if (s_.webElementsSelectors.empty()) {
    if (s_.buildParseInfo || PdfFinishingWanted(s_)) {
      auto self = shared_from_this();
      CaptureDocumentMetadata(browser, [self](Browser b) { self->DoBookmarks(b); });
    } else {
      DoBookmarks(browser);
    }
    return;
  }
  LogLine("[PdfClient] Injecting anchors for " + std::to_string(s_.webElementsSelectors.size()) + " selector(s)...");
  std::string list = "[";
  for (size_t i = 0; i < s_.webElementsSelectors.size(); ++i) {
    if (i) list += ",";
    list += Quoted(s_.webElementsSelectors[i]);
  }
  list += "]";
  std::string body = FillPlaceholders(kScript_anchors, {{"__MARKER__", Quoted(kWebElementMarkerUrl)}});
  std::string script = "(function(){var S=" + list + ",c=0;" + body + "})()";
  auto self = shared_from_this();
  EvaluateScript(browser, script, [self, browser](bool ok, const engine::Json& result) {
    self->OnAnchorResult(browser, ok, result);
  });
}

void PdfClient::OnAnchorResult(Browser browser, bool ok, const engine::Json& result) {
  LogLine("[PdfClient] Anchor injection JS callback received.");
  if (!ok) {
    LogErrorLine("[PdfClient] Anchor injection DevTools call failed.");
  } else {
    std::string value = StringValue(result);
    if (value.empty()) {
      LogErrorLine("[PdfClient] Anchor injection returned empty result.");
    } else {
      auto obj = engine::Json::parse(engine::ReplaceLoneSurrogates(value), nullptr, false);
      if (!obj.is_object()) {
        LogErrorLine("[PdfClient] Anchor injection: failed to parse JS result.");
      } else {
        StoreMetadata(obj, *this);
        auto h = obj.find("contentHeight");
        contentHeight = h == obj.end() ? 0 : static_cast<int>(PageInt(*h, INT_MIN, INT_MAX, 0));
        auto el = obj.find("elements");
        if (el != obj.end() && el->is_array()) elementsJson = el->dump();
      }
    }
  }
  if (finished_) return;
  DoBookmarks(browser);
}

void PdfClient::CaptureDocumentMetadata(Browser browser, std::function<void(Browser)> next) {
  if (DocumentChangedUnderPipeline()) return;
  LogLine("[PdfClient] Capturing document metadata for parseInfo...");
  std::string script = kScript_metadata;
  while (!script.empty() && (script.back() == '\n' || script.back() == ';')) script.pop_back();
  auto self = shared_from_this();
  EvaluateScript(browser, script, [self, browser, next](bool, const engine::Json& result) {
    if (self->finished_) return;
    auto obj = engine::Json::parse(engine::ReplaceLoneSurrogates(StringValue(result)), nullptr, false);
    if (obj.is_object()) StoreMetadata(obj, *self);
    next(browser);
  });
}

void PdfClient::DoBookmarks(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  if (!s_.pdfBookmarkOptionsSelectors.empty()) {
    LogLine("[PdfClient] Injecting bookmark links for " + std::to_string(s_.pdfBookmarkOptionsSelectors.size()) +
            " selector(s)...");
    std::string joined;
    for (size_t i = 0; i < s_.pdfBookmarkOptionsSelectors.size(); ++i) {
      if (i) joined += ", ";
      joined += s_.pdfBookmarkOptionsSelectors[i];
    }
    std::string script = FillPlaceholders(
        kScript_bookmarks, {{"__SELECTORS__", Quoted(joined)}, {"__MARKER__", Quoted(kBookmarkMarkerUrl)}});
    ExecuteOnMainFrame(browser, script);
  }
  DoPrint(browser);
}
