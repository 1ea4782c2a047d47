// SIGTERM and SIGINT as a readable pipe: the long-running modes end their
// input on it and let the jobs in flight finish.
#pragma once

// Installs the handlers (and ignores SIGPIPE).
void InstallStopSignals();
// Readable once a stop signal came; -1 when no pipe could be made.
int StopSignalFd();
// Makes the pipe readable as a signal would.
void RequestStop();
