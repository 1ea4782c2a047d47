#include "runlog/run_log.h"

#include <time.h>

#include <cstdio>
#include <mutex>

namespace {
// Runs of one process may share a log file.
std::mutex gFileMutex;

std::string FormatLine(int64_t elapsedMs, const std::string& message, bool error) {
  std::string line = "[+" + std::to_string(elapsedMs) + "ms] ";
  if (error) line += "ERROR: ";
  line += message;
  line += '\n';
  return line;
}
}  // namespace

int64_t RunLog::NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void RunLog::Log(const std::string& message) const { Write(message, false); }
void RunLog::LogError(const std::string& message) const { Write(message, true); }

void RunLog::WriteOutputLine(const std::string& text) const {
  if (captured_) {
    captured_->push_back(text);
    return;
  }
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void RunLog::Write(const std::string& message, bool error) const {
  if (error || verbose_) {
    std::string line = FormatLine(ElapsedMs(), message, error);
    if (captured_) {
      line.pop_back();
      captured_->push_back(std::move(line));
    } else {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
    }
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
