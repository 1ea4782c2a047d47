#include "tests/support/e2e_support.h"

#include <fstream>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

extern char** environ;

namespace e2e {
namespace {

long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Fields of /proc/<pid>/stat after the command name: state [0], parent [1], group [2].
std::vector<std::string> StatFields(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 1));  // empty when gone
  std::vector<std::string> fields;
  for (std::string f; fields.size() < 3 && in >> f;) fields.push_back(f);
  return fields;
}

std::vector<int> AllPids() {
  std::vector<int> pids;
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d))
      if (int pid = atoi(e->d_name); pid > 0) pids.push_back(pid);
    closedir(d);
  }
  return pids;
}

std::mutex gPidsMutex;
std::set<int> gServerPids;  // our own servers: never a run's leftover
std::set<int> gRunPids;     // runs in flight: their trees belong to them

std::set<int> Locked(const std::set<int>& pids) {
  std::lock_guard<std::mutex> lock(gPidsMutex);
  return pids;
}

void Mark(std::set<int>& pids, int pid, bool in) {
  std::lock_guard<std::mutex> lock(gPidsMutex);
  in ? (void)pids.insert(pid) : (void)pids.erase(pid);
}

// Live processes of the run: its process group, anything that inherited its
// marker, and every descendant of this process but the servers and other
// runs in flight (the browser runs in a group and environment of its own;
// orphans come to us, the child subreaper). Zombies handed to us are reaped.
std::vector<int> RunProcesses(pid_t pgid, const std::string& marker) {
  const int self = getpid();
  const std::set<int> servers = Locked(gServerPids), runs = Locked(gRunPids);
  std::map<int, std::vector<std::string>> stats;
  for (int pid : AllPids())
    if (auto f = StatFields(pid); pid != self && f.size() == 3) stats[pid] = f;
  auto parent = [&](int pid) { return stats.count(pid) ? std::atoi(stats[pid][1].c_str()) : 0; };
  auto descendsFromUs = [&](int pid) {
    for (int hops = 0; hops < 64 && pid > 1; ++hops, pid = parent(pid)) {
      if (pid == pgid) return true;
      if (servers.count(pid) || runs.count(pid) || !stats.count(pid)) return false;
      if (parent(pid) == self) return true;
    }
    return false;
  };
  std::vector<int> found;
  for (const auto& [pid, f] : stats) {
    if (f[0] == "Z" || f[0] == "X") {
      if (parent(pid) == self && !runs.count(pid) && !servers.count(pid)) waitpid(pid, nullptr, WNOHANG);
    } else if (f[2] == std::to_string(pgid) || descendsFromUs(pid) ||
               ReadFile("/proc/" + std::to_string(pid) + "/environ").find(marker) != std::string::npos) {
      found.push_back(pid);
    }
  }
  return found;
}

// Kills and reaps the ones handed to us; a run's own root is left to the
// loop that waits for its status.
void KillAll(pid_t pgid, const std::vector<int>& pids) {
  kill(-pgid, SIGKILL);
  for (int pid : pids) kill(pid, SIGKILL);
  const std::set<int> runs = Locked(gRunPids);
  for (int pid : pids)
    if (pid != pgid && !runs.count(pid)) waitpid(pid, nullptr, 0);  // not ours: returns at once
}

RunResult Spawn(std::vector<std::string> argv, const RunOptions& o) {
  static std::atomic<int> counter{0};
  // Orphans of a run come to us instead of init, so a browser that left
  // the run's process group is still found by its parent.
  [[maybe_unused]] static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  RunResult r;
  const std::string marker = "HVN_E2E_RUN=" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
                             std::to_string(NowMs());
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, o.stdinFile.empty() ? "/dev/null" : o.stdinFile.c_str(),
                                   O_RDONLY, 0);
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
  std::vector<std::string> envText = {marker};
  for (char** e = environ; *e; ++e)
    if (std::string key(*e, strcspn(*e, "=")); !o.env.count(key) && key != "HVN_E2E_RUN") envText.push_back(*e);
  for (const auto& [k, v] : o.env) envText.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto* list : {&envText, &argv}) {
    auto& ptrs = list == &argv ? args : envp;
    for (auto& s : *list) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }

  pid_t pid = -1;
  const long start = NowMs();
  int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(outPipe[1]), close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]), close(errPipe[0]);
    r.spawnError = "spawn " + argv[0] + ": " + std::strerror(rc);
    return r;
  }
  Mark(gRunPids, pid, true);
  bool signalled = false, exited = false;
  int status = 0;
  long exitAt = 0;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  char buf[65536];
  for (;;) {
    const long now = NowMs();
    if (!exited && o.signal != 0 && o.signalAfterMs > 0 && !signalled && now - start >= o.signalAfterMs)
      kill(pid, o.signal), signalled = true;
    if (!exited && !r.timedOut && now - start >= o.timeoutMs) {
      KillAll(pid, RunProcesses(pid, marker));
      r.timedOut = true;
    }
    // Once the child is gone, pipes still held by leftovers must not stall us.
    if (exited && ((fds[0].fd < 0 && fds[1].fd < 0) || now - exitAt > 1000)) break;
    if (poll(fds, 2, 10) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (ssize_t n = read(fds[i].fd, buf, sizeof buf); n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        if (i == 0 && o.onOutput) o.onOutput(pid, r.out);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    struct rusage usage {};
    if (!exited && wait4(pid, &status, WNOHANG, &usage) == pid) {
      r.peakRssKb = usage.ru_maxrss;
      exited = true;
      r.wallMs = (exitAt = NowMs()) - start;
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::vector<int> left = RunProcesses(pid, marker);
  for (long until = NowMs() + o.leftoverGraceMs; !left.empty() && NowMs() < until; left = RunProcesses(pid, marker))
    usleep(50 * 1000);
  for (int p : left) r.leftovers.push_back(std::to_string(p) + " " + CmdLine(p));
  if (!left.empty()) KillAll(pid, left);
  Mark(gRunPids, pid, false);
  return r;
}

// GET of target from this machine's port, HTTP/1.0: the body, empty when
// there is no answer.
std::string HttpGet(int port, const std::string& target) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr = {htonl(INADDR_LOOPBACK)}};
  std::string raw;
  const std::string req = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
    char buf[16384];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return raw.find("\r\n\r\n") == std::string::npos ? "" : raw.substr(raw.find("\r\n\r\n") + 4);
}

}  // namespace

