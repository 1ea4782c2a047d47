// The engine's own diagnostics, written to the browser's log file.
#pragma once

#include <string>

namespace engine {

// An "[engine] " line in the browser's log file, when the run has one.
void EngineLog(const std::string& message);

}  // namespace engine
