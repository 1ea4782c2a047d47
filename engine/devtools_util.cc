#include "engine/devtools_util.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "engine/json_text.h"

namespace engine {

using json = nlohmann::json;

json PrintParams(const PdfPrintSettings& s) {
  json p = {
      {"transferMode", "ReturnAsStream"},
      {"landscape", s.landscape},
      {"printBackground", s.printBackground},
      {"marginTop", s.marginTop},
      {"marginRight", s.marginRight},
      {"marginBottom", s.marginBottom},
      {"marginLeft", s.marginLeft},
      {"preferCSSPageSize", s.preferCssPageSize},
      {"displayHeaderFooter", s.displayHeaderFooter},
      {"generateDocumentOutline", s.generateDocumentOutline},
  };
  // The browser builds the outline from the tagging tree: an explicit "no
  // tagging" leaves it empty, where its own default still gives one.
  if (s.generateTaggedPdf || !s.generateDocumentOutline) p["generateTaggedPDF"] = s.generateTaggedPdf;
  // Zero means "the browser's default" for these.
  if (s.scale > 0) p["scale"] = s.scale;
  if (s.paperWidth > 0) p["paperWidth"] = s.paperWidth;
  if (s.paperHeight > 0) p["paperHeight"] = s.paperHeight;
  if (!s.pageRanges.empty()) p["pageRanges"] = s.pageRanges;
  if (s.displayHeaderFooter) {
    p["headerTemplate"] = s.headerTemplate;
    p["footerTemplate"] = s.footerTemplate;
  }
  return p;
}

namespace {

std::string ReplaceInvalidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len > 0 && i + len <= n && !(c == 0xC0 || c == 0xC1 || c > 0xF4);
    for (size_t k = 1; ok && k < len; ++k) ok = (s[i + k] & 0xC0) == 0x80;
    if (ok && len == 3) {
      unsigned cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6);
      ok = cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
    }
    if (ok && len == 4) {
      unsigned cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12);
      ok = cp >= 0x10000 && cp <= 0x10FFFF;
    }
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace

nlohmann::ordered_json ParseProtocolMessage(const char* data, size_t size) {
  std::string text(data, size);
  // The browser escapes every surrogate, paired or not, so a lone one can
  // only appear as an escape.
  if (text.find("\\u") != std::string::npos) text = ReplaceLoneSurrogates(text);
  auto msg = nlohmann::ordered_json::parse(text, nullptr, false);
  if (msg.is_discarded()) msg = nlohmann::ordered_json::parse(ReplaceInvalidUtf8(text), nullptr, false);
  return msg.is_discarded() ? nlohmann::ordered_json() : msg;
}

std::string UncaughtExceptionText(const nlohmann::ordered_json& d) {
  std::string text = d.value("text", "Uncaught");
  auto ex = d.find("exception");
  if (ex == d.end() || !ex->is_object()) return text;
  std::string type = ex->value("type", ""), subtype = ex->value("subtype", "");
  std::string what;
  if (type == "string") {
    what = ex->value("value", "");
  } else if (type == "undefined") {
    what = "undefined";
  } else if (type == "object" && subtype == "null") {
    what = "null";
  } else if (type == "bigint") {
    what = ex->value("unserializableValue", ex->value("description", ""));
    if (!what.empty() && what.back() == 'n') what.pop_back();
  } else if (type == "object" && subtype == "error") {
    // The stack minus its frames: the error's own text, lines and all.
    what = ex->value("description", "");
    size_t frames = what.find("\n    at ");
    if (frames != std::string::npos) what.resize(frames);
  } else if (type == "object") {
    what = "[object " + ex->value("className", "Object") + "]";
  } else if (ex->contains("description")) {
    what = ex->value("description", "");  // numbers and symbols as the script engine writes them
  } else if (ex->contains("value")) {
    what = (*ex)["value"].dump();
  }
  return text + " " + what;
}

bool ExceptionNeedsItsStringConversion(const nlohmann::ordered_json& d) {
  auto ex = d.find("exception");
  return ex != d.end() && ex->is_object() && ex->value("type", "") == "object" && ex->value("subtype", "") != "null" &&
         ex->contains("objectId");
}

std::string NetErrorShortName(const std::string& errorText) {
  return errorText.rfind("net::", 0) == 0 ? errorText.substr(5) : errorText;
}

void ParseHostPort(const std::string& origin, std::string& host, int& port) {
  host.clear();
  port = 0;
  size_t schemeEnd = origin.find("://");
  std::string scheme = schemeEnd == std::string::npos ? "" : origin.substr(0, schemeEnd);
  std::string rest = schemeEnd == std::string::npos ? origin : origin.substr(schemeEnd + 3);
  rest = rest.substr(0, rest.find('/'));
  size_t at = rest.rfind('@');
  if (at != std::string::npos) rest = rest.substr(at + 1);
  size_t colon = std::string::npos;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    host = rest.substr(0, close == std::string::npos ? rest.size() : close + 1);
    if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') colon = close + 1;
  } else {
    colon = rest.find(':');
    host = rest.substr(0, colon);
  }
  if (colon != std::string::npos) {
    try {
      port = std::stoi(rest.substr(colon + 1));
    } catch (...) {
      port = 0;
    }
  }
  if (port == 0) port = scheme == "https" ? 443 : scheme == "http" ? 80 : 0;
}

bool Base64Decode(const std::string& in, std::string& out) {
  static const auto table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(a[i])] = static_cast<int8_t>(i);
    return t;
  }();
  out.clear();
  out.reserve(in.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (unsigned char c : in) {
    if (c == '=') {
      ++pad;
      continue;
    }
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    if (pad) return false;  // data after padding
    int v = table[c];
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return pad <= 2 && bits < 6;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

int ChromiumLogLevel(LogSeverity severity) {
  switch (severity) {
    case LogSeverity::Warning: return 1;
    case LogSeverity::Error: return 2;
    case LogSeverity::Fatal: return 3;
    default: return 0;
  }
}

std::vector<std::string> ChildEnvironment(char** env, const std::string& browserExecutable) {
  std::vector<std::string> out;
  std::string dir = browserExecutable.substr(0, browserExecutable.rfind('/'));
  std::string shipped = dir + "/vk_swiftshader_icd.json";
  struct stat st{};
  for (char** p = env; p && *p; ++p) {
    std::string v = *p;
    if (v.rfind("VK_ICD_FILENAMES=", 0) == 0) {
      std::string path = v.substr(17);
      if (stat(path.c_str(), &st) != 0 && stat(shipped.c_str(), &st) == 0) v = "VK_ICD_FILENAMES=" + shipped;
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace engine