std::string UrlEncode(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += c && (std::isalnum(c) || std::strchr("-_.~", c)) ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

int Slowdown() {
  static const int factor = [] {
    const char* env = std::getenv("HVN_E2E_SLOWDOWN");
    return env && std::atoi(env) > 1 ? std::atoi(env) : 1;
  }();
  return factor;
}

TestServer::TestServer() {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::string script = std::string(HVN_TEST_SUPPORT_DIR) + "/server.py", pages = PagesDir();
  char* argv[] = {const_cast<char*>("/usr/bin/python3"), script.data(), const_cast<char*>("--pages"), pages.data(), nullptr};
  const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]), close(out[1]);
  stdinFd_ = in[1];  // the server ends when this closes, with us at the latest
  Mark(gServerPids, pid_, true);
  // One line of ports, or end of file when the server could not start.
  FILE* ports = fdopen(out[0], "r");
  char buf[512] = {};
  const std::string line = rc == 0 && fgets(buf, sizeof buf, ports) ? buf : "";
  fclose(ports);
  auto j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("http")) throw std::runtime_error("server.py did not report its ports: '" + line + "'");
  for (const auto& [name, port] : j.items())
    if (port.is_number_integer()) ports_[name] = port;
}

TestServer::~TestServer() {
  close(stdinFd_);
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string TestServer::Url(const std::string& path) const { return "http://" + HostPort("http") + path; }
std::string TestServer::HttpsUrl(const std::string& path) const { return "https://" + HostPort("https") + path; }
std::string TestServer::Html(const std::string& html) const { return Url("/html?body=" + UrlEncode(html)); }

nlohmann::json TestServer::RequestLog(const std::string& pathPrefix) const {
  auto j = nlohmann::json::parse(HttpGet(port(), "/__log?path=" + UrlEncode(pathPrefix)), nullptr, false);
  return j.is_array() ? j : nlohmann::json::array();
}

int TestServer::CountRequests(const std::string& path) const {
  auto log = RequestLog(path);
  return std::count_if(log.begin(), log.end(), [&](const auto& e) { return e.value("path", "") == path; });
}

void TestServer::Reset() const { HttpGet(port(), "/__reset"); }

RunResult Run(const std::vector<std::string>& args, RunOptions options) {
  std::vector<std::string> argv = {options.exe.empty() ? HalvernExe() : options.exe};
  argv.insert(argv.end(), args.begin(), args.end());
  options.timeoutMs *= Slowdown();
  options.leftoverGraceMs *= Slowdown();
  return Spawn(argv, options);
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
  return Spawn(argv, {.timeoutMs = timeoutMs, .leftoverGraceMs = 0});
}

std::string CmdLine(int pid) {
  std::string cmd = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(cmd.begin(), cmd.end(), '\0', ' ');
  while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
  return cmd;
}

int ParentOf(int pid) {
  auto f = StatFields(pid);
  return f.size() > 1 ? std::stoi(f[1]) : 0;
}

std::vector<int> BrowserProcesses(const std::string& filter) {
  std::vector<int> pids = AllPids();
  std::erase_if(pids, [&](int pid) {
    const std::string cmd = CmdLine(pid);
    auto f = StatFields(pid);
    return cmd.find("chromium-headless-shell") == std::string::npos || cmd.find(filter) == std::string::npos ||
           f.empty() || f[0] == "Z" || f[0] == "X";
  });
  return pids;
}

std::vector<int> RunBrowserProcesses(const std::string& tmp, const std::string& type) {
  std::vector<int> browsers;
  for (int pid : BrowserProcesses(tmp))
    if (CmdLine(pid).find("--type=") == std::string::npos) browsers.push_back(pid);
  if (type.empty()) return browsers;
  // Child processes do not always carry the user-data-dir; go by ancestry
  // (a renderer forked from a zygote is the browser's grandchild).
  std::vector<int> children;
  for (int pid : BrowserProcesses("--type=" + type)) {
    auto isBrowser = [&](int p) { return std::find(browsers.begin(), browsers.end(), p) != browsers.end(); };
    int up = ParentOf(pid);
    for (int depth = 0; depth < 3 && up > 1 && !isBrowser(up); ++depth) up = ParentOf(up);
    if (isBrowser(up)) children.push_back(pid);
  }
  return children;
}

std::vector<std::string> RunFolders(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().filename().string().starts_with("cef_")) found.push_back(e.path().filename().string());
  std::sort(found.begin(), found.end());
  return found;
}

