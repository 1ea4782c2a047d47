// Pure helpers of the DevTools backend, kept apart so that tests can reach them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/engine.h"

namespace engine {

// Page.printToPDF parameters; lengths are already inches.
nlohmann::json PrintParams(const PdfPrintSettings& s);

// One protocol message. Lone UTF-16 surrogate escapes and invalid UTF-8
// become U+FFFD instead of failing the whole message; null when unreadable.
nlohmann::ordered_json ParseProtocolMessage(const char* data, size_t size);

// The console text of an uncaught exception (Runtime.ExceptionDetails), as
// the script engine words it: "Uncaught" and the thrown value converted to a
// string ("Uncaught Error: boom", "Uncaught str"). For objects that is a
// stand-in: their own conversion runs in the page (below).
std::string UncaughtExceptionText(const nlohmann::ordered_json& exceptionDetails);

// True when the thrown value is an object whose string conversion only the
// page can run (its toString may be its own).
bool ExceptionNeedsItsStringConversion(const nlohmann::ordered_json& exceptionDetails);

// The short name of a net error: "net::ERR_NAME_NOT_RESOLVED" -> "ERR_NAME_NOT_RESOLVED".
std::string NetErrorShortName(const std::string& protocolErrorText);

// "https://host:8443" -> host, 8443; the scheme's default port otherwise.
void ParseHostPort(const std::string& origin, std::string& host, int& port);

// Standard alphabet, padding optional, whitespace ignored; false on bad input.
bool Base64Decode(const std::string& in, std::string& out);

// Writes everything, retrying short writes; false on error.
bool WriteAll(int fd, const std::string& bytes);

// Chromium's --log-level (0 info, 1 warning, 2 error, 3 fatal).
int ChromiumLogLevel(LogSeverity severity);

// The browser's environment: ours, except that a Vulkan ICD path that does not
// exist is pointed at the one shipped beside the browser.
std::vector<std::string> ChildEnvironment(char** environ, const std::string& browserExecutable);

}  // namespace engine
