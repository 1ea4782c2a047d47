#include "tests/support/e2e_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace e2e {
namespace {

long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Fields of /proc/<pid>/stat after the command name: state is [0], pgrp [2].
std::vector<std::string> StatFields(int pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream in(stat.substr(close + 1));
  for (std::string f; in >> f && fields.size() < 8;) fields.push_back(f);
  return fields;
}

bool IsZombie(int pid) {
  auto f = StatFields(pid);
  return f.empty() || f[0] == "Z" || f[0] == "X";
}

std::vector<int> AllPids() {
  std::vector<int> pids;
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (dirent* e = readdir(d)) {
    int pid = atoi(e->d_name);
    if (pid > 0) pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

std::mutex gPidsMutex;
std::set<int> gServerPids;  // our own servers: never a run's leftover
std::set<int> gRunPids;     // runs in flight: their trees belong to them

// Orphans of a run are re-parented to this process instead of init, so a
// browser that left the run's process group is still found by its parent.
bool BecomeSubreaper() {
  static const bool ok = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  return ok;
}

// Live processes of the run: its process group, anything that inherited its
// marker, and every descendant of this process but the servers (the browser
// runs in a group of its own with an environment of its own). Zombies that
// were handed to us are reaped on the way.
std::vector<int> RunProcesses(pid_t pgid, const std::string& marker) {
  std::vector<int> found;
  const int self = getpid();
  std::set<int> servers, runs;
  {
    std::lock_guard<std::mutex> lock(gPidsMutex);
    servers = gServerPids;
    runs = gRunPids;
  }
  std::map<int, int> parent;
  std::map<int, std::vector<std::string>> stats;
  for (int pid : AllPids()) {
    if (pid == self) continue;
    auto f = StatFields(pid);
    if (f.size() < 3) continue;
    parent[pid] = std::atoi(f[1].c_str());
    stats[pid] = std::move(f);
  }
  // Under this run's root, or an orphan handed to us; never under a server
  // or under another run that is still in flight.
  auto descendsFromUs = [&](int pid) {
    for (int hops = 0; hops < 64 && pid > 1; ++hops) {
      if (pid == pgid) return true;
      if (servers.count(pid) || runs.count(pid)) return false;
      auto it = parent.find(pid);
      if (it == parent.end()) return false;
      if (it->second == self) return true;
      pid = it->second;
    }
    return false;
  };
  for (const auto& [pid, f] : stats) {
    if (f[0] == "Z" || f[0] == "X") {
      if (parent[pid] == self && !runs.count(pid) && !servers.count(pid)) waitpid(pid, nullptr, WNOHANG);
      continue;
    }
    if (f[2] == std::to_string(pgid) || descendsFromUs(pid) ||
        ReadFile("/proc/" + std::to_string(pid) + "/environ").find(marker) != std::string::npos)
      found.push_back(pid);
  }
  return found;
}

void KillAll(pid_t pgid, const std::vector<int>& pids) {
  kill(-pgid, SIGKILL);
  for (int pid : pids) kill(pid, SIGKILL);
  // Reap the ones handed to us, so they do not linger as zombies; a run's
  // own root is left to the loop that waits for its status.
  std::set<int> runs;
  {
    std::lock_guard<std::mutex> lock(gPidsMutex);
    runs = gRunPids;
  }
  for (int i = 0; i < 50; ++i) {
    bool pending = false;
    for (int pid : pids) {
      if (pid == pgid || runs.count(pid)) continue;
      if (waitpid(pid, nullptr, WNOHANG) == 0) pending = true;
    }
    if (!pending) break;
    usleep(20 * 1000);
  }
}

RunResult Spawn(std::vector<std::string> argv, const RunOptions& o, bool searchPath) {
  static std::atomic<int> counter{0};
  RunResult r;
  BecomeSubreaper();
  const std::string marker =
      "HVN_E2E_RUN=" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
      std::to_string(NowMs());

  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);

  // Own process group, so a timeout can take down the browser too; default
  // signal dispositions and an empty mask whatever the test binary set.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string key = std::string(*e).substr(0, std::string(*e).find('='));
    if (!o.env.count(key) && key != "HVN_E2E_RUN") envText.push_back(*e);
  }
  for (const auto& [k, v] : o.env) envText.push_back(k + "=" + v);
  envText.push_back(marker);
  std::vector<char*> envp, args;
  for (auto& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (auto& s : argv) args.push_back(s.data());
  args.push_back(nullptr);

  pid_t pid = -1;
  long start = NowMs();
  int rc = searchPath ? posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data())
                           : posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    r.spawnError = std::string("spawn ") + argv[0] + ": " + std::strerror(rc);
    return r;
  }

