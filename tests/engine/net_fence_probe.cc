// Socket calls for the fence tests, run with the fence preloaded: each
// argument "call,address,port" prints 0 or the call's errno. Calls: tcp
// (connect), udp (connect on a datagram socket, which sends nothing), sendto,
// sendmsg, sendmmsg (one datagram), unix (address is a path).
// --isolated first: the calls run in a network namespace of their own, where
// nothing routes off this machine. Only there may a datagram be addressed
// beyond loopback; elsewhere such rows print "unsafe" and send nothing.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "config/address_class.h"

namespace {

bool Loopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET)
    return hvn::ClassifyAddress(reinterpret_cast<const unsigned char*>(&((const sockaddr_in*)sa)->sin_addr), 4) ==
           hvn::AddressKind::Loopback;
  return hvn::ClassifyAddress(((const sockaddr_in6*)sa)->sin6_addr.s6_addr, 16) == hvn::AddressKind::Loopback;
}

int Run(const char* call, const char* address, const char* port, bool isolated) {
  long rc = -1;
  int fd = -1;
  if (strcmp(call, "unix") == 0) {
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    snprintf(un.sun_path, sizeof un.sun_path, "%s", address);
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&un), sizeof un);
  } else {
    addrinfo hints{}, *ai;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = strcmp(call, "tcp") == 0 ? SOCK_STREAM : SOCK_DGRAM;
    if (getaddrinfo(address, port, &hints, &ai) != 0) return -1;
    bool sends = strncmp(call, "send", 4) == 0;
    if (sends && !isolated && !Loopback(ai->ai_addr)) return freeaddrinfo(ai), -2;
    fd = socket(ai->ai_family, ai->ai_socktype, 0);
    char byte = 'x';
    iovec iov{&byte, 1};
    mmsghdr mm{};
    mm.msg_hdr = {ai->ai_addr, ai->ai_addrlen, &iov, 1, nullptr, 0, 0};
    if (!sends) rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    else if (strcmp(call, "sendto") == 0) rc = sendto(fd, &byte, 1, 0, ai->ai_addr, ai->ai_addrlen);
    else if (strcmp(call, "sendmsg") == 0) rc = sendmsg(fd, &mm.msg_hdr, 0);
    else rc = sendmmsg(fd, &mm, 1, 0);
    int err = errno;
    freeaddrinfo(ai);
    errno = err;
  }
  int err = rc < 0 ? errno : 0;
  close(fd);
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  bool isolated = argc > 1 && strcmp(argv[1], "--isolated") == 0;
  if (isolated && unshare(CLONE_NEWNET) != 0) return puts("no-netns"), 0;
  for (int i = isolated ? 2 : 1; i < argc; ++i) {
    char call[16], address[108], port[8] = "0";
    if (sscanf(argv[i], "%15[^,],%107[^,],%7s", call, address, port) < 2) return 2;
    int r = Run(call, address, port, isolated);
    if (r == -2) puts("unsafe");
    else printf("%d\n", r);
  }
  return 0;
}
