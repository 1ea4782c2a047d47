// The launching side of the connection fence (net_fence.cc): which library to
// preload and the environment that configures it.
#pragma once

#include <string>
#include <vector>

namespace engine {

struct NetFenceKinds {
  bool loopback = false;         // --disable-localhost
  bool privateNetworks = false;  // --disable-private-networks
};

// The fence library beside our executable, or in the installed program's
// library folder (HALVERN_NETFENCE_INSTALLED, relative to the executable's),
// else the one this build produced; empty when none exists.
std::string NetFenceLibraryPath();

// "ip:port" / "[ip6]:port" of every proxy a --proxy-server value names
// ("host:port", "scheme://host:port", "http=a:1;https=b:2", comma fallbacks).
// Names are resolved once; direct:// and unusable entries give nothing.
std::vector<std::string> ProxyDestinations(const std::string& proxyServer);

// Puts the fence into a browser environment of "NAME=value" entries: library
// first in LD_PRELOAD, the blocked kinds, the proxy as an open destination.
// Leaves env alone and returns true when nothing is blocked; false, env
// untouched, when the library path is not absolute or cannot be listed in
// LD_PRELOAD (blank or ':').
bool AddNetFence(std::vector<std::string>& env, NetFenceKinds kinds, const std::string& proxyServer,
                 const std::string& library);

}  // namespace engine
