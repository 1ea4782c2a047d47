#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/page_number.h"
#include "client/pdf_client.h"
#include "client/scripts.h"
#include "client/text_escape.h"

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == ';' || s.back() == '\r')) s.pop_back();
  return s;
}

// True when the reply's result.value is the boolean true.
bool ReplyIsTrue(const engine::Json& result) {
  const engine::Json& v = EvaluatedValue(result);
  return v.is_boolean() && v.get<bool>();
}

std::string SelectorArray(const std::vector<std::string>& selectors) {
  std::string out;
  for (size_t i = 0; i < selectors.size(); ++i) {
    if (i) out += ",";
    out += "\"" + EscapeJsString(selectors[i]) + "\"";
  }
  return out;
}

std::string SelectorLoopScript(const std::vector<std::string>& selectors, const std::string& body) {
  return "(function(){var sels=[" + SelectorArray(selectors) +
         "];sels.forEach(function(s){try{var els=document.querySelectorAll(s);for(var i=0;i<els.length;i++)" + body +
         "}catch(e){}});})();";
}

}  // namespace

void PdfClient::BeginPagePreparation(Browser browser) {
  waitingForIdle_ = false;
  activeWait_.clear();
  if (s_.startupModeManual) {
    LogLine("[PdfClient] Manual startup mode - waiting for halvern.start() call...");
    WaitForManualStart(browser);
  } else if (!s_.windowStatus.empty()) {
    LogLine("[PdfClient] Waiting for window.status === \"" + s_.windowStatus + "\"...");
    WaitForWindowStatus(browser);
  } else {
    WaitForPageConditions(browser, 0);
  }
}

// The start signals are polled until they come or the navigation timeout
// renders the page as it is; from then on the print steps own the one reply
// slot, and a poll must not take it.
void PdfClient::WaitForManualStart(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_ || renderingAsIs_) return;
  auto self = shared_from_this();
  EvaluateScript(browser, "window.startConversionWithHalvern === true",
                 [self, browser](bool, const engine::Json& result) {
                   if (self->finished_ || self->renderingAsIs_) return;
                   if (ReplyIsTrue(result)) {
                     self->LogLine("[PdfClient] halvern.start() called - starting conversion.");
                     if (!self->s_.windowStatus.empty()) {
                       self->LogLine("[PdfClient] Waiting for window.status === \"" + self->s_.windowStatus + "\"...");
                       self->WaitForWindowStatus(browser);
                     } else {
                       self->WaitForPageConditions(browser, 0);
                     }
                   } else {
                     self->PostDelayed(100, [self, browser] { self->WaitForManualStart(browser); });
                   }
                 });
}

void PdfClient::WaitForWindowStatus(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_ || renderingAsIs_) return;
  auto self = shared_from_this();
  EvaluateScript(browser, "window.status === \"" + EscapeJsString(s_.windowStatus) + "\"",
                 [self, browser](bool, const engine::Json& result) {
                   if (self->finished_ || self->renderingAsIs_) return;
                   if (ReplyIsTrue(result)) {
                     self->LogLine("[PdfClient] window.status matched - starting conversion.");
                     self->WaitForPageConditions(browser, 0);
                   } else {
                     self->PostDelayed(100, [self, browser] { self->WaitForWindowStatus(browser); });
                   }
                 });
}

void PdfClient::WaitBeforePrinting(Browser browser) {
  if (DocumentChangedUnderPipeline()) return;
  if (delayStageEntered_.exchange(true)) return;
  ArmConversionTimeout();
  if (s_.conversionDelay < 1) {
    InjectCustomContent(browser);
    return;
  }
  LogLine("[PdfClient] Waiting " + std::to_string(s_.conversionDelay) + "ms before printing...");
  auto self = shared_from_this();
  PostDelayed(s_.conversionDelay, [self, browser] { self->InjectCustomContent(browser); });
}

void PdfClient::InjectCustomContent(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  if (!s_.customCSS.empty()) {
    LogLine("[PdfClient] Injecting custom CSS...");
    // A document without a head (SVG, XML) takes the style in its root; an
    // HTML style element styles those too.
    ExecuteOnMainFrame(browser,
                       "(function(){var __s=document.createElementNS('http://www.w3.org/1999/xhtml','style');"
                       "__s.textContent=\"" + EscapeJsString(s_.customCSS) +
                           "\";(document.head||document.documentElement).appendChild(__s);})();");
  }
  if (!s_.postLoadingScript.empty()) {
    LogLine("[PdfClient] Executing post-loading script...");
    ExecuteAsPage(browser, s_.postLoadingScript);
    if (s_.postLoadingScriptDelayAfter >= 1) {
      LogLine("[PdfClient] Waiting " + std::to_string(s_.postLoadingScriptDelayAfter) +
              "ms after post-loading script...");
      auto self = shared_from_this();
      PostDelayed(s_.postLoadingScriptDelayAfter, [self, browser] { self->DoLazyImageScroll(browser); });
      return;
    }
  }
  DoLazyImageScroll(browser);
}

void PdfClient::DoLazyImageScroll(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  lazyScroll = "off";
  if (!s_.lazyImagesLoadingEnabled || !s_.enableJavascript) {
    WaitBeforeClicks(browser);
    return;
  }
  auto self = shared_from_this();
  EvaluateScript(browser, Trimmed(kScript_lazy_signals), [self, browser](bool ok, const engine::Json& result) {
    if (self->finished_) return;
    self->OnLazySignals(browser, ok, result);
  });
}

