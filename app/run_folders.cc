#include "app/run_folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
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

namespace {

constexpr char kLockName[] = "/.hvn-run.lock";

std::string TempRoot() {
  const char* env = std::getenv("TMPDIR");
  std::string root = env && *env ? env : "/tmp";
  if (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

// The lock lives as long as this process, however it ends, so no pid that a
// later process may reuse decides whether the folder is still in use. It is
// taken under another name first: a folder's lock file is never seen unlocked.
// A batch makes and removes folders all along: their locks are let go of.
std::mutex gLocksMutex;
std::map<std::string, int> gLocks;

void LockRunFolder(const std::string& path) {
  std::string staging = path + "/.hvn-run.lock." + NewUuidText();
  int fd = open(staging.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX) != 0 || rename(staging.c_str(), (path + kLockName).c_str()) != 0) {
    unlink(staging.c_str());
    close(fd);
    return;
  }
  std::lock_guard<std::mutex> lock(gLocksMutex);
  gLocks[path] = fd;
}

bool IsRunFolderName(const std::string& name) {
  for (const char* prefix : {"cef_cache_", "cef_log_", "hvn_job_"}) {
    size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) == 0 && name.size() == n + 36) return true;
  }
  return false;
}

}  // namespace

std::string RunFolderRoot() { return TempRoot(); }

std::string MakeRunFolder(const std::string& prefix) {
  std::string path = TempRoot() + "/" + prefix + NewUuidText();
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  // Staged pages and documents are nobody else's to read.
  chmod(path.c_str(), 0700);
  LockRunFolder(path);
  return path;
}

void RemoveRunFolder(const std::string& path) {
  RemoveFolderWithRetry(path, 5, 100);
  std::lock_guard<std::mutex> lock(gLocksMutex);
  auto it = gLocks.find(path);
  if (it == gLocks.end()) return;
  close(it->second);
  gLocks.erase(it);
}

void RemoveAbandonedRunFolders() {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(TempRoot(), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!IsRunFolderName(name)) continue;
    // A folder without a lock file is being made, or is not ours to judge.
    int fd = open((it->path().string() + kLockName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::error_code removeError;
      std::filesystem::remove_all(it->path(), removeError);
    }
    close(fd);
  }
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

bool WritePrivateFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && done == text.size();
}
