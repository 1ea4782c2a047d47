#include "app/run_log.h"

#include <time.h>

#include <cstdio>
#include <mutex>

namespace {
std::mutex gFileMutex;

std::string FormatLine(int64_t elapsedMs, const std::string& message, bool error) {
  std::string line = "[+" + std::to_string(elapsedMs) + "ms] ";
  if (error) line += "ERROR: ";
  line += message;
  line += '\n';
  return line;
}
}  // namespace

RunLog& RunLog::Get() {
  static RunLog log;
  return log;
}

int64_t RunLog::NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void RunLog::Log(const std::string& message) { Write(message, false); }
void RunLog::LogError(const std::string& message) { Write(message, true); }

void RunLog::Write(const std::string& message, bool error) {
  if (error || verbose_) {
    std::string line = FormatLine(ElapsedMs(), message, error);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  if (!logFilePath_.empty()) {
    // Open per line so the file stays complete if the process is killed.
    std::string line = FormatLine(ElapsedMs(), message, error);
    std::lock_guard<std::mutex> lock(gFileMutex);
    if (FILE* f = std::fopen(logFilePath_.c_str(), "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  }
}
