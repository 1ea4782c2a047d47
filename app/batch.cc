#include "app/batch.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/browser_pool.h"
#include "app/conversion_job.h"
#include "config/command_line.h"
#include "config/utf8.h"

namespace {

using Json = nlohmann::ordered_json;

// Longer lines are answered with an error unread: a job's arguments are a
// few kilobytes at most.
constexpr size_t kMaxLineBytes = 1 << 20;

// Lines taken from the input and not yet started; the reader waits while it
// is full, so that a signal leaves little behind.
class JobQueue {
 public:
  explicit JobQueue(size_t capacity) : capacity_(capacity) {}
  // False when the queue stays full for waitMs.
  bool Push(JobLine job, int waitMs) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!room_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return jobs_.size() < capacity_; }))
      return false;
    jobs_.push_back(std::move(job));
    ready_.notify_one();
    return true;
  }
  bool Pop(JobLine& job) {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait(lock, [&] { return !jobs_.empty() || closed_; });
    if (jobs_.empty()) return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
    room_.notify_one();
    return true;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  size_t capacity_;
  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::deque<JobLine> jobs_;
  bool closed_ = false;
};

std::mutex gOutputMutex;

void WriteResult(const Json& id, int status, int64_t elapsedMs, const std::string& error,
                 const std::vector<std::string>& log) {
  Json line = {{"id", id}, {"status", status}, {"elapsedMs", elapsedMs}, {"error", ValidUtf8(error)},
               {"log", Json::array()}};
  for (const std::string& l : log) line["log"].push_back(ValidUtf8(l));
  std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  std::lock_guard<std::mutex> lock(gOutputMutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The message of the last error line, without its time and tag.
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

void RunJob(const JobLine& job, const BatchOptions& options, BrowserPool& pool) {
  auto lines = std::make_shared<std::vector<std::string>>();
  RunLog log;
  log.CaptureOutput(lines);
  const Json id = Json::parse(job.idJson, nullptr, false);
  std::vector<std::string> args = options.jobDefaults;
  args.insert(args.end(), job.args.begin(), job.args.end());
  std::vector<std::u32string> wide = {U"halvern"};
  for (const std::string& a : job.args) wide.push_back(DecodeUtf8Lenient(a));

  LaunchRecord record;
  if (ParseConversionSettings(wide, record, log, options.jobDefaults) != 0) {
    WriteResult(id, 1, log.ElapsedMs(), LastError(*lines), *lines);
    return;
  }
  record.settings = WithAbsolutePaths(record.settings);
  BrowserPool::Lease lease = pool.Take(LaunchKey(record, args), record, args, log);
  if (!lease) {
    WriteResult(id, 1, log.ElapsedMs(), LastError(*lines), *lines);
    return;
  }
  if (lease->jobs > 0) {
    // A fresh launch named them among its own lines.
    log.Log("[main] URL:    " + record.url);
    log.Log("[main] Output: " + record.output);
  }
  engine::MakeCurrent(lease->engine);
  const int64_t engineLogStart = FileSize(lease->launched.engineLog);
  JobOutcome outcome = RunJobOnBrowser(record, log, lease->launched, true);
  engine::CloseBrowsers();
  CopyEngineLog(lease->launched.engineLog, log, engineLogStart);
  const bool retire = ++lease->jobs >= options.recycleAfter || !engine::BrowserAlive() ||
                      engine::BrowserMemoryBytes() > options.recycleMemoryMb * 1024 * 1024;
  engine::MakeCurrent(nullptr);
  pool.Give(lease, retire);
  WriteResult(id, outcome.success ? 0 : 1, log.ElapsedMs(), outcome.error, *lines);
}

// SIGTERM and SIGINT end the input; the jobs in flight finish.
int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int saved = errno;
  const char b = 1;
  (void)!write(gSignalPipe[1], &b, 1);
  errno = saved;
}

void InstallStopSignals() {
  if (pipe(gSignalPipe) != 0) gSignalPipe[0] = gSignalPipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  pollfd p{gSignalPipe[0], POLLIN, 0};
  return gSignalPipe[0] >= 0 && poll(&p, 1, 0) > 0;
}

// Reads lines until the end of input or a stop signal and hands them to
// handle. False when the input cannot be read.
template <typename Handle>
bool ReadLines(Handle handle) {
  std::string line;
  bool overlong = false;
  char buf[65536];
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
    if (poll(fds, gSignalPipe[0] >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents) return true;
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    if (n == 0) {
      if (overlong || !line.empty()) handle(line, overlong);
      return true;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        if (!handle(line, overlong)) return true;
        line.clear();
        overlong = false;
      } else if (!overlong) {
        line += buf[i];
        if (line.size() > kMaxLineBytes) {
          overlong = true;
          line.clear();
        }
      }
    }
  }
}

