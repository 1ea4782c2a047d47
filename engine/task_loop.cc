#include "engine/task_loop.h"

#include "engine/engine.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace engine {

int64_t MsUntil(Clock::time_point t) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return d < 0 ? 0 : d + 1;
}

TaskQueue::TaskQueue() { wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

TaskQueue::~TaskQueue() {
  Clear();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TaskQueue::Post(std::function<void()> fn, int64_t delayMs) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto due = Clock::now() + std::chrono::milliseconds(delayMs < 0 ? 0 : delayMs);
    q_.push(Task{due, ++seq_, std::move(fn)});
  }
  Wake();
}

void TaskQueue::Wake() {
  uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

void TaskQueue::DrainWake() {
  uint64_t v;
  if (wakeFd_ >= 0) (void)!read(wakeFd_, &v, sizeof v);
}

int64_t TaskQueue::TimeoutMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return q_.empty() ? -1 : MsUntil(q_.top().due);
}

uint64_t TaskQueue::LastSeq() {
  std::lock_guard<std::mutex> lock(mu_);
  return seq_;
}

bool TaskQueue::PopDue(uint64_t maxSeq, std::function<void()>& out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (q_.empty()) return false;
  const Task& t = q_.top();
  if (t.due > Clock::now() || t.seq > maxSeq) return false;
  out = std::move(const_cast<Task&>(t).fn);
  q_.pop();
  return true;
}

void TaskQueue::Clear() {
  decltype(q_) old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::swap(old, q_);
  }
  // The tasks are destroyed here, outside the lock: their destructors may post.
}

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  if (gSignalPipe[1] >= 0) (void)!write(gSignalPipe[1], &b, 1);
  errno = saved;
}

struct SavedSignals {
  bool installed = false;
  struct sigaction term, intr, hup, pipe;
} gSaved;

}  // namespace

void InstallSignals() {
  if (gSaved.installed) return;
  if (gSignalPipe[0] < 0 && pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) gSignalPipe[0] = gSignalPipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, &gSaved.term);
  sigaction(SIGINT, &sa, &gSaved.intr);
  sigaction(SIGHUP, &sa, &gSaved.hup);
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, &gSaved.pipe);
  gSaved.installed = true;
}

void RestoreSignals() {
  if (!gSaved.installed) return;
  sigaction(SIGTERM, &gSaved.term, nullptr);
  sigaction(SIGINT, &gSaved.intr, nullptr);
  sigaction(SIGHUP, &gSaved.hup, nullptr);
  sigaction(SIGPIPE, &gSaved.pipe, nullptr);
  gSaved.installed = false;
}

int SignalFd() { return gSignalPipe[0]; }

int TakeSignal() {
  unsigned char sig = 0;
  return gSignalPipe[0] >= 0 && read(gSignalPipe[0], &sig, 1) == 1 ? sig : 0;
}

void PostTask(std::function<void()> task) { Tasks().Post(std::move(task), 0); }

void PostDelayedTask(std::function<void()> task, int64_t delayMs) { Tasks().Post(std::move(task), delayMs); }

std::function<void(std::function<void()>)> CurrentTaskPoster() {
  // The queue lives as long as its engine; a post after that is dropped.
  std::weak_ptr<TaskQueue> queue = TasksShared();
  return [queue](std::function<void()> task) {
    if (auto q = queue.lock()) q->Post(std::move(task), 0);
  };
}

}  // namespace engine