long CountText(const std::string& got, const nlohmann::json& want) {
  if (want.is_object()) {
    std::regex re(want["re"].get<std::string>());
    return std::distance(std::sregex_iterator(got.begin(), got.end(), re), std::sregex_iterator());
  }
  const std::string text = want;
  long n = 0;
  for (size_t at = 0; (at = got.find(text, at)) != std::string::npos; at += text.size()) ++n;
  return n;
}

bool MatchesPattern(const nlohmann::json& v, const nlohmann::json& p) {
  if (p.is_object() && p.contains("re")) return v.is_string() && CountText(v, p) > 0;
  if (!p.is_object()) return v == p;
  for (const auto& [k, want] : p.items())
    if (want.is_null() ? v.contains(k) : !v.contains(k) || !MatchesPattern(v[k], want)) return false;
  return true;
}

void ExpectTexts(const std::string& what, const std::string& got, const nlohmann::json& want) {
  for (const auto& [prefix, lo, hi] : {std::tuple{"", 1, INT_MAX}, {"no ", 0, 0}, {"one ", 1, 1}})
    for (const nlohmann::json& text : want.value(prefix + what, nlohmann::json::array())) {
      const long n = CountText(got, text);
      EXPECT_TRUE(n >= lo && n <= hi) << prefix << what << " " << text << " seen " << n << " times\n" << got;
    }
}

void ExpectRequests(const nlohmann::json& log, const nlohmann::json& patterns) {
  for (const nlohmann::json& pattern : patterns)
    for (const nlohmann::json& name : pattern.value("for", nlohmann::json::array({""}))) {
      const nlohmann::json q = Fill(pattern, {{"{for}", name.get<std::string>()}});
      std::string hits;
      int n = 0;
      for (const nlohmann::json& e : log)
        if (MatchesPattern(e, q["where"])) {
          ++n;
          hits += e["scheme"].get<std::string>() + " " + e["target"].get<std::string>() + "\n";
          if (q.contains("each")) EXPECT_TRUE(MatchesPattern(e, q["each"])) << q["each"] << "\n" << e.dump();
        }
      EXPECT_GE(n, q.value("min", q.value("count", 0))) << q["where"] << "\n" << hits;
      EXPECT_LE(n, q.value("max", q.value("count", INT_MAX))) << q["where"] << "\n" << hits;
    }
}

std::map<std::string, std::string> PdfInfo(const std::string& pdf) {
  std::map<std::string, std::string> info;
  std::istringstream in(RunCommand({"pdfinfo", pdf}).out);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, m, std::regex("([^:]+): *(.*?)[ \r]*"))) info[m[1]] = m[2];
  return info;
}

std::string PdfText(const std::string& pdf, int first, int last) {
  return RunCommand({"pdftotext", "-layout", "-f", std::to_string(std::max(first, 1)), "-l",
                     std::to_string(last > 0 ? last : 1 << 30), pdf, "-"}).out;
}

bool RegisterRows(const char* suite, const std::string& file, void (*run)(const nlohmann::json&)) {
  class Row : public ::testing::Test {
   public:
    Row(nlohmann::json c, void (*run)(const nlohmann::json&)) : c_(std::move(c)), run_(run) {}
    void TestBody() override {
      for (const nlohmann::json& r : c_.contains("runs") ? c_["runs"] : nlohmann::json::array({c_})) run_(r);
    }

   private:
    nlohmann::json c_;
    void (*run_)(const nlohmann::json&);
  };
  for (const nlohmann::json& c : nlohmann::json::parse(std::ifstream(PagesDir() + "/../data/" + file)))
    ::testing::RegisterTest(suite, c["name"].get<std::string>().c_str(), nullptr, nullptr, __FILE__, __LINE__,
                            [c, run]() -> ::testing::Test* { return new Row(c, run); });
  return true;
}

}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The shared server starts before the first test: its failure is reported once.
  struct StartServer : ::testing::Environment {
    void SetUp() override { e2e::TestServer::Get(); }
  };
  ::testing::AddGlobalTestEnvironment(new StartServer);
  return RUN_ALL_TESTS();
}
