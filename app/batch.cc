#include "app/batch.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/job_runner.h"
#include "app/stop_signals.h"
#include "config/command_line.h"
#include "config/utf8.h"

namespace {

using Json = nlohmann::ordered_json;

// Longer lines are answered with an error unread: a job's arguments are a
// few kilobytes at most.
constexpr size_t kMaxLineBytes = 1 << 20;

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

bool StopRequested() {
  pollfd p{StopSignalFd(), POLLIN, 0};
  return p.fd >= 0 && poll(&p, 1, 0) > 0;
}

// Reads lines until the end of input or a stop signal and hands them to
// handle. False when the input cannot be read.
template <typename Handle>
bool ReadLines(Handle handle) {
  std::string line;
  bool overlong = false;
  char buf[65536];
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
    if (poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0) {
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

  RunnerOptions runnerOptions;
  runnerOptions.workers = batch.workers;
  runnerOptions.recycleAfter = batch.recycleAfter;
  runnerOptions.recycleMemoryMb = batch.recycleMemoryMb;
  runnerOptions.jobDefaults = batch.jobDefaults;
  // The reader waits while the queue is full, so that a signal leaves little behind.
  runnerOptions.queueCapacity = static_cast<size_t>(batch.workers);
  JobRunner runner(runnerOptions);

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
    RunnerJob queued;
    queued.args = job.args;
    queued.done = [id = Json::parse(job.idJson, nullptr, false)](const JobResult& r) {
      WriteResult(id, r.status, r.elapsedMs, r.error, r.log);
    };
    while (!runner.Push(queued, 50))
      if (StopRequested()) return false;
    return !StopRequested();
  });
  runner.Stop();
  if (!readable) {
    RunLog().LogError("[main] Cannot read the batch input.");
    return 1;
  }
  return 0;
}
