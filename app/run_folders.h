// Per-run folders under the temporary root, and staging of HTML strings.
#pragma once

#include <string>

// TMPDIR (or /tmp) + "/" + prefix + a fresh UUID; created with its parents,
// private to this user and locked for as long as this process lives.
std::string MakeRunFolder(const std::string& prefix);
// The folder run folders are made in: TMPDIR, or /tmp.
std::string RunFolderRoot();
// Removes a folder made by MakeRunFolder and lets go of its lock.
void RemoveRunFolder(const std::string& path);
// Removes the run folders under TMPDIR whose process is gone without
// removing them (a killed run); folders of live runs stay.
void RemoveAbandonedRunFolders();
// Random version-4 UUID, upper-case hex, 36 characters.
std::string NewUuidText();
// Puts <base href="..."> right after the first <head> tag, or in front.
std::string InjectBaseHref(const std::string& html, const std::string& baseUrl);
// Recursive removal, retried while the file system reports errors.
void RemoveFolderWithRetry(const std::string& path, int attempts, int delayMs);
// Sleeps the full time even when signals interrupt it.
void SleepMs(int ms);
// Writes text to a new file only this user can read; a link in its place
// is not followed. False when it cannot be written whole.
bool WritePrivateFile(const std::string& path, const std::string& text);
