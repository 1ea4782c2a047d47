// The JSON configuration file (plain, or an encrypted payload).
#pragma once

#include <string>

#include "config/settings.h"
#include "runlog/run_log.h"

// Reads path (as given on the command line) into s. Present keys override
// the current values; absent boolean keys get their default. On failure one
// error line has been logged and false is returned.
bool ReadConfigurationFile(const std::string& path, bool encryptedIo, ConversionSettings& s, RunLog& log);

// Same, on bytes already in memory (path only names the file in messages).
bool ApplyConfigurationBytes(const std::string& bytes, const std::string& path, bool encryptedIo,
                             ConversionSettings& s, RunLog& log);
