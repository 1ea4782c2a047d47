// The host of a URL read the way the browser's URL parser reads it, so that
// every spelling of an address it accepts (2130706433, 0x7f.1, [::ffff:7f00:1],
// %31%32%37.0.0.1, ...) comes out as the same address.
#pragma once

#include <string>

namespace hvn {

struct UrlHost {
  enum class Kind { None, Name, Address };
  Kind kind = Kind::None;  // None: no host, or one the parser rejects
  std::string name;        // Name: percent-decoded, ASCII lower-case
  unsigned char address[16] = {};
  int length = 0;  // Address: 4 or 16 bytes, network order
  int port = 0;    // explicit port, else the scheme's default; 0 when neither
};

// Host of the authority after the first "://", past any user information.
UrlHost ParseUrlHost(const std::string& url);

// One host as written between the authority's "@" and its port.
UrlHost ParseHost(const std::string& host);

// The text the browser's resolver matches rules against: dotted IPv4,
// compressed IPv6 without brackets, or the name.
std::string HostText(const UrlHost& host);

// localhost, or a name ending in .localhost, with or without one trailing dot.
bool IsLocalhostName(const std::string& name);

}  // namespace hvn
