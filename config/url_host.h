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
  bool file = false;  // a file: URL's host, which the browser never looks up
  std::string scheme;  // lower case; the inner one of blob: and filesystem: URLs
};

// Host of the authority after the first "://", past any user information;
// none for "file:///path".
UrlHost ParseUrlHost(const std::string& url);

// One host as written between the authority's "@" and its port.
UrlHost ParseHost(const std::string& host);

// The text the browser's resolver matches rules against: dotted IPv4,
// compressed IPv6 without brackets, or the name.
std::string HostText(const UrlHost& host);

// "scheme://host[:port]" as the browser writes it: names in lower case and
// punycode, addresses in their canonical form, no default port. Empty when
// the URL has no host.
std::string UrlOrigin(const std::string& url);

// localhost, or a name ending in .localhost, with or without one trailing dot.
bool IsLocalhostName(const std::string& name);

}  // namespace hvn