  {
    std::lock_guard<std::mutex> lock(gPidsMutex);
    gRunPids.insert(pid);
  }
  bool signalled = false, exited = false;
  int status = 0;
  long exitAt = 0;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  char buf[65536];
  for (;;) {
    long now = NowMs();
    if (!exited) {
      if (o.signalAfterMs > 0 && o.signal != 0 && !signalled && now - start >= o.signalAfterMs) {
        kill(pid, o.signal);
        signalled = true;
      }
      if (!r.timedOut && now - start >= o.timeoutMs) {
        KillAll(pid, RunProcesses(pid, marker));
        r.timedOut = true;
      }
    }
    // Once the child is gone, pipes still held by leftovers must not stall us.
    if (exited && ((fds[0].fd < 0 && fds[1].fd < 0) || now - exitAt > 1000)) break;
    if (poll(fds, 2, 10) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
    struct rusage usage {};
    if (!exited && wait4(pid, &status, WNOHANG, &usage) == pid) {
      r.peakRssKb = usage.ru_maxrss;
      exited = true;
      exitAt = NowMs();
      r.wallMs = exitAt - start;
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);

  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  std::vector<int> left = RunProcesses(pid, marker);
  for (long until = NowMs() + o.leftoverGraceMs; !left.empty() && NowMs() < until;) {
    usleep(50 * 1000);
    left = RunProcesses(pid, marker);
  }
  for (int p : left) r.leftovers.push_back(std::to_string(p) + " " + CmdLine(p));
  if (!left.empty()) KillAll(pid, left);
  {
    std::lock_guard<std::mutex> lock(gPidsMutex);
    gRunPids.erase(pid);
  }
  return r;
}

}  // namespace

// ---- paths ------------------------------------------------------------------

std::string PagesDir() { return HVN_E2E_PAGES_DIR; }

std::string HalvernExe() {
  const char* env = std::getenv("HALVERN_EXE");
  return env && *env ? env : HALVERN_EXE;
}

// ---- HTTP client ----------------------------------------------------------------

std::string UrlEncode(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

// GET of target from this machine's port, HTTP/1.0: the body, empty when
// there is no answer.
static std::string HttpGet(int port, const std::string& target) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string raw;
  const std::string req = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
    char buf[16384];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t end = raw.find("\r\n\r\n");
  return end == std::string::npos ? "" : raw.substr(end + 4);
}

// ---- server -----------------------------------------------------------------

TestServer& TestServer::Get() {
  static TestServer server;
  return server;
}

TestServer::TestServer() {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(HVN_TEST_SUPPORT_DIR) + "/server.py",
                                   "--pages", PagesDir()};
  std::vector<char*> args;
  for (auto& s : argv) args.push_back(s.data());
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    throw std::runtime_error(std::string("cannot start server.py: ") + std::strerror(rc));
  }
  stdinFd_ = in[1];  // the server ends when this closes, with us at the latest
  {
    std::lock_guard<std::mutex> lock(gPidsMutex);
    gServerPids.insert(pid_);
  }

  // One line of ports, or end of file when the server could not start.
  FILE* ports = fdopen(out[0], "r");
  char buf[512] = {};
  std::string line = fgets(buf, sizeof buf, ports) ? buf : "";
  fclose(ports);
  auto j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("http")) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(stdinFd_);
    throw std::runtime_error("server.py did not report its ports: '" + line + "'");
  }
  http_ = j["http"];
  https_ = j["https"];
  proxy_ = j["proxy"];
  proxyAuth_ = j["proxy_auth"];
}

TestServer::~TestServer() {
  close(stdinFd_);
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string TestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_) + path;
}
std::string TestServer::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_) + path;
}
std::string TestServer::Html(const std::string& html) const { return Url("/html?body=" + UrlEncode(html)); }
std::string TestServer::ProxyHostPort() const { return "127.0.0.1:" + std::to_string(proxy_); }
std::string TestServer::ProxyAuthHostPort() const { return "127.0.0.1:" + std::to_string(proxyAuth_); }

