#include "engine/net_fence_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr int kRefused = ECONNREFUSED;
constexpr int kOpen = 0;

// A loopback listener; the probe's calls land here when the fence lets them.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener(int family, const char* ip, int type = SOCK_STREAM) {
    fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&ss);
      in->sin_family = AF_INET;
      inet_pton(AF_INET, ip, &in->sin_addr);
      len = sizeof *in;
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
      in6->sin6_family = AF_INET6;
      inet_pton(AF_INET6, ip, &in6->sin6_addr);
      len = sizeof *in6;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
      if (fd >= 0) close(fd);
      fd = -1;
      return;
    }
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
  // Connections (or datagrams) that arrived since the last call.
  int Drain() const {
    int n = 0;
    char buf[16];
    for (;;) {
      int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        close(c);
        ++n;
      } else if (recv(fd, buf, sizeof buf, 0) >= 0) {
        ++n;
      } else {
        return n;
      }
    }
  }
};

// Runs the probe with the fence preloaded; one output line per row.
std::vector<std::string> Probe(const std::map<std::string, std::string>& vars, const std::vector<std::string>& rows,
                               bool isolated = false) {
  std::vector<std::string> env = {"LD_PRELOAD=" HALVERN_NETFENCE_PATH, "ASAN_OPTIONS=verify_asan_link_order=0"};
  for (auto& [k, v] : vars) env.push_back(k + "=" + v);
  std::vector<std::string> args = {HVN_NETFENCE_PROBE};
  if (isolated) args.push_back("--isolated");
  args.insert(args.end(), rows.begin(), rows.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while (rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  if (rc == 0) waitpid(pid, nullptr, 0);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Row {
  const char* call;
  const char* address;
  int port;
  int fenced;  // expected errno with the fence on
};

std::string Format(const Row& r) { return std::string(r.call) + "," + r.address + "," + std::to_string(r.port); }

class NetFence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(v4.fd, 0);
    ASSERT_GE(v4b.fd, 0);
    ASSERT_GE(allowed.fd, 0);
    ASSERT_GE(udp.fd, 0);
    resolv = ::testing::TempDir() + "netfence_resolv.conf";
  }
  void WriteResolv(const std::string& text) { std::ofstream(resolv) << text; }

  // Rows the fence refuses connect without it (so the refusal is the
  // fence's doing); open rows reach their listener.
  void Check(const std::map<std::string, std::string>& fence, const std::vector<Row>& rows, bool control = true) {
    std::vector<std::string> args;
    for (const Row& r : rows) args.push_back(Format(r));
    if (control) {
      auto open = Probe({{"HALVERN_FENCE_RESOLV", resolv}}, args);
      ASSERT_EQ(open.size(), rows.size());
      for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].fenced == kRefused) EXPECT_EQ(open[i], "0") << "without fence: " << args[i];
    }
    Drain();
    int expectedArrivals = 0;
    for (const Row& r : rows)
      if (r.fenced == kOpen && std::string(r.call) != "udp" && std::string(r.call) != "unix") ++expectedArrivals;
    auto vars = fence;
    vars["HALVERN_FENCE_RESOLV"] = resolv;
    auto got = Probe(vars, args);
    ASSERT_EQ(got.size(), rows.size());
    // Open: whatever the kernel says (a datagram socket may have no route
    // here), as long as it is not the fence's refusal.
    for (size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(got[i] == std::to_string(kRefused), rows[i].fenced == kRefused) << args[i] << " gave " << got[i];
    EXPECT_EQ(Drain(), expectedArrivals);
  }
  int Drain() { return v4.Drain() + v4b.Drain() + allowed.Drain() + udp.Drain() + (v6.fd >= 0 ? v6.Drain() : 0); }

  Listener v4{AF_INET, "127.0.0.1"};
  Listener v4b{AF_INET, "127.5.6.7"};
  Listener allowed{AF_INET, "127.0.0.1"};
  Listener v6{AF_INET6, "::1"};
  Listener udp{AF_INET, "127.0.0.1", SOCK_DGRAM};
  std::string resolv;
};

