// URL normalisation and the checks that run before the browser starts.
#pragma once

#include <string>

#include "config/host_resolver.h"
#include "config/settings.h"

// "file://" prefix, ASCII case-insensitive.
bool isFileUrl(const std::string& url);

// The URL's host is this machine in any spelling the browser accepts:
// 127/8, 0/8, ::1, ::, their IPv4-mapped and -compatible forms, localhost
// and *.localhost, or a name the resolver turns into one of those.
bool isLocalhostUrl(const std::string& url, const hvn::HostResolver& resolver);

// Likewise for the private, shared and link-local ranges.
bool isPrivateNetworkUrl(const std::string& url, const hvn::HostResolver& resolver);

// Gives a scheme to a url without "://": a drive or absolute path becomes a
// file URL, anything else https. Does nothing when htmlString is set.
void NormalizeUrl(ConversionSettings& s);

// Runs the checks in order; the first failure logs its error line and
// returns false.
bool ValidateSettings(const ConversionSettings& s);

// httpCache -> httpCacheMode; an unknown name logs an error and means clear.
void ApplyHttpCacheMode(ConversionSettings& s);
