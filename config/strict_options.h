// Options added since the first release. Unlike the others, they refuse a
// bad value and end the run, and each refusal names the option as the host
// wrote it.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"

// Applies one argument when it is one of these options (handled says so);
// returns the refusal, empty when there is none.
std::string ApplyStrictOption(const std::string& argument, ConversionSettings& s, bool& handled);

// As written on the command line: "--fail-on-console-exceptions",
// "--wait-for-selector=", ...
std::vector<std::string> StrictOptionNames();
