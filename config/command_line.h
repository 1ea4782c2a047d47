// The configuration stage: command line + configuration file + environment
// into one validated ConversionSettings.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "runlog/run_log.h"

// args[0] is the program name. Fills out completely and returns 0, or logs
// the fatal error and returns 1. Applies --verbose / the "verbose" key and
// --lf= to the run's log.
// `defaults` are options below the configuration file and the arguments.
int ParseConversionSettings(const std::vector<std::u32string>& args, LaunchRecord& out, RunLog& log,
                            const std::vector<std::string>& defaults = {});

// What --help prints: the forms of the command line and the main options;
// halvern(1), beside this file, lists every option of the tables.
extern const char kUsage[];

// Every option of this program's tables as a browser switch name ("password",
// "wait-for-selector"): the host's copies of these do not reach the browser.
std::vector<std::string> OwnSwitchNames();

// At least six characters, ending in ".json" in any letter case.
bool hasJsonExtension(const std::string& path);

// Command-line value parsers: base-10 int32 (leading blanks, sign, trailing
// junk allowed) and strtod-style finite double. False leaves out untouched.
bool ParseIntValue(const std::string& text, int& out);
bool ParseNumberValue(const std::string& text, double& out);
