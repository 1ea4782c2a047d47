#include "app/stop_signals.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int saved = errno;
  const char b = 1;
  (void)!write(gSignalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

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

int StopSignalFd() { return gSignalPipe[0]; }

void RequestStop() { OnStopSignal(0); }
