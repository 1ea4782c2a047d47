// The engine's own diagnostics, written to the browser's log file.
#pragma once

#include <string>

namespace engine {

// Sends "[engine] " lines to fd (-1: nowhere).
void SetEngineLogFd(int fd);
void EngineLog(const std::string& message);

}  // namespace engine
