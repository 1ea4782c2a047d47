// Files, shell commands and case tables shared by the pdfink tests.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "pdfink/ink_measure.h"

namespace pdfink_test {

using nlohmann::json;

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline json loadData(const std::string& name) { return json::parse(readFile(PDFINK_DATA "/" + name)); }

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

// A fresh folder under $TMPDIR, removed with its contents.
struct TempDir {
  TempDir() {
    const char* root = std::getenv("TMPDIR");
    std::string pattern = std::string(root && *root ? root : "/tmp") + "/pdfink_test_XXXXXX";
    path = mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

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
