// The service's counters, as Prometheus text.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class JobRunner;

class ServiceMetrics {
 public:
  void CountRequest(int status);
  void CountConversion(bool success, int64_t elapsedMs);
  std::string Text(JobRunner& runner);

 private:
  std::mutex mu_;
  std::map<int, uint64_t> requests_;
  uint64_t successes_ = 0, failures_ = 0;
  std::map<double, uint64_t> buckets_;  // upper bound in seconds -> conversions at or below it
  uint64_t count_ = 0;
  double sumSeconds_ = 0;
};
