#include "config/host_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "config/address_class.h"
#include "config/url_host.h"

namespace hvn {
namespace {

// A stuck resolver must not stall the run; the connection fence inside the
// browser still refuses whatever the late answer turns out to be.
constexpr auto kLookupBound = std::chrono::seconds(2);
constexpr const char* kNotFound = "~NOTFOUND";

void Add(HostReach& reach, AddressKind kind) {
  if (kind == AddressKind::Loopback) reach.loopback = true;
  if (kind == AddressKind::Private) reach.privateNetwork = true;
}

void Add(HostReach& reach, const HostReach& more) {
  reach.loopback = reach.loopback || more.loopback;
  reach.privateNetwork = reach.privateNetwork || more.privateNetwork;
}

constexpr int kMaxLookupThreads = 8;

struct Lookup {
  std::string name;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  HostReach reach;
  std::chrono::steady_clock::time_point deadline;
  std::vector<std::function<void()>> waiters;  // told once, from the lookup's thread
};

HostReach SystemReach(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answers = nullptr;
  HostReach reach;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &answers) != 0) return reach;
  for (const addrinfo* a = answers; a; a = a->ai_next) {
    if (a->ai_family == AF_INET)
      Add(reach, ClassifyAddress(reinterpret_cast<const unsigned char*>(
                                     &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr),
                                 4));
    else if (a->ai_family == AF_INET6)
      Add(reach, ClassifyAddress(reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr.s6_addr, 16));
  }
  freeaddrinfo(answers);
  return reach;
}

void Finish(Lookup& lookup, const HostReach& reach) {
  std::vector<std::function<void()>> waiters;
  {
    std::lock_guard<std::mutex> lock(lookup.mutex);
    lookup.reach = reach;
    lookup.done = true;
    waiters.swap(lookup.waiters);
    lookup.finished.notify_all();
  }
  for (auto& w : waiters) w();
}

// One getaddrinfo per name per process, on a few detached threads that own
// nothing but the queue and the lookups: a thread stuck in the resolver can
// outlive its run without touching it. Callers wait until the first caller's
// deadline, so a hung name costs the bound once; an answer arriving later
// still serves later callers.
struct Lookups {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Lookup>> cache;
  std::deque<std::shared_ptr<Lookup>> queue;
  int threads = 0;

  static Lookups& Get() {
    static auto* lookups = new Lookups;  // never destroyed: threads may run at exit
    return *lookups;
  }

  void Work() {
    for (;;) {
      std::shared_ptr<Lookup> next;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) {
          --threads;
          return;
        }
        next = queue.front();
        queue.pop_front();
      }
      Finish(*next, SystemReach(next->name));
    }
  }

  std::shared_ptr<Lookup> Start(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Lookup>& slot = cache[name];
    if (slot) return slot;
    slot = std::make_shared<Lookup>();
    slot->name = name;
    slot->deadline = std::chrono::steady_clock::now() + kLookupBound;
    queue.push_back(slot);
    if (threads < kMaxLookupThreads) {
      try {
        std::thread([this] { Work(); }).detach();
        ++threads;
      } catch (const std::system_error&) {
        // Queued for a running thread; with none, the bound answers.
      }
    }
    return slot;
  }
};

HostReach SystemLookup(const std::string& name) {
  std::shared_ptr<Lookup> lookup = Lookups::Get().Start(name);
  std::unique_lock<std::mutex> lock(lookup->mutex);
  lookup->finished.wait_until(lock, lookup->deadline, [&] { return lookup->done; });
  return lookup->reach;
}

// The answer when there is one, or the bound has passed; else whenKnown is
// kept for the lookup's end and waitMs says how long until the bound.
bool SystemLookupNow(const std::string& name, HostReach& reach, const std::function<void()>& whenKnown,
                     int64_t& waitMs) {
  std::shared_ptr<Lookup> lookup = Lookups::Get().Start(name);
  std::lock_guard<std::mutex> lock(lookup->mutex);
  const auto now = std::chrono::steady_clock::now();
  if (lookup->done || now >= lookup->deadline) {
    Add(reach, lookup->reach);
    return true;
  }
  if (whenKnown) lookup->waiters.push_back(whenKnown);
  waitMs = std::chrono::ceil<std::chrono::milliseconds>(lookup->deadline - now).count();
  return false;
}

