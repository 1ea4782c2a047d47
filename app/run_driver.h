// The conversion run: folders, engine start, browser, message loop, clean-up.
#pragma once

#include <string>
#include <vector>

// The whole process entry after the sub-process dispatch; returns the exit
// status.
int RunProcess(int argc, char** argv);
