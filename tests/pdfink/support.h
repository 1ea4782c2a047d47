// Files, shell commands and case tables shared by the pdfink tests.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "pdfink/ink_measure.h"
#include "tests/support/files.h"

namespace pdfink_test {

using nlohmann::json;
using testfiles::ReadFile;
using testfiles::TempDir;
using testfiles::WriteFile;

inline json loadData(const std::string& name) { return json::parse(ReadFile(PDFINK_DATA "/" + name)); }

// Standard output of a shell command; status is its exit code.
inline std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int rc = p ? pclose(p) : -1;
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

inline bool toolAvailable(const std::string& name) { return !run("command -v " + name).empty(); }

// The command mode's options with the fields a case gives replaced.
inline pdfink::InkOptions inkOptions(const json& o) {
  pdfink::InkOptions options = pdfink::commandModeOptions();
  options.skipCanvas = o.value("skipCanvas", false);
  options.canvasRgb = o.value("canvasRgb", options.canvasRgb);
  options.fixedRects = o.value("fixedRects", options.fixedRects);
  options.fixedRuleOnFirstPage = o.value("fixedRuleOnFirstPage", true);
  options.firstPageOffset = o.value("firstPageOffset", 0.0);
  return options;
}

}  // namespace pdfink_test
