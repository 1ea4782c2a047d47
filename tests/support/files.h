// A scratch folder and whole-file reads and writes, for tests of every kind
// (header only: no server, no test framework).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace testfiles {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at destruction.
struct TempDir {
  TempDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    path_ = ((ec ? "/tmp" : base) / "hvn_test_XXXXXX").string();
    if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp " + path_ + ": " + std::strerror(errno));
  }
  ~TempDir() {  // quietly: a test may have removed it already
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;  // one owner removes the folder
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string path_;
};

// Empty when missing. Plain read(2): /proc files report size 0, and a
// directory must not throw.
inline std::string ReadFile(const std::string& path) {
  std::string data;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buf[65536];
  for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return data;
}
inline void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace testfiles
