// The connection fence: a library preloaded (LD_PRELOAD) into the browser and
// the processes it starts. It refuses connect, sendto, sendmsg and sendmmsg
// towards the kinds of address a run blocks, whatever channel asked for them
// (fetch, WebSocket, a name that resolves to loopback only after the request
// rule looked at it). Refused calls fail with ECONNREFUSED, which the browser
// reports as a failed connection.
//
// Read once, when the library is loaded:
//   HALVERN_FENCE          kinds to block, comma-separated: "loopback",
//                          "private" (private, shared and link-local ranges).
//                          Unset or empty: the fence lets everything through.
//                          An unknown word blocks both kinds.
//   HALVERN_FENCE_ALLOW    destinations that stay open, comma-separated:
//                          "a.b.c.d:port" or "[v6]:port" (the run's proxy).
//   HALVERN_FENCE_RESOLV   file whose "nameserver" lines stay open on port 53;
//                          /etc/resolv.conf when unset.
//   HALVERN_FENCE_TRACE    "1": a line on standard error when loaded and for
//                          every refusal.
//
// The browser carries its own C++ library, so this one uses only the C
// library: no allocation, no exceptions, nothing from std.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/address_class.h"

#define HVN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Destination {
  unsigned char addr[16];
  int length;  // 4 or 16
  unsigned port;
};

constexpr int kMaxAllowed = 64;

// Plain data, zero before anything runs: a dynamic initializer could run
// after Load() and wipe what it read.
struct Fence {
  bool loopback;
  bool privateNets;
  bool trace;
  int allowedCount;
  Destination allowed[kMaxAllowed];
};

Fence g_fence;

using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
using SendtoFn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
using SendmsgFn = ssize_t (*)(int, const msghdr*, int);
using SendmmsgFn = int (*)(int, mmsghdr*, unsigned, int);

ConnectFn g_connect;
SendtoFn g_sendto;
SendmsgFn g_sendmsg;
SendmmsgFn g_sendmmsg;

template <typename Fn>
Fn Real(Fn& slot, const char* name) {
  // Another preloaded library's constructor may call us before ours ran.
  if (!slot) slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
  return slot;
}

// An IPv4-mapped IPv6 address is the IPv4 one as far as the allow list goes.
void Normalize(Destination& d) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (d.length == 16 && memcmp(d.addr, kMapped, 12) == 0) {
    memmove(d.addr, d.addr + 12, 4);
    d.length = 4;
  }
}

// False for families the fence does not look at (AF_UNIX, netlink, ...).
bool FromSockaddr(const sockaddr* sa, socklen_t len, Destination& d) {
  if (!sa || len < static_cast<socklen_t>(sizeof(sa_family_t))) return false;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    memcpy(d.addr, &in->sin_addr, 4);
    d.length = 4;
    d.port = ntohs(in->sin_port);
  } else if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    memcpy(d.addr, &in6->sin6_addr, 16);
    d.length = 16;
    d.port = ntohs(in6->sin6_port);
  } else {
    return false;  // short addresses: the kernel refuses them itself
  }
  return true;
}

void Trace(const char* what, const Destination& d) {
  if (!g_fence.trace) return;
  char ip[INET6_ADDRSTRLEN] = "?";
  inet_ntop(d.length == 4 ? AF_INET : AF_INET6, d.addr, ip, sizeof ip);
  char line[160];
  int n = snprintf(line, sizeof line, "halvern-fence[%d]: refused %s to %s port %u\n", static_cast<int>(getpid()), what,
                   ip, d.port);
  if (n > 0) (void)!write(2, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
}

// True when the call must fail.
bool Refused(const sockaddr* sa, socklen_t len, const char* what) {
  if (!g_fence.loopback && !g_fence.privateNets) return false;
  Destination d;
  if (!FromSockaddr(sa, len, d)) return false;
  hvn::AddressKind kind = hvn::ClassifyAddress(d.addr, d.length);
  bool blocked = (kind == hvn::AddressKind::Loopback && g_fence.loopback) ||
                 (kind == hvn::AddressKind::Private && g_fence.privateNets);
  if (!blocked) return false;
  Normalize(d);
  for (int i = 0; i < g_fence.allowedCount; ++i) {
    const Destination& a = g_fence.allowed[i];
    if (a.port == d.port && a.length == d.length && memcmp(a.addr, d.addr, d.length) == 0) return false;
  }
  Trace(what, d);
  return true;
}

// ---- configuration ---------------------------------------------------------

void Allow(const char* ip, unsigned port) {
  if (g_fence.allowedCount == kMaxAllowed) return;
  Destination d{};
  d.port = port;
  if (inet_pton(AF_INET, ip, d.addr) == 1) {
    d.length = 4;
  } else if (inet_pton(AF_INET6, ip, d.addr) == 1) {
    d.length = 16;
  } else {
    return;
  }
  Normalize(d);
  g_fence.allowed[g_fence.allowedCount++] = d;
}

// "a.b.c.d:port" or "[v6]:port", n characters; anything else is ignored, so
// that a malformed entry opens nothing.
void AllowEntry(const char* s, size_t n) {
  char ip[INET6_ADDRSTRLEN];
  const char* colon = nullptr;
  for (size_t i = n; i > 0; --i)
    if (s[i - 1] == ':') {
      colon = s + i - 1;
      break;
    }
  if (!colon) return;
  const char* host = s;
  size_t hostLen = static_cast<size_t>(colon - s);
  if (hostLen >= 2 && host[0] == '[' && host[hostLen - 1] == ']') {
    ++host;
    hostLen -= 2;
  }
  if (hostLen == 0 || hostLen >= sizeof ip) return;
  memcpy(ip, host, hostLen);
  ip[hostLen] = '\0';
  unsigned port = 0;
  const char* p = colon + 1;
  if (p == s + n) return;
  for (; p < s + n; ++p) {
    if (*p < '0' || *p > '9') return;
    port = port * 10 + static_cast<unsigned>(*p - '0');
    if (port > 65535) return;
  }
  Allow(ip, port);
}

bool Is(const char* s, size_t n, const char* word) { return strlen(word) == n && memcmp(s, word, n) == 0; }

template <typename F>
void ForEachItem(const char* list, F f) {
  while (*list) {
    const char* end = strchr(list, ',');
    size_t n = end ? static_cast<size_t>(end - list) : strlen(list);
    while (n > 0 && (*list == ' ')) ++list, --n;
    while (n > 0 && list[n - 1] == ' ') --n;
    if (n > 0) f(list, n);
    if (!end) break;
    list = end + 1;
  }
}

// The resolver has to reach the name servers even when they are on a blocked
// range (systemd-resolved's 127.0.0.53, a VPC resolver on 10/8).
void AllowNameServers(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[8192];
  size_t len = 0;
  ssize_t r;
  while (len < sizeof buf - 1 && (r = read(fd, buf + len, sizeof buf - 1 - len)) != 0) {
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    len += static_cast<size_t>(r);
  }
  close(fd);
  buf[len] = '\0';
  for (char* line = buf; line && *line;) {
    char* next = strchr(line, '\n');
    if (next) *next++ = '\0';
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, "nameserver", 10) == 0 && (p[10] == ' ' || p[10] == '\t')) {
      p += 10;
      while (*p == ' ' || *p == '\t') ++p;
      char* end = p;
      while (*end && *end != ' ' && *end != '\t' && *end != '\r' && *end != '%' && *end != '#' && *end != ';') ++end;
      *end = '\0';
      Allow(p, 53);
    }
    line = next;
  }
}

