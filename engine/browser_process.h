// The browser as a child process: launch with the DevTools pipe on fds 3 and
// 4, and a stop that leaves none of its processes behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/task_loop.h"

namespace engine {

// Our ends of the DevTools pipe; closes them when it goes.
class PipeEnds {
 public:
  PipeEnds() = default;
  PipeEnds(int toBrowser, int fromBrowser) : to_(toBrowser), from_(fromBrowser) {}
  PipeEnds(PipeEnds&& o) noexcept : to_(o.to_), from_(o.from_) { o.to_ = o.from_ = -1; }
  PipeEnds& operator=(PipeEnds&& o) noexcept;
  PipeEnds(const PipeEnds&) = delete;
  PipeEnds& operator=(const PipeEnds&) = delete;
  ~PipeEnds() { CloseBoth(); }
  int to() const { return to_; }
  int from() const { return from_; }
  void CloseTo();
  void CloseFrom();
  void CloseBoth() {
    CloseTo();
    CloseFrom();
  }

 private:
  int to_ = -1, from_ = -1;
};

class BrowserProcess {
 public:
  // argv[0] is the program. stderrFd (-1: /dev/null) becomes the browser's
  // standard error. On failure error says why.
  bool Launch(const std::vector<std::string>& argv, const std::vector<std::string>& env, int stderrFd,
              PipeEnds& pipe, std::string& error);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Has the browser exited (not reaped, so its group id stays ours)?
  bool Exited() const;
  // How it ended, for the log: "exit status 1" or "signal 9".
  std::string ExitDescription() const;
  // Kills the browser's whole process group and reaps it; orphans of the
  // group come back to us as the subreaper. Returns false when some process
  // outlived the deadline.
  bool KillAndReap(Clock::duration deadline);
  // Resident memory of the browser's process group, in bytes; 0 when it is
  // not running.
  int64_t GroupResidentBytes() const;

 private:
  pid_t pid_ = -1;
};

}  // namespace engine
