#include "engine/net_fence_env.h"

#include <algorithm>
#include <cctype>

#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace engine {

namespace {

constexpr const char* kLibraryName = "libhvn_netfence.so";

bool Readable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> Split(const std::string& s, const std::string& separators) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i)
    if (i == s.size() || separators.find(s[i]) != std::string::npos) {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  return out;
}

std::string Entry(int family, const void* addr, int port) {
  char ip[INET6_ADDRSTRLEN];
  if (!inet_ntop(family, addr, ip, sizeof ip)) return "";
  std::string host = family == AF_INET6 ? "[" + std::string(ip) + "]" : std::string(ip);
  return host + ":" + std::to_string(port);
}

// One proxy of the list, "[scheme://]host[:port]"; the scheme picks the
// default port as the browser does.
void AddProxy(std::string proxy, const std::string& defaultScheme, std::vector<std::string>& out) {
  std::string scheme = defaultScheme;
  if (size_t sep = proxy.find("://"); sep != std::string::npos) {
    scheme = proxy.substr(0, sep);
    proxy = proxy.substr(sep + 3);
  }
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme == "direct") return;
  proxy = proxy.substr(0, proxy.find('/'));
  if (size_t at = proxy.rfind('@'); at != std::string::npos) proxy = proxy.substr(at + 1);

  int port = scheme == "https" || scheme == "quic" ? 443 : scheme.rfind("socks", 0) == 0 ? 1080 : 80;
  std::string host = proxy;
  std::string portText;
  if (!proxy.empty() && proxy[0] == '[') {
    size_t close = proxy.find(']');
    if (close == std::string::npos) return;
    host = proxy.substr(1, close - 1);
    if (close + 1 < proxy.size()) {
      if (proxy[close + 1] != ':') return;
      portText = proxy.substr(close + 2);
    }
  } else if (size_t colon = proxy.rfind(':'); colon != std::string::npos) {
    host = proxy.substr(0, colon);
    portText = proxy.substr(colon + 1);
  }
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return;
    port = std::stoi(portText);
  }
  if (host.empty() || port <= 0 || port > 65535) return;

  unsigned char bytes[16];
  if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
    out.push_back(Entry(AF_INET, bytes, port));
    return;
  }
  if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
    out.push_back(Entry(AF_INET6, bytes, port));
    return;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return;
  for (addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family == AF_INET)
      out.push_back(Entry(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, port));
    else if (a->ai_family == AF_INET6)
      out.push_back(Entry(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, port));
  }
  freeaddrinfo(res);
}

void SetVariable(std::vector<std::string>& env, const std::string& name, const std::string& value) {
  std::string prefix = name + "=";
  env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& v) { return v.rfind(prefix, 0) == 0; }),
            env.end());
  env.push_back(prefix + value);
}

}  // namespace

std::string NetFenceLibraryPath() {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    // Beside the executable in a build; under the prefix's lib/ once installed.
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/') + 1);
    for (const char* sub : {"", HALVERN_NETFENCE_INSTALLED "/"})
      if (std::string path = dir + sub + kLibraryName; Readable(path)) return path;
  }
#ifdef HALVERN_NETFENCE_PATH
  if (Readable(HALVERN_NETFENCE_PATH)) return HALVERN_NETFENCE_PATH;
#endif
  return "";
}

std::vector<std::string> ProxyDestinations(const std::string& proxyServer) {
  std::vector<std::string> out;
  for (const std::string& rule : Split(proxyServer, ";")) {
    std::string list = rule;
    std::string defaultScheme = "http";
    // "scheme=list": the key names the URLs it serves, not the proxy's
    // scheme, except for socks= (SOCKS v4 by default).
    if (size_t eq = rule.find('='); eq != std::string::npos && rule.find("://") > eq) {
      if (Trim(rule.substr(0, eq)) == "socks") defaultScheme = "socks4";
      list = rule.substr(eq + 1);
    }
    for (const std::string& proxy : Split(list, ",")) {
      std::string p = Trim(proxy);
      if (!p.empty()) AddProxy(p, defaultScheme, out);
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  out.erase(std::remove(out.begin(), out.end(), std::string()), out.end());
  return out;
}

bool AddNetFence(std::vector<std::string>& env, NetFenceKinds kinds, const std::string& proxyServer,
                 const std::string& library) {
  if (!kinds.loopback && !kinds.privateNetworks) return true;
  if (library.empty() || library[0] != '/' || library.find_first_of(": \t\n") != std::string::npos) return false;

  std::string preload = library;
  for (const std::string& v : env)
    if (v.rfind("LD_PRELOAD=", 0) == 0 && v.size() > 11) preload += ":" + v.substr(11);
  std::string blocked = kinds.loopback ? "loopback" : "";
  if (kinds.privateNetworks) blocked += blocked.empty() ? "private" : ",private";
  std::string allow;
  for (const std::string& d : ProxyDestinations(proxyServer)) allow += (allow.empty() ? "" : ",") + d;

  SetVariable(env, "LD_PRELOAD", preload);
  SetVariable(env, "HALVERN_FENCE", blocked);
  // Set even when empty, so that one inherited from our own environment
  // cannot open anything.
  SetVariable(env, "HALVERN_FENCE_ALLOW", allow);
  return true;
}

}  // namespace engine