TEST_F(NetFence, LoopbackOnEveryCallAndSpelling) {
  WriteResolv("# comment\nnameserver 127.0.0.1\nnameserver   10.0.0.53 # vpc\n");
  std::string unixPath = ::testing::TempDir() + "netfence.sock";
  unlink(unixPath.c_str());
  int unixFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s", unixPath.c_str());
  ASSERT_EQ(bind(unixFd, reinterpret_cast<sockaddr*>(&un), sizeof un), 0);
  listen(unixFd, 4);

  std::vector<Row> rows = {
      {"tcp", "127.0.0.1", v4.port, kRefused},
      {"tcp", "127.5.6.7", v4b.port, kRefused},
      {"tcp", "0.0.0.0", v4.port, kRefused},
      {"tcp", "::ffff:127.0.0.1", v4.port, kRefused},
      {"sendto", "127.0.0.1", udp.port, kRefused},
      {"sendmsg", "127.0.0.1", udp.port, kRefused},
      {"sendmmsg", "127.0.0.1", udp.port, kRefused},
      // The proxy's exact destination stays open, in either spelling.
      {"tcp", "127.0.0.1", allowed.port, kOpen},
      {"tcp", "::ffff:127.0.0.1", allowed.port, kOpen},
      // Name servers on port 53 only; connecting a datagram socket sends nothing.
      {"udp", "127.0.0.1", 53, kOpen},
      {"udp", "127.0.0.1", 54, kRefused},
      {"udp", "10.0.0.53", 53, kOpen},
      {"udp", "10.0.0.1", 9, kOpen},  // private ranges are another kind
      {"unix", unixPath.c_str(), 0, kOpen},
  };
  if (v6.fd >= 0) {
    rows.push_back({"tcp", "::1", v6.port, kRefused});
    rows.push_back({"tcp", "::", v6.port, kRefused});
  }
  Check({{"HALVERN_FENCE", "loopback"}, {"HALVERN_FENCE_ALLOW", "[::1]:1, 127.0.0.1:" + std::to_string(allowed.port)}},
        rows);
  close(unixFd);
  unlink(unixPath.c_str());
}

TEST_F(NetFence, ConfigurationWords) {
  WriteResolv("");
  std::string p = std::to_string(v4.port);
  struct Case {
    std::map<std::string, std::string> fence;
    int loopback;
  } cases[] = {
      {{}, kOpen},
      {{{"HALVERN_FENCE", ""}}, kOpen},
      {{{"HALVERN_FENCE", "private"}}, kOpen},
      {{{"HALVERN_FENCE", "private,loopback"}}, kRefused},
      {{{"HALVERN_FENCE", "loopbak"}}, kRefused},  // unknown words close
      // Malformed allow entries open nothing.
      {{{"HALVERN_FENCE", "loopback"}, {"HALVERN_FENCE_ALLOW", "127.0.0.1:" + p + "x,127.0.0.1,localhost:" + p}},
       kRefused},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.fence.count("HALVERN_FENCE") ? c.fence["HALVERN_FENCE"] : "(unset)");
    Check(c.fence, {{"tcp", "127.0.0.1", v4.port, c.loopback}}, false);
  }
}

