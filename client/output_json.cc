#include "client/output_json.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "runlog/run_log.h"
#include "client/staged_file.h"
#include "client/text_escape.h"
#include "config/payload.h"
#include "engine/json_text.h"

namespace {

std::string Quoted(const std::string& text) { return "\"" + EscapeJsonString(text) + "\""; }

std::string Member(const char* indent, const char* key, const std::string& value) {
  return std::string(indent) + "\"" + key + "\": " + value;
}

std::string JoinLines(const std::vector<std::string>& members) {
  std::string out;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) out += ",\n";
    out += members[i];
  }
  return out;
}

std::string ContentEndObject(const OutputJsonData& d) {
  // Tail in points: CSS px × print scale × 72/96.
  const double pointsPerPx = d.tailScale * 72.0 / 96.0;
  const double tail = pointsPerPx * d.inkTailPx;
  return "{ \"page\": " + std::to_string(d.contentEndPage) +
         ", \"cut\": " + FormatNumber(d.contentEndCut) +
         ", \"inkEnd\": " + FormatNumber(d.contentEndInkEnd) +
         ", \"tail\": " + FormatNumber(tail) +
         ", \"pageHeight\": " + FormatNumber(d.contentEndPageHeight) + " }";
}

std::string ParseInfoObject(const OutputJsonData& d) {
  const char* in = "    ";
  std::vector<std::string> m;
  m.push_back(Member(in, "contentWidth", std::to_string(d.viewportWidth)));
  m.push_back(Member(in, "contentHeight", std::to_string(d.contentHeightPx)));
  // The host expects the sheet as it comes out of the printer.
  m.push_back(Member(in, "paperWidth", FormatNumber(d.landscape ? d.paperHeight : d.paperWidth)));
  m.push_back(Member(in, "paperHeight", FormatNumber(d.landscape ? d.paperWidth : d.paperHeight)));
  m.push_back(Member(in, "scaleFactor", FormatNumber(d.effectiveScale)));
  // lazyScroll is one of our own fixed words, so it is not escaped.
  m.push_back(Member(in, "lazyScroll", "\"" + d.lazyScroll + "\""));
  // The cache-bypass switch that could make this "thirdParty" or "all" is
  // never turned on, so the profile cache is always cleared.
  m.push_back(Member(in, "httpCache", "\"clear\""));
  if (d.contentEndInk) {
    m.push_back(Member(in, "contentEndMarker", "false"));
    m.push_back(Member(in, "contentEndInk", "true"));
    m.push_back(Member(in, "firstPageOffset", FormatNumber(d.firstPageOffset)));
    if (d.contentEndPage > 0) m.push_back(Member(in, "contentEnd", ContentEndObject(d)));
    if (!d.contentEndInkError.empty())
      m.push_back(Member(in, "contentEndInkError", Quoted(d.contentEndInkError)));
  } else if (d.contentEndMarker || d.firstPageAvailableHeight > 0) {
    m.push_back(Member(in, "contentEndMarker", "true"));
    m.push_back(Member(in, "firstPageOffset", FormatNumber(d.firstPageOffset)));
  }
  m.push_back(Member(in, "htmlDocTitle", Quoted(d.docTitle)));
  m.push_back(Member(in, "htmlDocDescription", Quoted(d.docDescription)));
  m.push_back(Member(in, "htmlDocKeywords", Quoted(d.docKeywords)));
  return "{\n" + JoinLines(m) + "\n  }";
}