// The browser's --type= switch (renderer, utility, ...), for the trace.
void ProcessType(char* out, size_t size) {
  snprintf(out, size, "browser");
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(strlen(buf + i)) + 1) {
    buf[n] = '\0';
    if (strncmp(buf + i, "--type=", 7) == 0) snprintf(out, size, "%s", buf + i + 7);
    if (strncmp(buf + i, "--utility-sub-type=", 19) == 0) snprintf(out, size, "%s", buf + i + 19);
  }
}

__attribute__((constructor)) void Load() {
  Real(g_connect, "connect");
  Real(g_sendto, "sendto");
  Real(g_sendmsg, "sendmsg");
  Real(g_sendmmsg, "sendmmsg");

  const char* kinds = getenv("HALVERN_FENCE");
  if (!kinds || !*kinds) return;
  const char* trace = getenv("HALVERN_FENCE_TRACE");
  g_fence.trace = trace && trace[0] == '1';
  ForEachItem(kinds, [](const char* s, size_t n) {
    if (Is(s, n, "loopback")) {
      g_fence.loopback = true;
    } else if (Is(s, n, "private")) {
      g_fence.privateNets = true;
    } else {
      // A word we do not know must not open what it was meant to close.
      g_fence.loopback = g_fence.privateNets = true;
    }
  });
  if (const char* allow = getenv("HALVERN_FENCE_ALLOW")) ForEachItem(allow, AllowEntry);
  const char* resolv = getenv("HALVERN_FENCE_RESOLV");
  AllowNameServers(resolv && *resolv ? resolv : "/etc/resolv.conf");

  if (g_fence.trace) {
    char line[192];
    char type[48];
    ProcessType(type, sizeof type);
    int n = snprintf(line, sizeof line, "halvern-fence[%d]: loaded in %s, blocking%s%s, %d open\n",
                     static_cast<int>(getpid()), type, g_fence.loopback ? " loopback" : "",
                     g_fence.privateNets ? " private" : "", g_fence.allowedCount);
    if (n > 0) (void)!write(2, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
  }
}

ssize_t RefuseCall() {
  errno = ECONNREFUSED;
  return -1;
}

}  // namespace

HVN_EXPORT int connect(int fd, const sockaddr* addr, socklen_t len) {
  if (Refused(addr, len, "connect")) return static_cast<int>(RefuseCall());
  ConnectFn real = Real(g_connect, "connect");
  if (!real) return static_cast<int>(RefuseCall());
  return real(fd, addr, len);
}

HVN_EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* addr, socklen_t len) {
  if (Refused(addr, len, "sendto")) return RefuseCall();
  SendtoFn real = Real(g_sendto, "sendto");
  if (!real) return RefuseCall();
  return real(fd, buf, n, flags, addr, len);
}

HVN_EXPORT ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
  if (msg && Refused(static_cast<const sockaddr*>(msg->msg_name), msg->msg_namelen, "sendmsg")) return RefuseCall();
  SendmsgFn real = Real(g_sendmsg, "sendmsg");
  if (!real) return RefuseCall();
  return real(fd, msg, flags);
}

// Sends the messages before the first refused one, as a partial send would.
HVN_EXPORT int sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags) {
  unsigned int sendable = 0;
  while (vec && sendable < vlen &&
         !Refused(static_cast<const sockaddr*>(vec[sendable].msg_hdr.msg_name), vec[sendable].msg_hdr.msg_namelen, "sendmmsg"))
    ++sendable;
  if (vec && sendable == 0 && vlen > 0) return static_cast<int>(RefuseCall());
  SendmmsgFn real = Real(g_sendmmsg, "sendmmsg");
  if (!real) return static_cast<int>(RefuseCall());
  return real(fd, vec, vec ? sendable : vlen, flags);
}
