// The tasks of the message loop and the signals that end it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

namespace engine {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until t, rounded up; 0 when t has passed.
int64_t MsUntil(Clock::time_point t);

// Delayed tasks in due order, posted from any thread; an eventfd wakes the
// loop's poll when one arrives.
class TaskQueue {
 public:
  TaskQueue();
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;
  void Post(std::function<void()> fn, int64_t delayMs);
  void Wake();
  void DrainWake();
  int wakeFd() const { return wakeFd_; }
  // Milliseconds until the nearest task, -1 when there is none.
  int64_t TimeoutMs();
  uint64_t LastSeq();
  // Pops one due task posted no later than maxSeq, so that tasks posted by a
  // task wait for the next round.
  bool PopDue(uint64_t maxSeq, std::function<void()>& out);
  void Clear();

 private:
  struct Task {
    Clock::time_point due;
    uint64_t seq;
    std::function<void()> fn;
  };
  struct Later {
    bool operator()(const Task& a, const Task& b) const { return a.due != b.due ? a.due > b.due : a.seq > b.seq; }
  };
  std::mutex mu_;
  std::priority_queue<Task, std::vector<Task>, Later> q_;
  uint64_t seq_ = 0;
  int wakeFd_ = -1;
};

// The current engine's queue (devtools_engine.cc).
TaskQueue& Tasks();
std::shared_ptr<TaskQueue> TasksShared();

// SIGTERM, SIGINT and SIGHUP become a byte on a pipe that the loop polls;
// SIGPIPE is ignored while the engine runs.
void InstallSignals();
void RestoreSignals();
int SignalFd();
// The signal number waiting on the pipe, 0 when none.
int TakeSignal();

}  // namespace engine