TEST_F(NetFence, PrivateRanges) {
  WriteResolv("nameserver 10.0.0.53\n");
  // Connecting a datagram socket sends nothing, fence or not.
  std::vector<Row> rows = {
      {"udp", "10.0.0.1", 9, kRefused},        {"udp", "172.16.0.1", 9, kRefused},
      {"udp", "192.168.1.1", 9, kRefused},     {"udp", "100.64.0.1", 9, kRefused},
      {"udp", "169.254.169.254", 80, kRefused}, {"udp", "::ffff:192.168.1.1", 9, kRefused},
      {"udp", "fd00::1", 9, kRefused},         {"udp", "fe80::1", 9, kRefused},
      {"udp", "10.0.0.53", 53, kOpen},
      {"tcp", "127.0.0.1", v4.port, kOpen},
  };
  Check({{"HALVERN_FENCE", "private"}}, rows, false);

  // Datagrams only from a namespace with no route off this machine, so that
  // a broken fence fails the test without sending anything.
  std::vector<std::string> sends = {"sendto,10.0.0.1,9", "sendmsg,169.254.169.254,80", "sendmmsg,fd00::1,9"};
  auto got = Probe({{"HALVERN_FENCE", "private"}, {"HALVERN_FENCE_RESOLV", resolv}}, sends, true);
  if (got == std::vector<std::string>{"no-netns"}) GTEST_SKIP() << "no network namespace for the datagram rows";
  EXPECT_EQ(got, std::vector<std::string>(sends.size(), std::to_string(kRefused)));
}

TEST(NetFenceLibrary, NeedsOnlyTheCLibrary) {
  FILE* p = popen("readelf -d " HALVERN_NETFENCE_PATH " 2>/dev/null", "r");
  ASSERT_NE(p, nullptr);
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  if (pclose(p) != 0 || text.empty()) GTEST_SKIP() << "no readelf";
  EXPECT_EQ(text.find("libstdc++"), std::string::npos) << text;
  EXPECT_EQ(text.find("libc++"), std::string::npos) << text;
}

TEST(ProxyDestinations, SwitchSyntaxes) {
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
      {"direct://", {}},
      {"127.0.0.1:99999;:80;[::1;http://;127.0.0.1:8x", {}},
      {"localhost:3128", {"127.0.0.1:3128"}},  // /etc/hosts; ::1 may come too
  };
  for (const Case& c : cases) {
    V got = engine::ProxyDestinations(c.proxy);
    if (std::string(c.proxy).rfind("localhost", 0) == 0) std::erase(got, "[::1]:3128");
    EXPECT_EQ(got, c.out) << c.proxy;
  }
}

TEST(AddNetFence, Environment) {
  using V = std::vector<std::string>;
  const V base = {"PATH=/bin", "LD_PRELOAD=/opt/a.so", "HALVERN_FENCE_ALLOW=0.0.0.0:1"};
  struct Case {
    engine::NetFenceKinds kinds;
    const char* library;
    V env;
    bool ok;
    V out;
  } cases[] = {
      {{}, "/x/libf.so", base, true, base},
      {{true, false}, "/x/libf.so", {"PATH=/bin"}, true,
       {"PATH=/bin", "LD_PRELOAD=/x/libf.so", "HALVERN_FENCE=loopback", "HALVERN_FENCE_ALLOW=127.0.0.1:8080"}},
      {{true, true}, "/x/libf.so", base, true,
       {"PATH=/bin", "LD_PRELOAD=/x/libf.so:/opt/a.so", "HALVERN_FENCE=loopback,private",
        "HALVERN_FENCE_ALLOW=127.0.0.1:8080"}},
      {{false, true}, "/x/libf.so", {"LD_PRELOAD="}, true,
       {"LD_PRELOAD=/x/libf.so", "HALVERN_FENCE=private", "HALVERN_FENCE_ALLOW=127.0.0.1:8080"}},
      {{true, false}, "", base, false, base},
      {{true, false}, "libf.so", base, false, base},
      {{true, false}, "/my dir/libf.so", base, false, base},
      {{true, false}, "/a:b/libf.so", base, false, base},
  };
  for (const Case& c : cases) {
    V env = c.env;
    EXPECT_EQ(engine::AddNetFence(env, c.kinds, "http://127.0.0.1:8080", c.library), c.ok) << c.library;
    EXPECT_EQ(env, c.out) << c.library;
  }
}

TEST(NetFenceLibraryPath, FindsTheBuiltLibrary) {
  // Tests run from the build tree, where nothing sits beside the executable.
  EXPECT_EQ(engine::NetFenceLibraryPath(), HALVERN_NETFENCE_PATH);
}

}  // namespace
