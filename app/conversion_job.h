// One conversion on an engine: the browser launch a job needs, the job run
// on a launched browser, and the browser's stop. A single run is one job on
// a browser launched for it; a batch runs many jobs on a pool of browsers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "engine/engine.h"
#include "runlog/run_log.h"

// A launched browser: its engine and the run folders made for it.
struct LaunchedBrowser {
  std::shared_ptr<engine::Engine> engine;  // null: the process's first engine
  std::string cacheDir, logDir, engineLog;
  bool keptProfile = false;  // a "--dd=" data directory: not ours to remove
};

// How a browser is launched for a job. Without browserArgs the process's
// own arguments give the browser's switches.
struct LaunchOptions {
  const std::vector<std::string>* browserArgs = nullptr;
  bool handleSignals = true;
  bool manyJobs = false;  // the browser is kept for many jobs
  std::function<void()> beforeStart;  // right before the engine starts
};

// What a browser launch depends on, as one text: jobs with equal keys can
// share a browser. args: the job's arguments, whose switches that are not
// this program's own reach the browser.
std::string LaunchKey(const LaunchRecord& record, const std::vector<std::string>& args);

// Makes the folders and starts the browser on the calling thread's current
// engine; launch lines go to log. False (logged) when the browser cannot
// start.
bool LaunchBrowser(const LaunchRecord& record, const RunLog& log, const LaunchOptions& options, LaunchedBrowser& out);

struct JobOutcome {
  bool success = false;
  std::string error;  // the failure text; empty on success
};

// Runs one parsed job (its output paths absolute) on the current engine's browser: stages an HTML
// string (as index.html in stagingDir, else in the browser's cache folder),
// creates the page (in a context of its own when ownContext), runs the loop
// until the client finishes and logs the result line.
JobOutcome RunJobOnBrowser(const LaunchRecord& record, const RunLog& log, const LaunchedBrowser& browser,
                           bool ownContext, const std::string& stagingDir = "");

// Stops the current engine's browser and removes its folders; with
// copyEngineLog the browser's log goes to the run's log file first.
void StopBrowser(const LaunchedBrowser& browser, const RunLog& log, bool copyEngineLog);

// Appends the browser's log from byte offset on to the run's log file.
void CopyEngineLog(const std::string& engineLog, const RunLog& log, int64_t offset);
// Size of a file, 0 when it cannot be read.
int64_t FileSize(const std::string& path);

// The configured output paths, made absolute against the working directory.
ConversionSettings WithAbsolutePaths(const ConversionSettings& settings);
