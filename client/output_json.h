// The output JSON: a hand-formatted file for the host with the failure text,
// page metrics, element descriptions and console messages of a run.
#pragma once

#include <string>
#include <vector>

#include "runlog/run_log.h"

// Everything the writer reads, copied out of the client so the layout can be
// built and tested without a browser.
struct OutputJsonData {
  struct Console {
    std::string level;  // "log", "debug", "warn", "error" or "fatal"
    std::string message;
    std::string source;
    int line = 0;
  };

  std::string errorMessage;  // "error" member when non-empty

  bool buildParseInfo = false;  // "parseInfo" member
  int viewportWidth = 0;
  int contentHeightPx = 0;
  double paperWidth = 0;  // points, portrait orientation as configured
  double paperHeight = 0;
  bool landscape = false;
  double effectiveScale = 1.0;
  std::string lazyScroll = "off";

  bool contentEndInk = false;
  bool contentEndMarker = false;
  double firstPageAvailableHeight = 0;
  double firstPageOffset = 0;
  int contentEndPage = 0;  // 0: no measured page, no "contentEnd" object
  double contentEndCut = 0;
  double contentEndInkEnd = 0;
  double inkTailPx = 0;   // CSS px
  double tailScale = 1.0; // clamped requested print scale
  double contentEndPageHeight = 0;
  std::string contentEndInkError;

  std::string docTitle;
  std::string docDescription;
  std::string docKeywords;

  bool webElementsSelectorsNonEmpty = false;  // "elements" member
  std::string elementsJson;                   // JSON array text from the page

  std::vector<Console> console;  // "console" member when non-empty
};

// The file text, byte for byte; no line feed after the closing brace.
std::string BuildOutputJsonText(const OutputJsonData& data);

// outputJsonFile, else the output path with its last extension replaced by
// ".json". Never returns the configuration file: a collision moves the file
// to output + ".json" (or output + ".output.json") and logs an error line.
std::string ChooseOutputJsonPath(const std::string& outputJsonFile, const std::string& outputPath,
                                 const std::string& configFilePath, const RunLog& log);

// Lexical comparison after making both paths absolute; no symlink or ".."
// resolution. False when either is empty.
bool IsSamePath(const std::string& a, const std::string& b);

// Writes the text (encrypted when encryptedIo) and logs the outcome. Failures
// are logged only: the output JSON never changes the result of a run.
void WriteOutputJsonFile(const std::string& path, const std::string& text, bool encryptedIo, const RunLog& log);

// Console level name for an engine log severity (engine::LogSeverity values).
std::string ConsoleLevelName(int severity);
