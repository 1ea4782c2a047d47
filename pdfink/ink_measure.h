#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdfink/ink_interpreter.h"

namespace pdfink {

struct PageInkRecord {
  std::int32_t pageIndex = 0;
  double pageHeight = 0;
  std::int32_t found = 0;
  double inkEnd = 0, inkEndText = 0, inkEndGeom = 0;
  std::uint32_t paints = 0;
  std::uint32_t fixedSkipped = 0;
  bool measuredWithoutRule = false;
  bool readable = true;
};

struct InkResult {
  std::int32_t pages = 0;
  std::int32_t lastPage = 0;  // 1-based; 0 when no examined page has ink
  double inkEnd = 0, inkEndText = 0, inkEndGeom = 0;  // points from the page top
  double pageHeight = 0;
  std::vector<PageInkRecord> records;  // last page first
  std::string error;
  double readXrefMs = 0, pageTreeMs = 0, measureMs = 0;
};

// Walks the pages backwards from the last and stops at the first one that
// carries ink.
bool measureInk(const std::string& pdfPath, const InkOptions& options, InkResult& result);

// measureInk with every exception turned into a false result.
bool measureInkGuarded(const std::string& pdfPath, const InkOptions& options, InkResult& result);

// Same measurement on a document already opened (or failed to open) from
// memory; used by the fuzzer and benchmarks.
bool measureInkBytes(std::vector<std::uint8_t> bytes, const InkOptions& options,
                     InkResult& result);

// The options of the --ink-measure= command mode.
InkOptions commandModeOptions();

// Formats a result as the command mode's JSON line (no trailing newline).
std::string formatInkResultLine(bool ok, const InkResult& result);

// Runs the --ink-measure= command mode for one path and returns its JSON
// line without a trailing newline. Trace lines, when enabled, have already
// gone to standard output through stdio; print the line the same way.
std::string InkMeasureCommandLine(const std::string& pdfPath);

}  // namespace pdfink
