// Process entry: the banner and the other one-argument modes, a single run,
// or a batch.
#pragma once

#include <string>
#include <vector>

// The whole process entry after the sub-process dispatch; returns the exit
// status.
int RunProcess(int argc, char** argv);
