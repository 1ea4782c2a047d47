// Helpers for end-to-end tests: the loopback server (server.py beside this
// file), running halvern as a child process, and reading its outputs back
// with the reference tools (pdfinfo, pdftotext, qpdf).
#pragma once

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/files.h"

namespace e2e {

inline std::string PagesDir() { return HVN_E2E_PAGES_DIR; }  // tests/e2e/pages
inline std::string HalvernExe() {  // $HALVERN_EXE, else the built target
  const char* env = std::getenv("HALVERN_EXE");
  return env && *env ? env : HALVERN_EXE;
}
std::string UrlEncode(const std::string& s);

// $HVN_E2E_SLOWDOWN (default 1): how many times slower than native the
// program under test runs, e.g. under an emulator. It stretches the
// harness's waits and the navigation timeout that a case leaves unset.
int Slowdown();
template <class Json>
void StretchDefaultTimeout(Json& settings) {
  if (Slowdown() > 1 && !settings.contains("navigationTimeout")) settings["navigationTimeout"] = 30000 * Slowdown();
}

// One server.py process: HTTP, HTTPS (self-signed), a forward proxy and a
// proxy that demands kProxyUser:kProxyPassword; it ends with the test binary.
class TestServer {
 public:
  static constexpr const char* kProxyUser = "proxyuser";
  static constexpr const char* kProxyPassword = "proxypass";
  TestServer();
  ~TestServer();
  static TestServer& Get() {  // the binary's shared server, started on first use
    static TestServer server;
    return server;
  }

  std::string Url(const std::string& path) const;       // http://127.0.0.1:P + path
  std::string HttpsUrl(const std::string& path) const;  // https://127.0.0.1:P + path
  std::string Html(const std::string& html) const;      // Url("/html?body=" + encoded html)
  std::string ProxyHostPort() const { return HostPort("proxy"); }  // "127.0.0.1:P" of the open proxy
  std::string ProxyAuthHostPort() const { return HostPort("proxy_auth"); }  // of the one that wants credentials
  int port() const { return ports_.at("http"); }
  // Every request since the last Reset, oldest first: objects with "seq",
  // "scheme" (http, https, proxy, proxy-auth), "method", "target", "path",
  // "query" (name -> last value), "headers" (lower-case name -> value), "body".
  nlohmann::json RequestLog(const std::string& pathPrefix = "") const;
  int CountRequests(const std::string& path) const;  // exactly this path, any scheme
  void Reset() const;

 private:
  std::string HostPort(const char* name) const { return "127.0.0.1:" + std::to_string(ports_.at(name)); }
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::map<std::string, int> ports_;
};

struct RunResult {
  int status = -1;        // exit status, or 128 + signal
  bool timedOut = false;  // killed by the harness after timeoutMs
  std::string out, err;
  long wallMs = 0, peakRssKb = 0;  // spawn to exit; largest resident set of a process it waited for
  // Processes of the run still alive after it ended and a grace period
  // (found by process group, ancestry and an inherited environment marker);
  // the harness has killed them since.
  std::vector<std::string> leftovers;  // "pid cmdline"
  std::string spawnError;
};

struct RunOptions {
  int timeoutMs = 90000;  // then the whole process group is killed
  int signalAfterMs = 0, signal = 0;  // send `signal` to the child this long after start
  std::map<std::string, std::string> env;  // added to / replacing the environment
  int leftoverGraceMs = 2000;
  std::string exe;         // default HalvernExe()
  std::string stdinFile;   // the child's standard input; default /dev/null
  // Called from the waiting loop whenever standard output grows: a child
  // that keeps running (a service) is talked to while it runs.
  std::function<void(int pid, const std::string& out)> onOutput;
};

// Timeouts and grace are stretched by Slowdown().
RunResult Run(const std::vector<std::string>& args, RunOptions options = {});
// Run with TMPDIR set to `tmpdir`, expecting nothing of the run to be left
// there or still running afterwards.
RunResult RunChecked(const std::string& tmpdir, const std::vector<std::string>& args, RunOptions options = {});
// Any program (argv[0] looked up in PATH), same capture and timeout rules.
RunResult RunCommand(const std::vector<std::string>& argv, int timeoutMs = 60000);

using testfiles::FileExists;
using testfiles::ReadFile;
using testfiles::TempDir;
using testfiles::WriteFile;

// Live chromium-headless-shell processes whose command line contains
// `filter` (a run's TMPDIR shows up in its --user-data-dir).
std::vector<int> BrowserProcesses(const std::string& filter = "");
std::string CmdLine(int pid);  // arguments joined by spaces
int ParentOf(int pid);         // 0 when gone
std::vector<std::string> RunFolders(const std::string& dir);  // cef_* entries, sorted
// The browser main processes of the runs whose TMPDIR is `tmp` and, when
// `type` is given, their child processes of that --type= instead.
std::vector<int> RunBrowserProcesses(const std::string& tmp, const std::string& type = "");

// pdfinfo fields: "Pages", "Page size", "Tagged", ... (values trimmed).
std::map<std::string, std::string> PdfInfo(const std::string& pdf);
// pdftotext -layout of all pages, or of first..last.
std::string PdfText(const std::string& pdf, int first = 0, int last = 0);
inline bool QpdfCheck(const std::string& pdf) { return RunCommand({"qpdf", "--check", pdf}).status == 0; }

// Occurrences of a text, or of {"re": pattern}, in `got`.
long CountText(const std::string& got, const nlohmann::json& want);
// A value against a pattern: every key of it present and matching, null for
// an absent key, {"re": pattern} for a string.
bool MatchesPattern(const nlohmann::json& v, const nlohmann::json& p);
// want[what] texts (or patterns) each found in `got`, want["no " + what]
// none, want["one " + what] once.
void ExpectTexts(const std::string& what, const std::string& got, const nlohmann::json& want);
// Checks of TestServer::RequestLog(): each pattern's "where" matched by
// "count" or "min"/"max" requests, each of them matching "each"; with "for"
// [names], one such check per name put in for "{for}".
void ExpectRequests(const nlohmann::json& log, const nlohmann::json& patterns);

// Every "{name}" key of `names` replaced by its value in every string of a case
// read from a data file (either JSON flavour: key order is kept).
template <class Json>
Json Fill(Json v, const std::map<std::string, std::string>& names) {
  if (v.is_structured()) {
    for (auto& item : v) item = Fill(item, names);
  } else if (v.is_string()) {
    std::string t = v;
    for (const auto& [key, value] : names)
      for (size_t at = 0; (at = t.find(key, at)) != std::string::npos; at += value.size()) t.replace(at, key.size(), value);
    v = t;
  }
  return v;
}

// Registers one test of suite per case of tests/e2e/data/<file>, named by its
// "name"; run gets the case, or each of its "runs" in turn.
bool RegisterRows(const char* suite, const std::string& file, void (*run)(const nlohmann::json&));

}  // namespace e2e
