// Preloaded into a run by the requests driver: a stand-in for a resolver
// that takes long to answer. In halvern, a name under .slow.test takes
// 1.5 s and is not found; the browser is told at once. No query leaves the
// machine for those names.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace {

bool IsHalvern() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = 0;
  const char* base = strrchr(exe, '/');
  return strcmp(base ? base + 1 : exe, "halvern") == 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  static const char kSuffix[] = ".slow.test";
  const size_t n = node ? strlen(node) : 0, s = sizeof kSuffix - 1;
  if (n > s && strcmp(node + n - s, kSuffix) == 0) {
    if (IsHalvern()) {
      timespec t = {1, 500000000};
      while (nanosleep(&t, &t) != 0) {
      }
    }
    return EAI_NONAME;
  }
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return real ? real(node, service, hints, res) : EAI_FAIL;
}
