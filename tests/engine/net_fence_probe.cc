// Runs socket calls for the fence tests, with the fence preloaded: each
// argument "call,address,port" prints one line, 0 or the call's errno.
//   call: tcp (connect), udp (connect on a datagram socket: sends nothing),
//         sendto, sendmsg, sendmmsg (one datagram), unix (address is a path).
// With --isolated first, the calls run in a network namespace of their own
// (no route off the machine) and only then may datagrams go to addresses
// beyond loopback; without it such rows print "unsafe" and send nothing.
#include <arpa/inet.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "config/address_class.h"

namespace {

bool ToSockaddr(const char* ip, int port, sockaddr_storage& ss, socklen_t& len, const unsigned char*& bytes) {
  memset(&ss, 0, sizeof ss);
  auto* in = reinterpret_cast<sockaddr_in*>(&ss);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, ip, &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *in;
    bytes = reinterpret_cast<const unsigned char*>(&in->sin_addr);
    return true;
  }
  if (inet_pton(AF_INET6, ip, &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *in6;
    bytes = reinterpret_cast<const unsigned char*>(&in6->sin6_addr);
    return true;
  }
  return false;
}

int Run(const char* call, const char* address, int port, bool isolated) {
  if (strcmp(call, "unix") == 0) {
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    snprintf(un.sun_path, sizeof un.sun_path, "%s", address);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&un), sizeof un);
    int err = rc == 0 ? 0 : errno;
    close(fd);
    return err;
  }
  sockaddr_storage ss;
  socklen_t len;
  const unsigned char* bytes;
  if (!ToSockaddr(address, port, ss, len, bytes)) return -1;
  bool datagram = strcmp(call, "tcp") != 0;
  bool sends = datagram && strcmp(call, "udp") != 0;
  if (sends && !isolated && hvn::ClassifyAddress(bytes, len == sizeof(sockaddr_in) ? 4 : 16) != hvn::AddressKind::Loopback)
    return -2;
  int fd = socket(ss.ss_family, datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (fd < 0) return errno;
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  char byte = 'x';
  iovec iov{&byte, 1};
  msghdr msg{};
  msg.msg_name = sa;
  msg.msg_namelen = len;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  mmsghdr mm{msg, 0};
  long rc;
  if (strcmp(call, "tcp") == 0 || strcmp(call, "udp") == 0) rc = connect(fd, sa, len);
  else if (strcmp(call, "sendto") == 0) rc = sendto(fd, &byte, 1, 0, sa, len);
  else if (strcmp(call, "sendmsg") == 0) rc = sendmsg(fd, &msg, 0);
  else if (strcmp(call, "sendmmsg") == 0) rc = sendmmsg(fd, &mm, 1, 0) == 1 ? 0 : -1;
  else rc = -1, errno = EINVAL;
  int err = rc < 0 ? errno : 0;
  close(fd);
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool isolated = false;
  if (argc > 1 && strcmp(argv[1], "--isolated") == 0) {
    if (unshare(CLONE_NEWNET) != 0) {
      puts("no-netns");
      return 77;
    }
    isolated = true;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    char call[16], address[108];
    int port = 0;
    if (sscanf(argv[i], "%15[^,],%107[^,],%d", call, address, &port) < 2) {
      puts("bad-row");
      continue;
    }
    int r = Run(call, address, port, isolated);
    if (r == -2) puts("unsafe");
    else printf("%d\n", r);
  }
  return 0;
}
