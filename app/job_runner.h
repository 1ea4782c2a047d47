// Conversions on warm browsers: a queue of jobs fed to worker threads, each
// job run on a browser leased from the pool. Batch mode and the service are
// fronts on it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/browser_pool.h"

struct RunnerOptions {
  int workers = 1;                        // jobs in flight at once
  int recycleAfter = 200;                 // jobs per browser
  int64_t recycleMemoryMb = 1500;         // browser processes' resident memory
  std::vector<std::string> jobDefaults;   // options below each job's own arguments
  size_t queueCapacity = 1;               // jobs waiting beyond those in flight
};

struct JobResult {
  int status = 1;  // 0: the conversion succeeded
  std::string error;
  std::vector<std::string> log;
  int64_t elapsedMs = 0;
  std::string outputFormat;  // of a job whose settings were read
  // No browser could start for the job, or its browser died under it: the
  // machine's failure rather than the page's.
  bool browserFailed = false;
};

struct RunnerJob {
  std::vector<std::string> args;  // the job's own arguments, over the defaults
  // Where an HTML string is staged; empty: a private folder of its own.
  std::string stagingDir;
  // A folder whose files the job's page may not load (the staged page aside).
  std::string privateFilesRoot;
  // Called on the worker thread once the job has ended.
  std::function<void(const JobResult&)> done;
};

// The message of the last error line, without its time and tag.
std::string LastError(const std::vector<std::string>& lines);

class JobRunner {
 public:
  explicit JobRunner(const RunnerOptions& options);
  ~JobRunner();
  // Queues job; false when the queue stays full for waitMs or is closed.
  bool Push(RunnerJob job, int waitMs);
  size_t QueueLength();
  // Runs what is queued, then closes every browser; jobs pushed later are refused.
  void Stop();
  size_t LiveBrowsers() { return pool_.Size(); }
  uint64_t BrowserRestarts() { return pool_.Restarts(); }
  // A browser has started, and the last launch did not fail.
  bool CanConvert() { return pool_.LastLaunchOk(); }

 private:
  void Work();
  void Run(const RunnerJob& job);

  RunnerOptions options_;
  BrowserPool pool_;
  std::mutex mu_;
  std::condition_variable ready_, room_, done_;
  std::deque<RunnerJob> jobs_;
  bool closed_ = false, released_ = false, stopped_ = false;
  int finishedWorkers_ = 0;
  std::vector<std::thread> workers_;
};