// What a host is by itself; `lookup` gets a name the resolver must answer.
// Localhost names are the browser's own business and never reach the resolver.
HostReach ReachOf(const UrlHost& host, std::string* lookup) {
  HostReach reach;
  if (host.kind == UrlHost::Kind::Address) Add(reach, ClassifyAddress(host.address, host.length));
  else if (host.kind == UrlHost::Kind::Name && IsLocalhostName(host.name)) reach.loopback = true;
  else if (host.kind == UrlHost::Kind::Name && lookup) *lookup = host.name;
  return reach;
}

// '*' matches any run, '?' any one character.
bool Matches(const std::string& text, const std::string& pattern) {
  size_t t = 0, p = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Host part of a replacement "host[:port]" or "[v6][:port]"; empty when the
// browser would reject the rule.
std::string ReplacementHost(const std::string& text) {
  std::string host = text, port;
  const size_t close = text.find(']');
  const size_t colon = text.rfind(':');
  if (!text.empty() && text[0] == '[') {
    if (close == std::string::npos) return {};
    host = text.substr(0, close + 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return {};
      port = text.substr(close + 2);
    }
  } else if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return {};
  }
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return {};
  return host;
}

}  // namespace

// Comma-separated "MAP pattern host[:port]" and "EXCLUDE pattern"; words are
// split at spaces, and a malformed rule is dropped, as the browser does.
HostResolver::HostResolver(const std::string& rules) {
  size_t start = 0;
  while (start <= rules.size()) {
    size_t end = rules.find(',', start);
    if (end == std::string::npos) end = rules.size();
    std::vector<std::string> words;
    size_t w = start;
    while (w < end) {
      size_t space = rules.find(' ', w);
      if (space == std::string::npos || space > end) space = end;
      std::string word = rules.substr(w, space - w);
      const size_t first = word.find_first_not_of(" \t\n\r\f\v");
      if (first != std::string::npos)
        words.push_back(word.substr(first, word.find_last_not_of(" \t\n\r\f\v") - first + 1));
      w = space + 1;
    }
    if (words.size() == 2 && Lower(words[0]) == "exclude") {
      rules_.push_back({Lower(words[1]), ""});
    } else if (words.size() == 3 && Lower(words[0]) == "map") {
      const std::string host = ReplacementHost(words[2]);
      if (!host.empty()) rules_.push_back({Lower(words[1]), host});
    }
    start = end + 1;
  }
}

HostReach HostResolver::ReachBeforeLookup(const std::string& url, std::string& lookup) const {
  const UrlHost host = ParseUrlHost(url);
  if (host.kind == UrlHost::Kind::None) return {};
  // The browser reads a file URL from disk: its host is neither mapped nor looked up.
  if (host.file) return ReachOf(host, nullptr);
  // The first MAP rule that matches the host, or host:port, applies unless
  // any EXCLUDE rule matches the host.
  const std::string text = HostText(host);
  const std::string withPort =
      (host.kind == UrlHost::Kind::Address && host.length == 16 ? "[" + text + "]" : text) + ":" +
      std::to_string(host.port);
  const Rule* map = nullptr;
  for (const Rule& r : rules_) {
    if (!r.replacement.empty() && (Matches(text, r.pattern) || Matches(withPort, r.pattern))) {
      map = &r;
      break;
    }
  }
  for (const Rule& r : rules_)
    if (map && r.replacement.empty() && Matches(text, r.pattern)) map = nullptr;
  if (!map) return ReachOf(host, &lookup);
  // A rule adds where the browser goes; it never hides what the host itself is.
  HostReach reach = ReachOf(host, nullptr);
  if (map->replacement != kNotFound) Add(reach, ReachOf(ParseHost(map->replacement), &lookup));
  return reach;
}

HostReach HostResolver::Reach(const std::string& url) const {
  std::string name;
  HostReach reach = ReachBeforeLookup(url, name);
  if (!name.empty()) Add(reach, SystemLookup(name));
  return reach;
}

bool HostResolver::ReachNow(const std::string& url, HostReach& reach, const std::function<void()>& whenKnown,
                            int64_t& waitMs) const {
  std::string name;
  reach = ReachBeforeLookup(url, name);
  return name.empty() || SystemLookupNow(name, reach, whenKnown, waitMs);
}

}  // namespace hvn
