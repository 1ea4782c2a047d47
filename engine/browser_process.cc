#include "engine/browser_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace engine {

PipeEnds& PipeEnds::operator=(PipeEnds&& o) noexcept {
  if (this != &o) {
    CloseBoth();
    to_ = o.to_;
    from_ = o.from_;
    o.to_ = o.from_ = -1;
  }
  return *this;
}

void PipeEnds::CloseTo() {
  if (to_ >= 0) close(to_);
  to_ = -1;
}

void PipeEnds::CloseFrom() {
  if (from_ >= 0) close(from_);
  from_ = -1;
}

namespace {

int DupHigh(int fd) {
  if (fd < 0) return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return high;
}

void CloseAll(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

bool GroupAlive(pid_t pgid) {
  DIR* d = opendir("/proc");
  if (!d) return false;
  bool alive = false;
  while (dirent* ent = readdir(d)) {
    char* end;
    long pid = strtol(ent->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    std::string path = std::string("/proc/") + ent->d_name + "/stat";
    FILE* f = fopen(path.c_str(), "re");
    if (!f) continue;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    // Fields after the command name: state ppid pgrp ...
    const char* p = strrchr(buf, ')');
    char state;
    long ppid, pgrp;
    if (p && sscanf(p + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == pgid && state != 'Z' &&
        state != 'X') {
      alive = true;
      break;
    }
  }
  closedir(d);
  return alive;
}

}  // namespace

bool BrowserProcess::Launch(const std::vector<std::string>& args, const std::vector<std::string>& env,
                            int stderrFd, PipeEnds& pipe, std::string& error) {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& v : env) envp.push_back(const_cast<char*>(v.c_str()));
  envp.push_back(nullptr);

  int toBrowser[2], fromBrowser[2], status[2];
  if (pipe2(toBrowser, O_CLOEXEC) != 0) return error = std::strerror(errno), false;
  if (pipe2(fromBrowser, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    CloseAll({toBrowser[0], toBrowser[1]});
    return false;
  }
  if (pipe2(status, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    CloseAll({toBrowser[0], toBrowser[1], fromBrowser[0], fromBrowser[1]});
    return false;
  }
  // The child's ends go above 4 so that placing them on 3 and 4 cannot
  // clobber each other; likewise standard error, which may be fd 3 or 4 here.
  int childIn = DupHigh(toBrowser[0]);
  int childOut = DupHigh(fromBrowser[1]);
  int devNull = DupHigh(open("/dev/null", O_RDWR | O_CLOEXEC));
  int errFd = stderrFd >= 0 ? fcntl(stderrFd, F_DUPFD_CLOEXEC, 10) : devNull;

  // Orphaned renderer and GPU processes come back to us, so that the stop
  // can reap every one of them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    signal(SIGPIPE, SIG_DFL);
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(childIn, 3);
    dup2(childOut, 4);
    if (devNull >= 0) {
      dup2(devNull, 0);
      dup2(devNull, 1);
    }
    if (errFd >= 0) dup2(errFd, 2);
#ifdef SYS_close_range
    syscall(SYS_close_range, 5U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    execve(argv[0], argv.data(), envp.data());
    int err = errno;
    (void)!write(status[1], &err, sizeof err);
    _exit(127);
  }
  int forkErr = errno;
  CloseAll({childIn, childOut, errFd != devNull ? errFd : -1, devNull, status[1]});
  if (pid < 0) {
    CloseAll({status[0], toBrowser[1], fromBrowser[0]});
    error = std::string("fork failed: ") + std::strerror(forkErr);
    return false;
  }
  int err = 0;
  ssize_t n;
  do n = read(status[0], &err, sizeof err);
  while (n < 0 && errno == EINTR);
  close(status[0]);
  if (n > 0) {
    waitpid(pid, nullptr, 0);
    CloseAll({toBrowser[1], fromBrowser[0]});
    error = std::strerror(err);
    return false;
  }
  pid_ = pid;
  fcntl(toBrowser[1], F_SETFL, fcntl(toBrowser[1], F_GETFL) | O_NONBLOCK);
  fcntl(fromBrowser[0], F_SETFL, fcntl(fromBrowser[0], F_GETFL) | O_NONBLOCK);
  pipe = PipeEnds(toBrowser[1], fromBrowser[0]);
  return true;
}

bool BrowserProcess::Exited() const {
  siginfo_t info{};
  return pid_ <= 0 || (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_);
}

std::string BrowserProcess::ExitDescription() const {
  siginfo_t info{};
  if (pid_ <= 0 || waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_)
    return "running";
  if (info.si_code == CLD_EXITED) return "exit status " + std::to_string(info.si_status);
  return "signal " + std::to_string(info.si_status);
}

bool BrowserProcess::KillAndReap(Clock::duration deadline) {
  if (pid_ <= 0) return true;
  const pid_t pid = pid_;
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  auto until = Clock::now() + deadline;
  bool leaderReaped = false, clean = true;
  for (;;) {
    pid_t r = waitpid(-pid, nullptr, WNOHANG);
    if (r == pid) leaderReaped = true;
    if (r > 0) continue;
    if (r < 0 && errno == EINTR) continue;
    bool noChildren = r < 0 && errno == ECHILD;
    if (noChildren && !GroupAlive(pid)) break;
    if (Clock::now() >= until) {
      clean = false;
      break;
    }
    usleep(2000);
  }
  if (!leaderReaped) waitpid(pid, nullptr, WNOHANG);
  pid_ = -1;
  return clean;
}

}  // namespace engine

namespace engine {

int64_t BrowserProcess::GroupResidentBytes() const {
  if (pid_ <= 0) return 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  const int64_t page = sysconf(_SC_PAGESIZE);
  int64_t total = 0;
  while (dirent* d = readdir(proc)) {
    if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
    const std::string dir = std::string("/proc/") + d->d_name;
    if (getpgid(static_cast<pid_t>(std::atoi(d->d_name))) != pid_) continue;
    if (FILE* f = std::fopen((dir + "/statm").c_str(), "r")) {
      long size = 0, resident = 0;
      if (std::fscanf(f, "%ld %ld", &size, &resident) == 2) total += resident * page;
      std::fclose(f);
    }
  }
  closedir(proc);
  return total;
}

}  // namespace engine
