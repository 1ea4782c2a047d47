#include "config/strict_options.h"

#include <fstream>
#include <iterator>

#include "config/command_line.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

struct StrictFlag {
  const char* name;
  const char* key;
  bool ConversionSettings::*field;
  bool value;
};

constexpr StrictFlag kStrictFlags[] = {
    {"--disable-private-networks", "privateNetworksEnabled", &ConversionSettings::privateNetworksEnabled, false},
    {"--fail-on-console-exceptions", "failOnConsoleExceptions", &ConversionSettings::failOnConsoleExceptions, true},
    {"--fail-on-resource-loading-failed", "failOnResourceLoadingFailed", &ConversionSettings::failOnResourceLoadingFailed, true},
    {"--outline", "documentOutline", &ConversionSettings::documentOutline, true},
    {"--prefer-css-page-size", "preferCssPageSize", &ConversionSettings::preferCssPageSize, true},
    {"--linearize", "linearize", &ConversionSettings::linearize, true},
};

enum class StrictKind { Text, WholeNumber, TemplateFile };

struct StrictOption {
  const char* prefix;
  const char* key;
  StrictKind kind;
  std::string ConversionSettings::*text;
  int ConversionSettings::*number;
};

// Templates come from files so that their HTML needs no shell quoting.
constexpr StrictOption kStrictOptions[] = {
    {"--wait-for-selector=", "waitForSelector", StrictKind::Text, &ConversionSettings::waitForSelector, nullptr},
    {"--wait-for-expression=", "waitForExpression", StrictKind::Text, &ConversionSettings::waitForExpression, nullptr},
    {"--wait-for-network-idle=", "waitForNetworkIdle", StrictKind::WholeNumber, nullptr,
     &ConversionSettings::waitForNetworkIdle},
    {"--fail-on-resource-status=", "failOnResourceStatus", StrictKind::Text, &ConversionSettings::failOnResourceStatus,
     nullptr},
    {"--header-template=", "headerTemplate", StrictKind::TemplateFile, &ConversionSettings::headerTemplate, nullptr},
    {"--footer-template=", "footerTemplate", StrictKind::TemplateFile, &ConversionSettings::footerTemplate, nullptr},
    {"--pdf-title=", "pdfTitle", StrictKind::Text, &ConversionSettings::pdfTitle, nullptr},
    {"--pdf-author=", "pdfAuthor", StrictKind::Text, &ConversionSettings::pdfAuthor, nullptr},
    {"--pdf-subject=", "pdfSubject", StrictKind::Text, &ConversionSettings::pdfSubject, nullptr},
    {"--pdf-keywords=", "pdfKeywords", StrictKind::Text, &ConversionSettings::pdfKeywords, nullptr},
    {"--pdf-creator=", "pdfCreator", StrictKind::Text, &ConversionSettings::pdfCreator, nullptr},
    {"--pdf-user-password=", "pdfUserPassword", StrictKind::Text, &ConversionSettings::pdfUserPassword, nullptr},
    {"--pdf-owner-password=", "pdfOwnerPassword", StrictKind::Text, &ConversionSettings::pdfOwnerPassword, nullptr},
    {"--pdf-permissions=", "pdfPermissions", StrictKind::Text, &ConversionSettings::pdfPermissions, nullptr},
};

// The whole text is one base-10 number: "250ms" is not 250 here.
bool ParseWholeNumber(const std::string& text, int& out) {
  const size_t digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  return ParseIntValue(text, out);
}

std::string ApplyStrictValue(const StrictOption& o, const std::string& value, ConversionSettings& s) {
  const std::string name = o.prefix;
  if (value.empty()) return "Option " + name + " needs a value.";
  switch (o.kind) {
    case StrictKind::Text:
      s.*o.text = value;
      return "";
    case StrictKind::WholeNumber:
      return ParseWholeNumber(value, s.*o.number) ? "" : "Invalid value for " + name;
    case StrictKind::TemplateFile: {
      std::ifstream in(value, std::ios::binary);
      if (!in) return "Option " + name + " names a file that cannot be read: " + value;
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text.empty()) return "Option " + name + " names an empty file: " + value;
      s.*o.text = text;
      return "";
    }
  }
  return "";
}

}  // namespace

std::string ApplyStrictOption(const std::string& a, ConversionSettings& s, bool& handled) {
  handled = true;
  for (const auto& f : kStrictFlags) {
    if (a == f.name) {
      s.*f.field = f.value;
      s.givenAs[f.key] = f.name;
      return "";
    }
    // "--fail-on-console-exceptions=false" would otherwise pass unread.
    if (StartsWith(a, f.name) && a[std::char_traits<char>::length(f.name)] == '=')
      return std::string("Option ") + f.name + " takes no value.";
  }
  for (const auto& o : kStrictOptions) {
    // Without its "=", the value would be taken for the URL or the output.
    if (a + "=" == o.prefix) return std::string("Option ") + o.prefix + " needs a value.";
    if (!StartsWith(a, o.prefix)) continue;
    s.givenAs[o.key] = o.prefix;
    return ApplyStrictValue(o, a.substr(std::char_traits<char>::length(o.prefix)), s);
  }
  handled = false;
  return "";
}

std::vector<std::string> StrictOptionNames() {
  std::vector<std::string> names;
  for (const auto& f : kStrictFlags) names.push_back(f.name);
  for (const auto& o : kStrictOptions) names.push_back(o.prefix);
  return names;
}
