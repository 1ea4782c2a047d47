// The batch's browsers: one per launch setting in use, at most a fixed
// number alive, the least recently used closing when another is needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/conversion_job.h"

class BrowserPool {
 public:
  struct Browser {
    std::shared_ptr<engine::Engine> engine;
    LaunchedBrowser launched;
    std::string key;
    int jobs = 0;
    bool busy = false;
    uint64_t lastUse = 0;
  };
  // A browser held by one job at a time.
  using Lease = Browser*;

  explicit BrowserPool(size_t maxBrowsers) : max_(maxBrowsers) {}
  // An idle live browser launched with key, else a new one (launch lines go
  // to log); null, with the error logged, when none can start.
  Lease Take(const std::string& key, const LaunchRecord& record, const std::vector<std::string>& args,
             const RunLog& log);
  // Back to the pool, or closed when retire.
  void Give(Lease lease, bool retire);
  void RetireAll();
  size_t Size() {
    std::lock_guard<std::mutex> lock(mu_);
    return browsers_.size();
  }
  // Browsers closed because they died or reached their recycle limit.
  uint64_t Restarts() { return restarts_; }
  // A browser has started, and the last launch did not fail.
  bool LastLaunchOk() { return lastLaunchOk_; }

 private:
  std::unique_ptr<Browser> Remove(Browser* b);
  static void Stop(Browser& b);

  size_t max_;
  std::mutex mu_;
  std::vector<std::unique_ptr<Browser>> browsers_;
  uint64_t clock_ = 0;
  std::atomic<uint64_t> restarts_{0};
  std::atomic<bool> lastLaunchOk_{false};
};
