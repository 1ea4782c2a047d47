#include "tests/support/e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

std::string UrlEncode(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

RunResult Spawn(const std::vector<std::string>& argv, const RunOptions& o) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    std::string key = kv.substr(0, kv.find('='));
    if (!o.env.count(key)) envText.push_back(kv);
  }
  for (const auto& [k, v] : o.env) envText.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& s : argCopy) args.push_back(s.data());
  args.push_back(nullptr);
  pid_t pid;
  long start = NowMs();
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult r;
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    r.err = "spawn failed";
    return r;
  }
  bool signalled = false, killed = false;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    long now = NowMs();
    if (o.signalAfterMs > 0 && !signalled && now - start >= o.signalAfterMs) {
      kill(pid, o.signal);
      signalled = true;
    }
    if (!killed && now - start > o.timeoutMs) {
      kill(pid, SIGKILL);
      killed = true;
    }
    int ready = poll(fds, 2, 20);
    if (ready <= 0) continue;
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = read(f.fd, buf, sizeof buf);
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open;
      } else {
        (&f == &fds[0] ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.wallMs = NowMs() - start;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace

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
  std::string script = std::string(HVN_TEST_SUPPORT_DIR) + "/server.py";
  std::string pages = PagesDir();
  const char* py = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  std::vector<char*> args = {const_cast<char*>(py), script.data(), pages.data(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, py, &fa, nullptr, args.data(), environ) != 0) throw std::runtime_error("server spawn");
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  stdinFd_ = in[1];  // the server ends when this closes (with the process)
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  auto j = nlohmann::json::parse(line);
  http_ = j["http"];
  https_ = j["https"];
}

std::string TestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_) + path;
}
std::string TestServer::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_) + path;
}
std::string TestServer::Html(const std::string& html) const { return Url("/html?body=" + UrlEncode(html)); }

nlohmann::json TestServer::RequestLog() const {
  RunResult r = RunCommand({"curl", "-s", Url("/__log")});
  return nlohmann::json::parse(r.out, nullptr, false);
}
void TestServer::Reset() const { RunCommand({"curl", "-s", Url("/__reset")}); }

RunResult Run(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = {HALVERN_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv, options);
}

RunResult RunCommand(const std::vector<std::string>& argv, int timeoutMs) {
  RunOptions o;
  o.timeoutMs = timeoutMs;
  return Spawn(argv, o);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "hvn_e2e_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::map<std::string, std::string> PdfInfo(const std::string& pdf) {
  std::map<std::string, std::string> info;
  std::istringstream in(RunCommand({"pdfinfo", pdf}).out);
  for (std::string line; std::getline(in, line);) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t v = line.find_first_not_of(' ', colon + 1);
    info[line.substr(0, colon)] = v == std::string::npos ? "" : line.substr(v);
  }
  return info;
}

bool PageSize(const std::string& pdf, double& w, double& h, int page) {
  std::string p = std::to_string(page);
  std::istringstream in(RunCommand({"pdfinfo", "-f", p, "-l", p, pdf}).out);
  for (std::string line; std::getline(in, line);) {
    if (line.find("size:") == std::string::npos) continue;
    size_t colon = line.find(':');
    return std::sscanf(line.c_str() + colon + 1, " %lf x %lf", &w, &h) == 2;
  }
  return false;
}

std::string PdfText(const std::string& pdf) { return RunCommand({"pdftotext", "-layout", pdf, "-"}).out; }

bool QpdfCheck(const std::string& pdf) {
  RunResult r = RunCommand({"qpdf", "--check", pdf});
  return r.status == 0 || r.status == 3;  // 3: warnings only
}

std::vector<Link> PdfLinks(const std::string& pdf) {
  std::vector<Link> links;
  auto j = nlohmann::json::parse(RunCommand({"qpdf", "--json", "--json-key=pages", "--json-key=objects", pdf}).out,
                                 nullptr, false);
  if (!j.is_object()) return links;
  auto objects = j.value("objects", nlohmann::json::object());
  auto lookup = [&objects](const nlohmann::json& ref) -> nlohmann::json {
    if (ref.is_string() && objects.contains(ref.get<std::string>())) return objects[ref.get<std::string>()];
    return ref;
  };
  int pageNo = 0;
  for (const auto& page : j.value("pages", nlohmann::json::array())) {
    ++pageNo;
    nlohmann::json pageObj = lookup(page["object"]);
    nlohmann::json annots = lookup(pageObj.value("/Annots", nlohmann::json::array()));
    if (!annots.is_array()) continue;
    for (const auto& ref : annots) {
      nlohmann::json a = lookup(ref);
      if (a.value("/Subtype", "") != "/Link") continue;
      nlohmann::json action = lookup(a.value("/A", nlohmann::json::object()));
      std::string uri = action.is_object() ? action.value("/URI", "") : "";
      if (uri.rfind("u:", 0) == 0) uri = uri.substr(2);
      nlohmann::json rect = lookup(a.value("/Rect", nlohmann::json::array()));
      if (!rect.is_array() || rect.size() != 4) continue;
      links.push_back({pageNo, rect[0].get<double>(), rect[1].get<double>(), rect[2].get<double>(),
                       rect[3].get<double>(), uri});
    }
  }
  return links;
}

std::vector<int> BrowserProcesses(const std::string& filter) {
  std::vector<int> pids;
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (dirent* e = readdir(d)) {
    int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string cmd = ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
    std::string stat = ReadFile("/proc/" + std::string(e->d_name) + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') continue;  // zombie
    if (cmd.find("chromium-headless-shell") != std::string::npos && cmd.find(filter) != std::string::npos)
      pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

std::vector<std::string> RunFolders(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind("cef_", 0) == 0) found.push_back(name);
  }
  return found;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string PagesDir() { return HVN_E2E_PAGES_DIR; }

}  // namespace e2e
