// Escaping for text that the client places inside hand-written JSON and
// inside generated page scripts, and the number format both use.
#pragma once

#include <string>

// Text for a JSON string literal (without the enclosing quotes). Works on
// bytes: multi-byte UTF-8 passes through untouched, so invalid UTF-8 from the
// page is carried along rather than rejected.
std::string EscapeJsonString(const std::string& text);

// Text for a JavaScript string literal between double quotes.
std::string EscapeJsString(const std::string& text);

// "%.6g", independent of the process locale.
std::string FormatNumber(double value);
