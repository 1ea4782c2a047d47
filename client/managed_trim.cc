#include "client/pdf_client.h"

// Managed trim measures the content end before (marker) or after (ink)
// printing; until those passes exist the document prints whole.
void PdfClient::DoPrepareManagedTrim(Browser browser) { DoPrintActual(browser); }

void PdfClient::DoPrepareManagedTrimInk(Browser browser) { DoPrintActual(browser); }

void PdfClient::RunInkPass(const std::string&) {}
