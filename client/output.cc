#include "client/output_json.h"
#include "client/pdf_client.h"

void PdfClient::WriteOutputJson() {
  OutputJsonData d;
  d.errorMessage = errorMessage_;
  d.buildParseInfo = s_.buildParseInfo;
  d.viewportWidth = s_.viewportWidth;
  d.contentHeightPx = contentHeightPx;
  d.paperWidth = paperWidth;
  d.paperHeight = paperHeight;
  d.landscape = s_.landscape;
  d.effectiveScale = effectiveScale;
  d.lazyScroll = lazyScroll;
  d.contentEndInk = s_.contentEndInk;
  d.contentEndMarker = s_.contentEndMarker;
  d.firstPageAvailableHeight = s_.firstPageAvailableHeight;
  d.firstPageOffset = firstPageOffset;
  d.contentEndPage = contentEndPage;
  d.contentEndCut = contentEndCut;
  d.contentEndInkEnd = contentEndInkEnd;
  d.inkTailPx = inkTailPx;
  d.tailScale = ClampPrintScale(RequestedPrintScale(s_));
  d.contentEndPageHeight = contentEndPageHeight;
  d.contentEndInkError = contentEndInkError;
  d.docTitle = docTitle;
  d.docDescription = docDescription;
  d.docKeywords = docKeywords;
  d.webElementsSelectorsNonEmpty = !s_.webElementsSelectors.empty();
  d.elementsJson = elementsJson;
  for (const auto& e : consoleEntries) d.console.push_back({e.level, e.message, e.source, e.line});
  std::string path = ChooseOutputJsonPath(s_.outputJsonFile, s_.output, s_.configFilePath, log_);
  WriteOutputJsonFile(path, BuildOutputJsonText(d), s_.encryptedIo, log_);
}
