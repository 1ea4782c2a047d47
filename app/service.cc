#include "app/service.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "app/service_connections.h"
#include "app/stop_signals.h"
#include "runlog/run_log.h"

namespace {

// Time to send a request's line and headers, and between requests on one
// connection, however slowly the bytes come.
constexpr std::chrono::seconds kRequestDeadline{30};

bool ParseCount(const std::string& text, int64_t min, int64_t max, int64_t& out) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoll(text);
  return out >= min && out <= max;
}

bool ParseAddress(const std::string& address, std::string& host, int& port) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = address.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // IPv6 needs its brackets
  }
  int64_t p = 0;
  if (!ParseCount(address.substr(colon + 1), 0, 65535, p)) return false;
  port = static_cast<int>(p);
  return true;
}

// Options naming a job's configuration or output files.
bool IsJobFileOption(const std::string& option) {
  for (const char* prefix : {"--config=", "--dd=", "--is=", "--of=", "--os="})
    if (option.rfind(prefix, 0) == 0) return true;
  return false;
}

bool ParseAllow(const std::string& list, ServiceRules& rules) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string item = list.substr(start, comma - start);
    if (item == "local-files") rules.localFiles = true;
    else if (item == "localhost") rules.localhost = true;
    else if (item == "private-networks") rules.privateNetworks = true;
    else return false;
    start = comma + 1;
  }
  return true;
}

}  // namespace

bool ParseServiceOptions(const std::string& address, const std::vector<std::string>& options, ServiceOptions& out,
                         std::string& error) {
  out = ServiceOptions{};
  if (!ParseAddress(address, out.host, out.port)) {
    error = "Invalid value for --serve=: " + address + " (expected ADDRESS:PORT, [IPv6]:PORT)";
    return false;
  }
  out.runner.workers = static_cast<int>(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 4));
  out.runner.queueCapacity = 64;
  std::string tokenFile;
  for (const std::string& o : options) {
    const std::string name = o.substr(0, o.find('=') + 1);
    const std::string value = o.substr(name.size());
    int64_t v = 0;
    bool ok = true;
    if (name == "--workers=") ok = ParseCount(value, 1, 64, v) && (out.runner.workers = static_cast<int>(v));
    else if (name == "--recycle-after=") ok = ParseCount(value, 1, 1000000000, v) && (out.runner.recycleAfter = static_cast<int>(v));
    else if (name == "--recycle-memory=") ok = ParseCount(value, 1, 1 << 30, v) && (out.runner.recycleMemoryMb = v);
    else if (name == "--serve-queue=") ok = ParseCount(value, 0, 100000, v) && ((out.runner.queueCapacity = static_cast<size_t>(v)), true);
    else if (name == "--serve-max-body=") ok = ParseCount(value, 1, int64_t(1) << 32, v) && (out.maxBodyBytes = static_cast<size_t>(v));
    else if (name == "--serve-token-file=") ok = !(tokenFile = value).empty();
    else if (name == "--serve-allow=") ok = ParseAllow(value, out.rules);
    else if (IsJobFileOption(o)) {
      error = "The service writes each job's files itself: " + o + " is not a service default.";
      return false;
    } else if (o.rfind("--serve", 0) == 0) {
      error = "Unknown service option: " + o;
      return false;
    } else if (o.rfind("-", 0) != 0) {
      error = "Service defaults are options only: " + o;
      return false;
    } else {
      out.runner.jobDefaults.push_back(o);
    }
    if (!ok) {
      error = "Invalid value for " + name;
      return false;
    }
  }
  if (!tokenFile.empty()) {
    std::ifstream in(tokenFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!in.is_open() || text.empty()) {
      error = "Cannot read a token from --serve-token-file=" + tokenFile;
      return false;
    }
    out.token = text;
  }
  return ReadServiceDefaults(out.runner.jobDefaults, out.rules, error);
}

int RunService(const std::string& address, const std::vector<std::string>& options) {
  ServiceOptions service;
  std::string error;
  if (!ParseServiceOptions(address, options, service, error)) {
    RunLog().LogError("[main] " + error);
    return 1;
  }
  InstallStopSignals();
  httplib::Server server;
  // Answers go out as written: a document's last segment must not wait for
  // the client's delayed acknowledgement of the headers.
  server.set_socket_options([](socket_t sock) {
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  });
  const int port = service.port == 0                                   ? server.bind_to_any_port(service.host)
                   : server.bind_to_port(service.host, service.port) ? service.port
                                                                     : -1;
  if (port <= 0) {
    RunLog().LogError("[main] Cannot listen on " + address + ".");
    return 1;
  }
  // Standard output carries the service's own lines; the browsers'
  // diagnostics go to their logs.
  if (!std::freopen("/dev/null", "w", stderr)) {
  }
  JobRunner runner(service.runner);
  ServiceState state{service, runner};
  // Each waiting request holds a connection; a few more answer health
  // checks and refusals while the queue is full.
  const size_t connections = static_cast<size_t>(service.runner.workers) + service.runner.queueCapacity + 16;
  server.new_task_queue = [connections, port] { return new ConnectionSlots(connections, port, kRequestDeadline); };
  server.set_read_timeout(10, 0);
  server.set_write_timeout(30, 0);
  server.set_keep_alive_timeout(5);
  server.set_keep_alive_max_count(1000);
  AddServiceRoutes(server, state);

  const std::string shown = service.host.find(':') != std::string::npos ? "[" + service.host + "]" : service.host;
  std::printf("[main] Serving on http://%s:%d/\n", shown.c_str(), port);
  std::fflush(stdout);
  WarmUp(state);

  std::thread stopper([&] {
    pollfd p{StopSignalFd(), POLLIN, 0};
    while (p.fd >= 0 && poll(&p, 1, -1) < 0) {
    }
    state.stopping = true;
    ConnectionSlots::EndReading();
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  // The listener may have failed on its own: the stopper goes too.
  RequestStop();
  stopper.join();
  runner.Stop();
  std::printf("[main] Service stopped.\n");
  std::fflush(stdout);
  return listened ? 0 : 1;
}