bool ParsePositive(const std::string& text, int64_t max, int64_t& out) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoll(text);
  return out >= 1 && out <= max;
}

}  // namespace

bool ParseBatchOptions(const std::vector<std::string>& options, BatchOptions& out, std::string& error) {
  out = BatchOptions{};
  out.workers = static_cast<int>(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 4));
  for (const std::string& o : options) {
    int64_t v = 0;
    bool known = true, ok = true;
    if (o.rfind("--workers=", 0) == 0) {
      ok = ParsePositive(o.substr(10), 64, v);
      if (ok) out.workers = static_cast<int>(v);
    } else if (o.rfind("--recycle-after=", 0) == 0) {
      ok = ParsePositive(o.substr(16), 1000000000, v);
      if (ok) out.recycleAfter = static_cast<int>(v);
    } else if (o.rfind("--recycle-memory=", 0) == 0) {
      ok = ParsePositive(o.substr(17), 1 << 30, v);
      if (ok) out.recycleMemoryMb = v;
    } else {
      known = false;
    }
    if (!ok) {
      error = "Invalid value for " + o.substr(0, o.find('=') + 1);
      return false;
    }
    if (!known && o.rfind("-", 0) != 0) {
      error = "Batch defaults are options only: " + o;
      return false;
    }
    if (!known) out.jobDefaults.push_back(o);
  }
  return true;
}

JobLine ReadJobLine(const std::string& text) {
  JobLine job;
  const Json doc = Json::parse(text, nullptr, false);
  if (!doc.is_object()) {
    job.problem = "The line is not a JSON object.";
    return job;
  }
  auto id = doc.find("id");
  if (id != doc.end()) job.idJson = id->dump();
  auto args = doc.find("args");
  if (args == doc.end() || !args->is_array()) {
    job.problem = "The job has no \"args\" array.";
    return job;
  }
  for (const Json& a : *args) {
    if (!a.is_string()) {
      job.problem = "Every member of \"args\" must be a string.";
      job.args.clear();
      return job;
    }
    job.args.push_back(a.get<std::string>());
  }
  return job;
}

int RunBatch(const std::vector<std::string>& options) {
  BatchOptions batch;
  std::string error;
  if (!ParseBatchOptions(options, batch, error)) {
    RunLog().LogError("[main] " + error);
    return 1;
  }
  // Standard output carries the results; the browsers' diagnostics go to
  // their logs.
  if (!std::freopen("/dev/null", "w", stderr)) {
  }
  InstallStopSignals();

  BrowserPool pool(static_cast<size_t>(batch.workers));
  JobQueue queue(static_cast<size_t>(batch.workers));
  // Browsers die with the thread that started them: workers stay until the
  // pool is emptied.
  std::mutex doneMutex;
  std::condition_variable doneChanged;
  int finishedWorkers = 0;
  bool released = false;
  std::vector<std::thread> workers;
  for (int i = 0; i < batch.workers; ++i) {
    workers.emplace_back([&] {
      for (JobLine job; queue.Pop(job);) RunJob(job, batch, pool);
      std::unique_lock<std::mutex> lock(doneMutex);
      ++finishedWorkers;
      doneChanged.notify_all();
      doneChanged.wait(lock, [&] { return released; });
    });
  }

  const bool readable = ReadLines([&](const std::string& line, bool overlong) {
    if (overlong) {
      WriteResult(nullptr, 1, 0, "The line is longer than " + std::to_string(kMaxLineBytes) + " bytes.", {});
      return true;
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) return true;
    JobLine job = ReadJobLine(line);
    if (!job.problem.empty()) {
      WriteResult(Json::parse(job.idJson, nullptr, false), 1, 0, job.problem, {});
      return true;
    }
    while (!queue.Push(job, 50))
      if (StopRequested()) return false;
    return !StopRequested();
  });
  queue.Close();
  {
    std::unique_lock<std::mutex> lock(doneMutex);
    doneChanged.wait(lock, [&] { return finishedWorkers == batch.workers; });
  }
  pool.RetireAll();
  {
    std::lock_guard<std::mutex> lock(doneMutex);
    released = true;
    doneChanged.notify_all();
  }
  for (auto& w : workers) w.join();
  if (!readable) {
    RunLog().LogError("[main] Cannot read the batch input.");
    return 1;
  }
  return 0;
}
