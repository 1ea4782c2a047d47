#include "engine/net_fence_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>

#include "tests/support/files.h"

namespace {

using V = std::vector<std::string>;
const nlohmann::json kCases = nlohmann::json::parse(std::ifstream(HVN_ENGINE_TEST_DATA "/net_fence.json"));
const std::string kRefused = std::to_string(ECONNREFUSED);

// A listening (or, for datagrams, bound) socket on a loopback address.
struct Sock {
  int fd = -1;
  std::string port;
  Sock(const char* ip, int type = SOCK_STREAM) {
    addrinfo hints{}, *ai;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = type;
    if (getaddrinfo(ip, "0", &hints, &ai) != 0) return;
    fd = socket(ai->ai_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && (type != SOCK_STREAM || listen(fd, 64) == 0) &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
      port = std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port));  // same offset in sockaddr_in6
    freeaddrinfo(ai);
  }
  ~Sock() { close(fd); }
  int Arrivals() const {
    int n = 0;
    char b;
    for (int c; (c = accept(fd, nullptr, nullptr)) >= 0 || recv(fd, &b, 1, 0) >= 0; ++n)
      if (c >= 0) close(c);
    return n;
  }
};

// The probe's answers to rows, run with the fence preloaded and vars set.
V Probe(const std::string& vars, const V& rows, bool isolated = false) {
  std::string cmd = "env -i ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" HALVERN_NETFENCE_PATH " " + vars +
                    " " HVN_NETFENCE_PROBE + (isolated ? " --isolated" : "");
  for (const auto& r : rows) cmd += " '" + r + "'";
  V out;
  FILE* p = popen(cmd.c_str(), "r");
  char line[64];
  while (p && fgets(line, sizeof line, p)) out.push_back(std::string(line, strcspn(line, "\n")));
  if (p) pclose(p);
  return out;
}

TEST(NetFence, RefusesBlockedKindsOnEveryCall) {
  std::map<std::string, Sock> socks;
  socks.try_emplace("{v4}", "127.0.0.1");
  socks.try_emplace("{other}", "127.5.6.7");
  socks.try_emplace("{proxy}", "127.0.0.1");
  socks.try_emplace("{v6}", "::1");
  socks.try_emplace("{udp}", "127.0.0.1", SOCK_DGRAM);
  for (const auto& [name, s] : socks) ASSERT_TRUE(name == "{v6}" || !s.port.empty()) << name;
  // The listeners' ports in place of their names; empty when one is missing (no IPv6).
  auto fill = [&](std::string t) {
    for (const auto& [name, s] : socks)
      for (size_t at; (at = t.find(name)) != std::string::npos;) {
        if (s.port.empty()) return std::string();
        t.replace(at, name.size(), s.port);
      }
    return t;
  };
  const testfiles::TempDir dir;  // removed however the test ends
  const std::string resolv = dir.File("resolv.conf");
  std::ofstream(resolv) << "# test\nnameserver 127.0.0.1\n  nameserver\t10.0.0.53 # vpc\n";

  std::map<std::string, std::vector<std::pair<std::string, bool>>> byVars;
  for (const auto& [vars, kinds] : kCases["calls"].items())
    for (const auto& [kind, calls] : kinds.items())
      for (const auto& c : calls) {
        std::string call = fill(c);
        if (call.empty()) continue;
        const bool refused = kind == "refused";
        byVars[fill(vars)].emplace_back(call, refused);
        // Without the fence every refused loopback call gets through: the refusals are the fence's doing.
        if (refused && call.find(",127.") != std::string::npos) byVars[""].emplace_back(call, false);
      }
  int arrivals = 0;
  for (const auto& [vars, group] : byVars) {
    V rows;
    for (const auto& g : group) rows.push_back(g.first);
    V got = Probe(vars + " HALVERN_FENCE_RESOLV=" + resolv, rows);
    ASSERT_EQ(got.size(), rows.size()) << vars;
    for (size_t i = 0; i < rows.size(); ++i) {
      // Open: whatever the kernel answers, as long as it is not the fence's refusal.
      EXPECT_EQ(got[i] == kRefused, group[i].second) << vars << " " << rows[i] << " gave " << got[i];
      if (!group[i].second && rows[i][0] != 'u') ++arrivals;  // udp and unix rows reach no listener
    }
  }
  for (const auto& [name, s] : socks) arrivals -= s.Arrivals();
  EXPECT_EQ(arrivals, 0);

  // Datagrams beyond loopback only from a namespace with no route off this
  // machine, so that a broken fence fails without sending anything.
  V sends = {"sendto,10.0.0.1,9", "sendmsg,169.254.169.254,80", "sendmmsg,fd00::1,9"};
  V got = Probe("HALVERN_FENCE=private", sends, true);
  if (got == V{"no-netns"}) GTEST_SKIP() << "no network namespace for the datagram rows";
  EXPECT_EQ(got, V(sends.size(), kRefused));
}

TEST(NetFence, LibraryNeedsOnlyTheCLibrary) {
  FILE* p = popen("readelf -d " HALVERN_NETFENCE_PATH " 2>/dev/null | grep NEEDED", "r");
  std::string needed;
  for (char b[256]; p && fgets(b, sizeof b, p);) needed += b;
  if (!p || pclose(p) != 0) GTEST_SKIP() << "no readelf";
  EXPECT_EQ(needed.find("++"), std::string::npos) << needed;
}

TEST(NetFence, ProxyDestinations) {
  for (const auto& c : kCases["proxies"]) {
    V got = engine::ProxyDestinations(c[0]);
    std::erase(got, "[::1]:3128");
    EXPECT_EQ(got, c[1].get<V>()) << c[0];
  }
}

TEST(NetFence, LaunchEnvironment) {
  for (const auto& c : kCases["launch"]) {
    V env = c[2];
    EXPECT_EQ(engine::AddNetFence(env, {c[0][0], c[0][1]}, c.size() > 5 ? c[5].get<std::string>() : "http://127.0.0.1:8080", c[1]), c[3]) << c;
    EXPECT_EQ(env, c[4].get<V>()) << c;
  }
}

}  // namespace