std::string StringField(const nlohmann::json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::string ElementsArray(const std::string& elementsJson) {
  // The page's text is re-read and re-written with a fixed key order, so a
  // script that returns odd shapes cannot break the file.
  const nlohmann::json parsed = nlohmann::json::parse(engine::ReplaceLoneSurrogates(elementsJson), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_array()) return "[]";

  static const char* const kKeys[] = {"anchorId", "selector",    "id",           "text",
                                      "tagName",  "outerHTML",   "originalHref", "cssClassName"};
  std::string out = "[\n";
  bool first = true;
  for (const auto& el : parsed) {
    if (!el.is_object()) continue;
    if (!first) out += ",\n";
    first = false;
    out += "    {\n";
    for (const char* key : kKeys) {
      const std::string value = StringField(el, key);
      const bool last = std::string_view(key) == "cssClassName";
      if (value.empty() && std::string_view(key) == "originalHref") continue;
      out += "      \"";
      out += key;
      out += "\": ";
      out += Quoted(value);
      out += last ? "\n" : ",\n";
    }
    out += "    }";
  }
  out += "\n  ]";
  return out;
}

std::string ConsoleArray(const std::vector<OutputJsonData::Console>& entries) {
  std::string out = "[\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    out += "    {\"level\":" + Quoted(e.level) + ",\"message\":" + Quoted(e.message) +
           ",\"source\":" + Quoted(e.source) + ",\"line\":" + std::to_string(e.line) + "}";
    if (i + 1 < entries.size()) out += ",";
    out += "\n";
  }
  out += "  ]";
  return out;
}

std::string Normalised(const std::string& path) {
  std::error_code ec;
  std::string abs = std::filesystem::absolute(path, ec).string();
  if (ec || abs.empty()) abs = path;
  for (char& c : abs)
    if (c == '\\') c = '/';
  return abs;
}

}  // namespace

std::string BuildOutputJsonText(const OutputJsonData& d) {
  const char* in = "  ";
  std::vector<std::string> m;
  if (!d.errorMessage.empty()) m.push_back(Member(in, "error", Quoted(d.errorMessage)));
  if (d.buildParseInfo) m.push_back(Member(in, "parseInfo", ParseInfoObject(d)));
  if (d.webElementsSelectorsNonEmpty) m.push_back(Member(in, "elements", ElementsArray(d.elementsJson)));
  if (!d.console.empty()) m.push_back(Member(in, "console", ConsoleArray(d.console)));
  return "{\n" + JoinLines(m) + "\n}";
}

bool IsSamePath(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  return Normalised(a) == Normalised(b);
}

std::string ChooseOutputJsonPath(const std::string& outputJsonFile, const std::string& outputPath,
                                 const std::string& configFilePath, const RunLog& log) {
  std::string path = outputJsonFile;
  if (path.empty()) {
    // The last dot anywhere, folder names included: "out.d/report" gives
    // "out.json". Hosts rely on this exact derivation.
    const size_t dot = outputPath.rfind('.');
    path = (dot == std::string::npos ? outputPath : outputPath.substr(0, dot)) + ".json";
  }
  if (IsSamePath(path, configFilePath)) {
    std::string moved = outputPath + ".json";
    if (IsSamePath(moved, configFilePath)) moved = outputPath + ".output.json";
    log.LogError("[PdfClient] Output JSON path is the config file (" + path + "); writing to " + moved +
                 " instead so the config survives.");
    path = moved;
  }
  return path;
}

void WriteOutputJsonFile(const std::string& path, const std::string& text, bool encryptedIo, const RunLog& log) {
  std::string payload = text;
  if (encryptedIo) {
    try {
      payload = EncryptPayload(text);
    } catch (const std::exception& e) {
      // Better a readable file than none: the host still learns the result.
      log.LogError(std::string("[PdfClient] Failed to encrypt output JSON: ") + e.what());
    }
  }
  if (!WriteFileWhole(path, payload)) {
    log.LogError("[PdfClient] Failed to write output JSON: " + path);
    return;
  }
  log.Log("[PdfClient] Output JSON saved to: " + path);
}

std::string ConsoleLevelName(int severity) {
  switch (severity) {
    case 1: return "debug";  // verbose and debug share the value
    case 3: return "warn";
    case 4: return "error";
    case 5: return "fatal";
    default: return "log";  // default, info, disable and anything unknown
  }
}
