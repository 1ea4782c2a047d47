// Which kind of machine an IP address reaches. Header-only and free of the
// C++ library so that the connection fence preloaded into the browser can
// share it with the request rule.
#pragma once

namespace hvn {

enum class AddressKind { Public, Loopback, Private };

// b: the address in network byte order, 4 bytes (IPv4) or 16 (IPv6).
inline AddressKind ClassifyIpv4(const unsigned char* b) {
  if (b[0] == 127 || b[0] == 0) return AddressKind::Loopback;  // 0/8 reaches this machine on Linux
  if (b[0] == 10) return AddressKind::Private;
  if (b[0] == 172 && (b[1] & 0xF0) == 16) return AddressKind::Private;
  if (b[0] == 192 && b[1] == 168) return AddressKind::Private;
  if (b[0] == 100 && (b[1] & 0xC0) == 64) return AddressKind::Private;  // shared address space
  if (b[0] == 169 && b[1] == 254) return AddressKind::Private;          // link-local, cloud metadata
  return AddressKind::Public;
}

inline AddressKind ClassifyAddress(const unsigned char* b, int length) {
  if (length == 4) return ClassifyIpv4(b);
  if (length != 16) return AddressKind::Public;
  bool zero10 = true;
  for (int i = 0; i < 10; ++i) zero10 = zero10 && b[i] == 0;
  // IPv4-mapped (::ffff:a.b.c.d) and IPv4-compatible (::a.b.c.d, which
  // covers :: and ::1) forms reach the embedded IPv4 address.
  if (zero10 && ((b[10] == 0xFF && b[11] == 0xFF) || (b[10] == 0 && b[11] == 0))) return ClassifyIpv4(b + 12);
  if ((b[0] & 0xFE) == 0xFC) return AddressKind::Private;                   // fc00::/7 unique local
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return AddressKind::Private;   // fe80::/10 link-local
  return AddressKind::Public;
}

}  // namespace hvn
