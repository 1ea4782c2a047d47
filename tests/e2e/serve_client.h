// The conversion service under test and its client: `halvern --serve=` run
// (checked for leftovers) on a thread of its own, and requests sent to it
// through curl.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e_support.h"

namespace serve {

struct Reply {
  int status = 0;    // 0: no HTTP answer
  int curlExit = 0;  // 28: curl gave up waiting
  std::map<std::string, std::string> headers;  // of the last response, lower-case names
  std::string body;
};

// Each request: "method" (POST), "path" (/convert), "headers", and "body" (a
// JSON value; a string goes as it is) or "bodySize" (a page of that many
// bytes). All through one curl, `parallel` at a time (each on a connection
// of its own from the start); the answers in order.
std::vector<Reply> Send(const std::string& base, const std::vector<nlohmann::json>& requests, int parallel = 1);

// A value of /metrics ("name{labels}"), -1 when absent.
double Metric(const std::string& base, const std::string& name);

// Entries of the service's TMPDIR (but a warm browser's folders, unless
// `all`), after up to `waitMs` for them to go.
std::vector<std::string> JobFolders(const std::string& tmp, bool all = false, int waitMs = 3000);

// One `halvern --serve=ADDRESS options...` in a fresh TMPDIR; `url` is what
// its first line names.
class Service {
 public:
  explicit Service(std::vector<std::string> options, const std::string& address = "127.0.0.1:0",
                   const std::map<std::string, std::string>& env = {});
  ~Service() { Stop(); }
  void Signal(int sig);
  // SIGTERM, then its end: the run, with the TMPDIR checked empty.
  e2e::RunResult Stop();
  int pid();
  const std::string& tmp() const { return tmp_.path(); }
  std::string url;  // http://HOST:PORT, empty when it never served

 private:
  e2e::TempDir tmp_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::string out_;
  int pid_ = 0;
  bool ended_ = false;
  e2e::RunResult result_;
  std::thread runner_;
};

}  // namespace serve
