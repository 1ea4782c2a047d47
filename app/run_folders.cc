#include "app/run_folders.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

std::string NewUuidText() {
  std::random_device rd;
  unsigned char b[16];
  for (int i = 0; i < 8; ++i) {
    unsigned v = rd() & 0xFFFFu;
    b[2 * i] = static_cast<unsigned char>(v & 0xFF);
    b[2 * i + 1] = static_cast<unsigned char>(v >> 8);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string MakeRunFolder(const std::string& prefix) {
  const char* env = std::getenv("TMPDIR");
  std::string root = env && *env ? env : "/tmp";
  if (!root.empty() && root.back() == '/') root.pop_back();
  std::string path = root + "/" + prefix + NewUuidText();
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return path;
}

std::string InjectBaseHref(const std::string& html, const std::string& baseUrl) {
  if (baseUrl.empty()) return html;
  std::string tag = "<base href=\"" + baseUrl + "\">";
  std::string lower = html;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  size_t pos = lower.find("<head");
  if (pos != std::string::npos) {
    size_t after = pos + 5;
    if (after < html.size()) {
      char c = html[after];
      if (c == '>' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        size_t close = html.find('>', after);
        if (close != std::string::npos) {
          std::string out = html;
          out.insert(close + 1, tag);
          return out;
        }
      }
    }
  }
  return tag + html;
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  timespec req{ms / 1000, (ms % 1000) * 1000000L}, rem{};
  while (nanosleep(&req, &rem) != 0) {
    if (errno != EINTR) return;
    req = rem;
  }
}

void RemoveFolderWithRetry(const std::string& path, int attempts, int delayMs) {
  for (int i = 0; i < attempts; ++i) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (!ec) return;
    if (i + 1 < attempts && delayMs > 0) {
      timespec req{delayMs / 1000, (delayMs % 1000) * 1000000L}, rem{};
      bool failed = false;
      while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR) { failed = true; break; }
        req = rem;
      }
      if (failed) return;
    }
  }
}
