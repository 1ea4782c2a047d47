#include "engine/net_fence_env.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>

namespace {

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
std::vector<std::string> Probe(const std::string& vars, const std::vector<std::string>& rows, bool isolated = false) {
  std::string cmd = "env -i ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" HALVERN_NETFENCE_PATH " " + vars +
                    " " HVN_NETFENCE_PROBE + (isolated ? " --isolated" : "");
  for (const auto& r : rows) cmd += " '" + r + "'";
  std::vector<std::string> out;
  FILE* p = popen(cmd.c_str(), "r");
  char line[64];
  while (p && fgets(line, sizeof line, p)) out.push_back(std::string(line, strcspn(line, "\n")));
  if (p) pclose(p);
  return out;
}

TEST(NetFence, RefusesBlockedKindsOnEveryCall) {
  Sock v4("127.0.0.1"), other("127.5.6.7"), proxy("127.0.0.1"), v6("::1"), udp("127.0.0.1", SOCK_DGRAM);
  ASSERT_FALSE(v4.port.empty() || other.port.empty() || proxy.port.empty() || udp.port.empty());
  std::string resolv = ::testing::TempDir() + "netfence_resolv.conf";
  std::ofstream(resolv) << "# test\nnameserver 127.0.0.1\n  nameserver\t10.0.0.53 # vpc\n";

  const std::string loop = "HALVERN_FENCE=loopback HALVERN_FENCE_ALLOW=[::1]:1,127.0.0.1:" + proxy.port;
  struct Case {
    std::string vars, row;
    bool refused;
  };
  std::vector<Case> cases = {
      {loop, "tcp,127.0.0.1," + v4.port, true},
      {loop, "tcp,127.5.6.7," + other.port, true},
      {loop, "tcp,0.0.0.0," + v4.port, true},
      {loop, "tcp,::ffff:127.0.0.1," + v4.port, true},
      {loop, "sendto,127.0.0.1," + udp.port, true},
      {loop, "sendmsg,127.0.0.1," + udp.port, true},
      {loop, "sendmmsg,127.0.0.1," + udp.port, true},
      // The proxy's exact destination stays open, in either spelling.
      {loop, "tcp,127.0.0.1," + proxy.port, false},
      {loop, "tcp,::ffff:127.0.0.1," + proxy.port, false},
      // Name servers on port 53 only (connecting a datagram socket sends nothing).
      {loop, "udp,127.0.0.1,53", false},
      {loop, "udp,127.0.0.1,54", true},
      {loop, "udp,10.0.0.1,9", false},
      {loop, "unix,/nonexistent/netfence.sock", false},  // other families pass
      {"HALVERN_FENCE=private", "tcp,127.0.0.1," + v4.port, false},
      {"HALVERN_FENCE=private,loopback", "tcp,127.0.0.1," + v4.port, true},
      {"HALVERN_FENCE=loopbak", "tcp,127.0.0.1," + v4.port, true},  // an unknown word closes
      {"HALVERN_FENCE=loopback HALVERN_FENCE_ALLOW=127.0.0.1:" + v4.port + "x,127.0.0.1,localhost:" + v4.port,
       "tcp,127.0.0.1," + v4.port, true},
  };
  if (!v6.port.empty())
    for (const char* a : {"::1", "::"}) cases.push_back({loop, std::string("tcp,") + a + "," + v6.port, true});
  for (const char* a : {"10.0.0.1", "172.16.0.1", "192.168.1.1", "100.64.0.1", "169.254.169.254",
                        "::ffff:192.168.1.1", "fd00::1", "fe80::1"})
    cases.push_back({"HALVERN_FENCE=private", std::string("udp,") + a + ",9", true});
  cases.push_back({"HALVERN_FENCE=private", "udp,10.0.0.53,53", false});
  // Without the fence every refused loopback call gets through: the
  // refusals above are the fence's doing.
  for (size_t i = 0, n = cases.size(); i < n; ++i)
    if (cases[i].refused && cases[i].row.find(",127.") != std::string::npos) cases.push_back({"", cases[i].row, false});

  std::map<std::string, std::vector<const Case*>> byVars;
  for (const Case& c : cases) byVars[c.vars].push_back(&c);
  int arrivals = 0;
  for (const auto& [vars, group] : byVars) {
    std::vector<std::string> rows;
    for (const Case* c : group) rows.push_back(c->row);
    auto got = Probe(vars + " HALVERN_FENCE_RESOLV=" + resolv, rows);
    ASSERT_EQ(got.size(), rows.size()) << vars;
    for (size_t i = 0; i < rows.size(); ++i) {
      // Open: whatever the kernel answers, as long as it is not the fence's refusal.
      EXPECT_EQ(got[i] == kRefused, group[i]->refused) << vars << " " << rows[i] << " gave " << got[i];
      if (!group[i]->refused && rows[i][0] != 'u') ++arrivals;  // udp and unix rows reach no listener
    }
  }
  EXPECT_EQ(v4.Arrivals() + other.Arrivals() + proxy.Arrivals() + udp.Arrivals() + v6.Arrivals(), arrivals);

  // Datagrams beyond loopback only from a namespace with no route off this
  // machine, so that a broken fence fails without sending anything.
  std::vector<std::string> sends = {"sendto,10.0.0.1,9", "sendmsg,169.254.169.254,80", "sendmmsg,fd00::1,9"};
  auto got = Probe("HALVERN_FENCE=private", sends, true);
  if (got == std::vector<std::string>{"no-netns"}) GTEST_SKIP() << "no network namespace for the datagram rows";
  EXPECT_EQ(got, std::vector<std::string>(sends.size(), kRefused));
}

TEST(NetFence, LibraryNeedsOnlyTheCLibrary) {
  FILE* p = popen("readelf -d " HALVERN_NETFENCE_PATH " 2>/dev/null | grep NEEDED", "r");
  std::string needed;
  for (char b[256]; p && fgets(b, sizeof b, p);) needed += b;
  if (!p || pclose(p) != 0) GTEST_SKIP() << "no readelf";
  EXPECT_EQ(needed.find("++"), std::string::npos) << needed;
}

TEST(NetFence, ProxyDestinations) {
  using V = std::vector<std::string>;
  struct Case {
    const char* proxy;
    V out;
  } cases[] = {
      {"", {}},
      {"127.0.0.1:3128", {"127.0.0.1:3128"}},
      {"127.0.0.1", {"127.0.0.1:80"}},
      {"https://10.1.2.3", {"10.1.2.3:443"}},
      {"socks5://127.0.0.1", {"127.0.0.1:1080"}},
      {"SOCKS5://[::1]:9050", {"[::1]:9050"}},
      {"[::ffff:127.0.0.1]:8080/", {"[::ffff:127.0.0.1]:8080"}},
      {"http=127.0.0.1:1;https=127.0.0.1:2 , 127.0.0.1:1;socks=10.0.0.9", {"10.0.0.9:1080", "127.0.0.1:1", "127.0.0.1:2"}},
      {"direct://;127.0.0.1:99999;:80;[::1;http://;127.0.0.1:8x", {}},
      {"localhost:3128", {"127.0.0.1:3128"}},  // from /etc/hosts; ::1 may come too
  };
  for (const Case& c : cases) {
    V got = engine::ProxyDestinations(c.proxy);
    std::erase(got, "[::1]:3128");
    EXPECT_EQ(got, c.out) << c.proxy;
  }
}

TEST(NetFence, LaunchEnvironment) {
  using V = std::vector<std::string>;
  const V base = {"PATH=/bin", "LD_PRELOAD=/opt/a.so", "HALVERN_FENCE_ALLOW=0.0.0.0:1"};
  const std::string allow = "HALVERN_FENCE_ALLOW=127.0.0.1:8080";
  struct Case {
    engine::NetFenceKinds kinds;
    const char* library;
    V env;
    bool ok;
    V out;
  } cases[] = {
      {{}, "/x/f.so", base, true, base},
      {{true, false}, "/x/f.so", {"PATH=/bin"}, true, {"PATH=/bin", "LD_PRELOAD=/x/f.so", "HALVERN_FENCE=loopback", allow}},
      {{true, true}, "/x/f.so", base, true,
       {"PATH=/bin", "LD_PRELOAD=/x/f.so:/opt/a.so", "HALVERN_FENCE=loopback,private", allow}},
      {{false, true}, "/x/f.so", {"LD_PRELOAD="}, true, {"LD_PRELOAD=/x/f.so", "HALVERN_FENCE=private", allow}},
      // Paths LD_PRELOAD cannot carry: refused, environment untouched.
      {{true, false}, "", base, false, base},
      {{true, false}, "f.so", base, false, base},
      {{true, false}, "/my dir/f.so", base, false, base},
      {{true, false}, "/a:b/f.so", base, false, base},
  };
  for (const Case& c : cases) {
    V env = c.env;
    EXPECT_EQ(engine::AddNetFence(env, c.kinds, "http://127.0.0.1:8080", c.library), c.ok) << c.library;
    EXPECT_EQ(env, c.out) << c.library;
  }
}

}  // namespace
