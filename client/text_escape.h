// Escaping for text that the client places inside hand-written JSON and
// inside generated page scripts, and the number format both use.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Text for a JSON string literal (without the enclosing quotes). Works on
// bytes: well-formed UTF-8 passes through untouched; a byte that starts no
// well-formed sequence (a file name that is not UTF-8, an encoded lone
// surrogate) becomes U+FFFD on its own.
std::string EscapeJsonString(const std::string& text);

// Text for a JavaScript string literal between double quotes.
std::string EscapeJsString(const std::string& text);

// "%.6g", independent of the process locale.
std::string FormatNumber(double value);

// A script template with its placeholders replaced in one pass from the
// left: a value is never searched again, so a selector that happens to
// contain another placeholder's name stays as written.
std::string FillPlaceholders(const std::string& text,
                             const std::vector<std::pair<std::string, std::string>>& values);
