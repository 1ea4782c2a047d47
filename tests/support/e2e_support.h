// Helpers for end-to-end tests: the loopback server (server.py beside this
// file), running halvern as a child process, and reading its outputs back
// with the reference tools (pdfinfo, pdftotext, qpdf).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace e2e {

std::string PagesDir();    // tests/e2e/pages
std::string HalvernExe();  // $HALVERN_EXE, else the built target
std::string UrlEncode(const std::string& s);

// One server.py process: HTTP, HTTPS (self-signed), a forward proxy and a
// proxy that demands kProxyUser:kProxyPassword. Ends with the object, or
// with the test binary at the latest (it watches its standard input).
class TestServer {
 public:
  static constexpr const char* kProxyUser = "proxyuser";
  static constexpr const char* kProxyPassword = "proxypass";
  TestServer();
  ~TestServer();
  static TestServer& Get();  // the binary's shared server, started on first use

  std::string Url(const std::string& path) const;       // http://127.0.0.1:P + path
  std::string HttpsUrl(const std::string& path) const;  // https://127.0.0.1:P + path
  std::string Html(const std::string& html) const;      // Url("/html?body=" + encoded html)
  std::string ProxyHostPort() const;                    // "127.0.0.1:P" of the open proxy
  std::string ProxyAuthHostPort() const;                // of the proxy that wants credentials
  int port() const { return ports_.at("http"); }
  // Every request since the last Reset, oldest first: objects with "seq",
  // "scheme" (http, https, proxy, proxy-auth), "method", "target", "path",
  // "query" (name -> last value), "headers" (lower-case name -> value), "body".
  nlohmann::json RequestLog(const std::string& pathPrefix = "") const;
  int CountRequests(const std::string& path) const;  // exactly this path, any scheme
  void Reset() const;

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::map<std::string, int> ports_;
};

// Starts the shared server before the first test, so that its failure is
// reported once and its start is not charged to a test.
struct ServerEnvironment : ::testing::Environment {
  void SetUp() override { TestServer::Get(); }
};

struct RunResult {
  int status = -1;        // exit status, or 128 + signal
  bool timedOut = false;  // killed by the harness after timeoutMs
  std::string out, err;
  long wallMs = 0;        // spawn to exit
  long peakRssKb = 0;     // largest resident set of any process the run waited for
  // Processes of the run still alive after it ended and a grace period
  // (found by process group, ancestry and an inherited environment marker);
  // the harness has killed them since.
  std::vector<std::string> leftovers;  // "pid cmdline"
  std::string spawnError;
};

struct RunOptions {
  int timeoutMs = 90000;   // then the whole process group is killed
  int signalAfterMs = 0;   // send `signal` to the child this long after start
  int signal = 0;
  std::map<std::string, std::string> env;  // added to / replacing the environment
  int leftoverGraceMs = 2000;
  std::string exe;         // default HalvernExe()
};

RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {});
// Run with TMPDIR set to `tmpdir`, expecting nothing of the run to be left
// there or still running afterwards.
RunResult RunChecked(const std::string& tmpdir, const std::vector<std::string>& args, RunOptions options = {});
// Any program (argv[0] looked up in PATH), same capture and timeout rules.
RunResult RunCommand(const std::vector<std::string>& argv, int timeoutMs = 60000);

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Live chromium-headless-shell processes whose command line contains
// `filter` (a run's TMPDIR shows up in its --user-data-dir).
std::vector<int> BrowserProcesses(const std::string& filter = "");
std::string CmdLine(int pid);  // arguments joined by spaces
int ParentOf(int pid);         // 0 when gone
std::vector<std::string> RunFolders(const std::string& dir);  // cef_* entries, sorted

std::string ReadFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// pdfinfo fields: "Pages", "Page size", "Tagged", ... (values trimmed).
std::map<std::string, std::string> PdfInfo(const std::string& pdf);
// pdftotext -layout of all pages, or of first..last.
std::string PdfText(const std::string& pdf, int first = 0, int last = 0);
bool QpdfCheck(const std::string& pdf);  // no errors, no warnings
// Width and height from the PNG header; false when it is not a PNG.
bool PngSize(const std::string& png, int& w, int& h);

}  // namespace e2e
