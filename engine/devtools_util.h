// Pure helpers of the DevTools backend, kept apart so that tests can reach them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/engine.h"

namespace engine {

// Page.printToPDF parameters; lengths are already inches.
nlohmann::json PrintParams(const PdfPrintSettings& s);

// A console argument (Runtime.RemoteObject) as the console would print it.
std::string RemoteObjectText(const nlohmann::json& remoteObject);

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
