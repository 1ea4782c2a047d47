#include "tests/e2e/serve_client.h"

#include <signal.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace serve {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::string BodyOf(const json& q) {
  if (q.contains("bodySize")) {
    const std::string head = R"({"htmlString": "<p>SIZED</p><!--)", tail = R"(-->"})";
    return head + std::string(q["bodySize"].get<size_t>() - head.size() - tail.size(), 'x') + tail;
  }
  return !q.contains("body") ? "" : q["body"].is_string() ? q["body"].get<std::string>() : q["body"].dump();
}

std::map<std::string, std::string> Headers(const std::string& dump) {
  std::map<std::string, std::string> h;
  const size_t last = dump.rfind("HTTP/");  // after a 100 Continue, the final answer
  std::istringstream in(last == std::string::npos ? "" : dump.substr(last));
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, m, std::regex("([^: ]+): *(.*?)\r?"))) {
      std::string name = m[1];
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      h[name] = m[2];
    }
  return h;
}

}  // namespace

std::vector<Reply> Send(const std::string& base, const std::vector<json>& requests, int parallel) {
  e2e::TempDir dir;
  auto quoted = [](const std::string& s) { return json(s).dump(); };  // curl's config quoting is JSON's
  std::string config;
  for (size_t i = 0; i < requests.size(); ++i) {
    const json& q = requests[i];
    const std::string n = dir.File(std::to_string(i));
    config += "next\nurl = " + quoted(base + q.value("path", "/convert")) + "\nrequest = " +
              quoted(q.value("method", "POST")) + "\noutput = " + quoted(n + ".body") + "\ndump-header = " +
              quoted(n + ".head") + "\nmax-time = 120\nwrite-out = \"%{http_code} %{exitcode} " +
              std::to_string(i) + "\\n\"\n";
    json headers = q.value("headers", json::object());
    if (!headers.contains("Content-Type")) headers["Content-Type"] = "application/json";
    for (const auto& [name, value] : headers.items())
      config += "header = " + quoted(name + ": " + std::string(value)) + "\n";
    if (const std::string body = BodyOf(q); !body.empty() || q.contains("body")) {
      e2e::WriteFile(n + ".req", body);
      config += "data-binary = " + quoted("@" + n + ".req") + "\n";
    }
  }
  e2e::WriteFile(dir.File("config"), config);
  const e2e::RunResult r = e2e::RunCommand(
      {"curl", "-sS", "--parallel", "--parallel-immediate", "--parallel-max", std::to_string(parallel), "-K",
       dir.File("config")},
      600000);
  std::vector<Reply> replies(requests.size());
  std::istringstream lines(r.out);
  for (int status, exit, i; lines >> status >> exit >> i;)
    if (i >= 0 && i < static_cast<int>(replies.size())) {
      replies[i] = {status, exit, Headers(e2e::ReadFile(dir.File(std::to_string(i) + ".head"))),
                    e2e::ReadFile(dir.File(std::to_string(i) + ".body"))};
    }
  return replies;
}

double Metric(const std::string& base, const std::string& name) {
  const std::string text = Send(base, {{{"method", "GET"}, {"path", "/metrics"}}})[0].body;
  std::smatch m;
  const std::string quoted = std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
  return std::regex_search(text, m, std::regex("(^|\n)" + quoted + " ([0-9.e+-]+)")) ? std::stod(m[2]) : -1;
}

std::vector<std::string> JobFolders(const std::string& tmp, bool all, int waitMs) {
  const std::regex browsers("cef_(cache|log)_[0-9A-F-]{36}");
  std::vector<std::string> left;
  for (int waited = 0;; waited += 100) {
    left.clear();
    for (const auto& e : fs::directory_iterator(tmp))
      if (all || !std::regex_match(e.path().filename().string(), browsers)) left.push_back(e.path().filename());
    if (left.empty() || waited >= waitMs * e2e::Slowdown()) return left;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Service::Service(std::vector<std::string> options, const std::string& address,
                 const std::map<std::string, std::string>& env) {
  options.insert(options.begin(), "--serve=" + address);
  runner_ = std::thread([this, options, env] {
    e2e::RunOptions o;
    o.env = env;
    o.timeoutMs = 600000;
    o.onOutput = [this](int pid, const std::string& out) {
      std::lock_guard<std::mutex> lock(mu_);
      pid_ = pid, out_ = out;
      changed_.notify_all();
    };
    e2e::RunResult r = e2e::RunChecked(tmp_.path(), options, o);
    std::lock_guard<std::mutex> lock(mu_);
    result_ = r, ended_ = true;
    changed_.notify_all();
  });
  // The serving line, or else the end: a service that cannot serve ends by itself.
  const std::regex serving(R"(\[main\] Serving on (http://(127\.0\.0\.1|\[::1\]):[1-9][0-9]*)/\n[^]*)");
  std::smatch m;
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, std::chrono::seconds(60 * e2e::Slowdown()),
                    [&] { return ended_ || std::regex_match(out_, m, serving); });
  if (std::regex_match(out_, m, serving)) url = m[1];
}

void Service::Signal(int sig) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!ended_ && pid_ > 0) kill(pid_, sig);
}

e2e::RunResult Service::Stop() {
  if (!runner_.joinable()) return result_;
  Signal(SIGTERM);
  runner_.join();
  EXPECT_EQ(JobFolders(tmp_.path(), true), std::vector<std::string>{}) << "left in the service's TMPDIR";
  return result_;
}

int Service::pid() {
  std::lock_guard<std::mutex> lock(mu_);
  return pid_;
}

}  // namespace serve