void PdfClient::OnLazySignals(Browser browser, bool, const engine::Json& result) {
  const engine::Json* value = &EvaluatedValue(result);
  if (!value->is_object()) {
    LogLine("[PdfClient] Lazy-image scroll needed (signals unknown)");
    DoLazyImageScrollRun(browser);
    return;
  }
  // A count below -1 (unknown) or past a billion elements is the page's
  // invention; it still decides, clamped.
  auto field = [value](const char* name) -> long long {
    auto it = value->find(name);
    return it == value->end() ? -1 : PageInt(*it, -1, 1000000000, -1);
  };
  long long io = field("io"), scroll = field("scroll"), inert = field("inert"), lazyAttr = field("lazyAttr"),
            dataSrc = field("dataSrc"), frames = field("frames"), scripts = field("scripts");
  std::string text = "observers " + std::to_string(io) + ", scroll listeners " + std::to_string(scroll) +
                     " (inert " + std::to_string(inert) + ")" + ", loading=lazy " + std::to_string(lazyAttr) +
                     ", data-src " + std::to_string(dataSrc) + ", frames " + std::to_string(frames) +
                     ", scripts " + std::to_string(scripts);
  bool quiet = io == 0 && scroll == 0 && dataSrc == 0 && frames == 0;
  if (quiet && lazyAttr > 0) {
    LogLine("[PdfClient] Lazy-image scroll not needed; loading native lazy images eagerly (" + text + ")");
    DoLazyImageEagerLoad(browser);
  } else if (quiet) {
    lazyScroll = "skipped";
    LogLine("[PdfClient] Lazy-image scroll skipped: nothing on the page can react to it (" + text + ")");
    WaitBeforeClicks(browser);
  } else {
    LogLine("[PdfClient] Lazy-image scroll needed (" + text + ")");
    DoLazyImageScrollRun(browser);
  }
}

void PdfClient::DoLazyImageEagerLoad(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  lazyScroll = "eager";
  auto self = shared_from_this();
  EvaluateScript(
      browser, Trimmed(kScript_lazy_eager) + "(" + std::to_string(s_.lazyImagesLoadingDelay) + ")",
      [self, browser](bool, const engine::Json&) {
        if (self->finished_) return;
        self->WaitBeforeClicks(browser);
      },
      true);
}

void PdfClient::DoLazyImageScrollRun(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  lazyScroll = "done";
  LogLine("[PdfClient] Scrolling page to trigger lazy-loaded images (delay=" +
          std::to_string(s_.lazyImagesLoadingDelay) + "ms)...");
  // An observer sees an image only when it enters the view: a view shorter
  // than a step would let most images slip past between two steps.
  GetRenderHandler();
  const int normalHeight = renderHandler_->height;
  const int stepHeight = s_.viewportHeight >= 1 ? s_.viewportHeight : 800;
  if (stepHeight != normalHeight) ResizeView(browser, stepHeight);
  auto self = shared_from_this();
  EvaluateScript(
      browser, Trimmed(kScript_lazy_scroll) + "(" + std::to_string(s_.lazyImagesLoadingDelay) + ")",
      [self, browser, normalHeight, stepHeight](bool, const engine::Json& result) {
        if (self->finished_) return;
        if (stepHeight != normalHeight) self->ResizeView(browser, normalHeight);
        const engine::Json& v = EvaluatedValue(result);
        if (v.is_string()) self->LogLine("[PdfClient] Lazy scroll: " + v.get<std::string>());
        self->WaitBeforeClicks(browser);
      },
      true);
}

void PdfClient::WaitBeforeClicks(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  if (!s_.clickElementsSelectors.empty() && s_.clickElementsDelayBefore >= 1) {
    LogLine("[PdfClient] Waiting " + std::to_string(s_.clickElementsDelayBefore) + "ms before clicks...");
    auto self = shared_from_this();
    PostDelayed(s_.clickElementsDelayBefore, [self, browser] { self->ClickElements(browser); });
    return;
  }
  ClickElements(browser);
}

void PdfClient::ClickElements(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  if (s_.clickElementsSelectors.empty()) {
    DoHideElements(browser);
    return;
  }
  LogLine("[PdfClient] Clicking " + std::to_string(s_.clickElementsSelectors.size()) + " selector(s)...");
  ExecuteOnMainFrame(browser, SelectorLoopScript(s_.clickElementsSelectors, "els[i].click();"));
  if (s_.clickElementsDelayAfter >= 1) {
    LogLine("[PdfClient] Waiting " + std::to_string(s_.clickElementsDelayAfter) + "ms after clicks...");
    auto self = shared_from_this();
    PostDelayed(s_.clickElementsDelayAfter, [self, browser] { self->DoHideElements(browser); });
    return;
  }
  DoHideElements(browser);
}

void PdfClient::DoHideElements(Browser browser) {
  if (DocumentChangedUnderPipeline() || finished_) return;
  if (!s_.hiddenWebElementsSelectors.empty()) {
    LogLine("[PdfClient] Hiding " + std::to_string(s_.hiddenWebElementsSelectors.size()) + " selector(s)...");
    ExecuteOnMainFrame(browser, SelectorLoopScript(s_.hiddenWebElementsSelectors, "els[i].style.display='none';"));
  }
  if (s_.outputFormat == "png") {
    if (s_.buildParseInfo) {
      auto self = shared_from_this();
      CaptureDocumentMetadata(browser, [self](Browser b) { self->DoCaptureScreenshot(b); });
    } else {
      DoCaptureScreenshot(browser);
    }
  } else if (!s_.visibleWebElementSelector.empty()) {
    DoIsolateVisibleElement(browser);
  } else {
    DoAnchorInjection(browser);
  }
}
