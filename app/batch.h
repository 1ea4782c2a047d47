// Batch mode: many conversions in one process on warm browsers. Jobs come as
// JSON lines on standard input, results go out as JSON lines in the order
// jobs end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BatchOptions {
  int workers = 1;                        // jobs in flight at once
  int recycleAfter = 200;                 // jobs per browser
  int64_t recycleMemoryMb = 1500;         // browser processes' resident memory
  std::vector<std::string> jobDefaults;   // every other option: before each job's own arguments
};

// False, with the reason, for a bad batch option.
bool ParseBatchOptions(const std::vector<std::string>& options, BatchOptions& out, std::string& error);

// One input line as a job: its id (JSON text, "null" when it has none) and
// arguments, or the problem with the line.
struct JobLine {
  std::string idJson = "null";
  std::vector<std::string> args;
  std::string problem;  // empty when the line is a job
};
JobLine ReadJobLine(const std::string& line);

// The whole batch; returns the exit status.
int RunBatch(const std::vector<std::string>& options);
