// URL normalisation and the checks that run before the browser starts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "runlog/run_log.h"

// "file://" prefix, ASCII case-insensitive.
bool isFileUrl(const std::string& url);

// Gives a scheme to a url without "://": a drive or absolute path becomes a
// file URL, anything else https. Does nothing when htmlString is set.
void NormalizeUrl(ConversionSettings& s, const RunLog& log);

// Without --output-format= or outputFormat, an output path ending in ".png"
// (any case) selects PNG. Logs the format and where it came from.
void ChooseOutputFormat(ConversionSettings& s, const RunLog& log);

// Runs the checks in order; the first failure logs its error line and
// returns false.
bool ValidateSettings(const ConversionSettings& s, const RunLog& log);

// "404, 500-599" -> {404,404},{500,599}: three-digit codes from 100 to 599,
// ranges low to high. False for anything else, an empty item included.
bool ParseStatusList(const std::string& text, std::vector<std::pair<int, int>>& ranges);

// httpCache -> httpCacheMode; an unknown name logs an error and means clear.
void ApplyHttpCacheMode(ConversionSettings& s, const RunLog& log);
