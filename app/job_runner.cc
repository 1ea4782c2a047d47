#include "app/job_runner.h"

#include <chrono>
#include <memory>

#include "app/run_folders.h"
#include "config/command_line.h"
#include "config/utf8.h"

std::string LastError(const std::vector<std::string>& lines) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    size_t at = it->find("ERROR: ");
    if (at == std::string::npos) continue;
    std::string message = it->substr(at + 7);
    if (message.rfind("[", 0) == 0 && message.find("] ") != std::string::npos)
      message = message.substr(message.find("] ") + 2);
    return message;
  }
  return "";
}

JobRunner::JobRunner(const RunnerOptions& options)
    : options_(options), pool_(static_cast<size_t>(options.workers)) {
  for (int i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { Work(); });
}

JobRunner::~JobRunner() { Stop(); }

bool JobRunner::Push(RunnerJob job, int waitMs) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!room_.wait_for(lock, std::chrono::milliseconds(waitMs),
                      [&] { return closed_ || jobs_.size() < options_.queueCapacity; }) ||
      closed_)
    return false;
  jobs_.push_back(std::move(job));
  ready_.notify_one();
  return true;
}

size_t JobRunner::QueueLength() {
  std::lock_guard<std::mutex> lock(mu_);
  return jobs_.size();
}

// Browsers die with the thread that started them: workers stay until the
// pool is emptied.
void JobRunner::Work() {
  for (;;) {
    RunnerJob job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      ready_.wait(lock, [&] { return !jobs_.empty() || closed_; });
      if (jobs_.empty()) break;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      room_.notify_one();
    }
    Run(job);
  }
  std::unique_lock<std::mutex> lock(mu_);
  ++finishedWorkers_;
  done_.notify_all();
  done_.wait(lock, [&] { return released_; });
}

void JobRunner::Stop() {
  std::unique_lock<std::mutex> lock(mu_);
  if (stopped_) return;
  stopped_ = closed_ = true;
  ready_.notify_all();
  room_.notify_all();
  done_.wait(lock, [&] { return finishedWorkers_ == options_.workers; });
  lock.unlock();
  pool_.RetireAll();
  lock.lock();
  released_ = true;
  done_.notify_all();
  lock.unlock();
  for (auto& w : workers_) w.join();
}

void JobRunner::Run(const RunnerJob& job) {
  auto lines = std::make_shared<std::vector<std::string>>();
  RunLog log;
  log.CaptureOutput(lines);
  JobResult result;
  auto finish = [&](int status, const std::string& error) {
    result.status = status;
    result.error = error;
    result.elapsedMs = log.ElapsedMs();
    result.log = *lines;
    if (job.done) job.done(result);
  };
  std::vector<std::string> args = options_.jobDefaults;
  args.insert(args.end(), job.args.begin(), job.args.end());
  std::vector<std::u32string> wide = {U"halvern"};
  for (const std::string& a : job.args) wide.push_back(DecodeUtf8Lenient(a));

  LaunchRecord record;
  if (ParseConversionSettings(wide, record, log, options_.jobDefaults) != 0) return finish(1, LastError(*lines));
  record.settings = WithAbsolutePaths(record.settings);
  record.settings.privateFilesRoot = job.privateFilesRoot;
  result.outputFormat = record.outputFormat;
  BrowserPool::Lease lease = pool_.Take(LaunchKey(record, args), record, args, log);
  if (!lease) {
    result.browserFailed = true;
    return finish(1, LastError(*lines));
  }
  if (lease->jobs > 0) {
    // A fresh launch named them among its own lines.
    log.Log("[main] URL:    " + record.url);
    log.Log("[main] Output: " + record.output);
  }
  // An HTML string is staged where no other job's page looks.
  std::string ownStaging;
  if (job.stagingDir.empty() && record.url.empty() && !record.htmlString.empty())
    ownStaging = MakeRunFolder("hvn_job_");
  engine::MakeCurrent(lease->engine);
  const int64_t engineLogStart = FileSize(lease->launched.engineLog);
  JobOutcome outcome =
      RunJobOnBrowser(record, log, lease->launched, true, job.stagingDir.empty() ? ownStaging : job.stagingDir);
  engine::CloseBrowsers();
  CopyEngineLog(lease->launched.engineLog, log, engineLogStart);
  const bool alive = engine::BrowserAlive();
  result.browserFailed = !outcome.success && !alive;
  const bool retire = ++lease->jobs >= options_.recycleAfter || !alive ||
                      engine::BrowserMemoryBytes() > options_.recycleMemoryMb * 1024 * 1024;
  engine::MakeCurrent(nullptr);
  pool_.Give(lease, retire);
  if (!ownStaging.empty()) RemoveRunFolder(ownStaging);
  finish(outcome.success ? 0 : 1, outcome.error);
}
