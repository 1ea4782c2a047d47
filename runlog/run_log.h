// The log of one run: "[+Nms] " lines on standard output (ordinary lines
// only when verbose) and appended to an optional log file. Every layer
// writes through the value it is handed, so that runs sharing a process
// (batch jobs) keep their own times, verbosity, files and lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RunLog {
 public:
  explicit RunLog(int64_t startTimeNs = NowNs()) : startTime_(startTimeNs) {}

  void SetLogFilePath(const std::string& path) { logFilePath_ = path; }
  const std::string& logFilePath() const { return logFilePath_; }
  void SetStartTime(int64_t ns) { startTime_ = ns; }
  int64_t startTime() const { return startTime_; }
  void SetVerbose(bool v) { verbose_ = v; }
  bool verbose() const { return verbose_; }
  // A batch job's standard-output lines are kept here (without their
  // newline) instead of being written.
  void CaptureOutput(std::shared_ptr<std::vector<std::string>> lines) { captured_ = std::move(lines); }

  void Log(const std::string& message) const;
  void LogError(const std::string& message) const;
  // A line that bypasses the prefix and the log file (the run's result line).
  void WriteOutputLine(const std::string& text) const;

  static int64_t NowNs();
  int64_t ElapsedMs() const { return (NowNs() - startTime_) / 1000000; }

 private:
  void Write(const std::string& message, bool error) const;

  std::string logFilePath_;
  int64_t startTime_ = 0;
  bool verbose_ = false;
  std::shared_ptr<std::vector<std::string>> captured_;
};
