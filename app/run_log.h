// Process-wide run log: "[+Nms] " lines on standard output (ordinary lines
// only when verbose) and appended to an optional log file.
#pragma once

#include <cstdint>
#include <string>

class RunLog {
 public:
  static RunLog& Get();

  void SetLogFilePath(const std::string& path) { logFilePath_ = path; }
  const std::string& logFilePath() const { return logFilePath_; }
  void SetStartTime(int64_t ns) { startTime_ = ns; }
  int64_t startTime() const { return startTime_; }
  void SetVerbose(bool v) { verbose_ = v; }
  bool verbose() const { return verbose_; }

  void Log(const std::string& message);
  void LogError(const std::string& message);

  static int64_t NowNs();
  int64_t ElapsedMs() const { return (NowNs() - startTime_) / 1000000; }

 private:
  void Write(const std::string& message, bool error);

  std::string logFilePath_;
  int64_t startTime_ = 0;
  bool verbose_ = false;
};

inline void LogLine(const std::string& message) { RunLog::Get().Log(message); }
inline void LogErrorLine(const std::string& message) { RunLog::Get().LogError(message); }