nlohmann::json TestServer::RequestLog(const std::string& pathPrefix) const {
  auto j = nlohmann::json::parse(HttpGet(http_, "/__log?path=" + UrlEncode(pathPrefix)), nullptr, false);
  return j.is_array() ? j : nlohmann::json::array();
}

int TestServer::CountRequests(const std::string& path) const {
  int n = 0;
  for (const auto& e : RequestLog(path))
    if (e.value("path", "") == path) ++n;
  return n;
}

void TestServer::Reset() const { HttpGet(http_, "/__reset"); }

void ServerEnvironment::SetUp() { TestServer::Get(); }

// ---- running ------------------------------------------------------------------

RunResult Run(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = {options.exe.empty() ? HalvernExe() : options.exe};
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv, options, false);
}

RunResult RunChecked(const std::string& tmpdir, const std::vector<std::string>& args, RunOptions options) {
  options.env["TMPDIR"] = tmpdir;
  RunResult r = Run(args, options);
  EXPECT_EQ(RunFolders(tmpdir), std::vector<std::string>{}) << "run folders left behind";
  EXPECT_EQ(BrowserProcesses(tmpdir), std::vector<int>{}) << "browser processes left behind";
  EXPECT_EQ(r.leftovers, std::vector<std::string>{}) << "still running after the run";
  return r;
}

RunResult RunCommand(const std::vector<std::string>& argv, int timeoutMs) {
  return Spawn(argv, {.timeoutMs = timeoutMs, .leftoverGraceMs = 0}, true);
}

// ---- files and processes ------------------------------------------------------

TempDir::TempDir() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string tmpl = (base / "hvn_e2e_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp " + tmpl + ": " + std::strerror(errno));
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string CmdLine(int pid) {
  std::string cmd = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(cmd.begin(), cmd.end(), '\0', ' ');
  while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
  return cmd;
}

int ParentOf(int pid) {
  auto f = StatFields(pid);
  return f.size() > 1 ? std::atoi(f[1].c_str()) : 0;
}

std::vector<int> BrowserProcesses(const std::string& filter) {
  std::vector<int> pids;
  for (int pid : AllPids()) {
    std::string cmd = CmdLine(pid);
    if (cmd.find("chromium-headless-shell") == std::string::npos) continue;
    if (cmd.find(filter) == std::string::npos || IsZombie(pid)) continue;
    pids.push_back(pid);
  }
  return pids;
}

std::vector<std::string> RunFolders(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind("cef_", 0) == 0) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string ReadFile(const std::string& path) {
  // Plain read(2): /proc files report size 0, and a directory must not throw.
  std::string data;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
  close(fd);
  return data;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// ---- PDF and PNG --------------------------------------------------------------

std::map<std::string, std::string> PdfInfo(const std::string& pdf) {
  std::map<std::string, std::string> info;
  std::istringstream in(RunCommand({"pdfinfo", pdf}).out);
  for (std::string line; std::getline(in, line);) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t v = line.find_first_not_of(' ', colon + 1);
    std::string value = v == std::string::npos ? "" : line.substr(v);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    info[line.substr(0, colon)] = value;
  }
  return info;
}

std::string PdfText(const std::string& pdf, int first, int last) {
  std::vector<std::string> argv = {"pdftotext", "-layout"};
  if (first > 0) argv.insert(argv.end(), {"-f", std::to_string(first)});
  if (last > 0) argv.insert(argv.end(), {"-l", std::to_string(last)});
  argv.insert(argv.end(), {pdf, "-"});
  return RunCommand(argv).out;
}

bool QpdfCheck(const std::string& pdf) { return RunCommand({"qpdf", "--check", pdf}).status == 0; }

bool PngSize(const std::string& png, int& w, int& h) {
  std::string head = ReadFile(png).substr(0, 24);
  if (head.size() < 24 || head.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || head.compare(12, 4, "IHDR") != 0)
    return false;
  auto be32 = [&head](size_t at) {
    return (static_cast<unsigned char>(head[at]) << 24) | (static_cast<unsigned char>(head[at + 1]) << 16) |
           (static_cast<unsigned char>(head[at + 2]) << 8) | static_cast<unsigned char>(head[at + 3]);
  };
  w = static_cast<int>(be32(16));
  h = static_cast<int>(be32(20));
  return true;
}

}  // namespace e2e
