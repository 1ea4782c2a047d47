// The printed PDF rewritten the way readers expect it: document information
// and XMP metadata, fast web view, password protection. The browser cannot
// do these itself, so the file it printed is rewritten with libqpdf.
#pragma once

#include <string>

#include "config/settings.h"

// What the page itself says, for the metadata keys the host left unset.
struct PageMetadata {
  std::string title, author, description, keywords;
};

// Whether the settings ask for a finishing step at all: a run without one
// keeps the browser's file byte for byte.
bool PdfFinishingWanted(const ConversionSettings& s);

// Reads the printed file at source and returns the finished file's bytes in
// out; false with the reason in error.
bool FinishPdf(const std::string& source, const ConversionSettings& s, const PageMetadata& page, std::string& out,
               std::string& error);

// "metadata, linearized, protected (AES-256)": what FinishPdf does, for the log.
std::string DescribeFinishing(const ConversionSettings& s);
