// Which kinds of machine a URL's host reaches, resolving names the way the
// browser does: its --host-resolver-rules first, then the system resolver
// (the browser's own DNS client is off, so getaddrinfo is what it uses).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hvn {

struct HostReach {
  bool loopback = false;        // this machine: 127/8, 0/8, ::1, ::, localhost names
  bool privateNetwork = false;  // private, shared and link-local ranges
};

class HostResolver {
 public:
  // rules: the value of the browser's --host-resolver-rules switch.
  explicit HostResolver(const std::string& rules = {});

  // An address host counts as itself, a localhost name as loopback; a rule
  // or a name's answers add what they reach. A name whose lookup fails or
  // takes longer than two seconds reaches nothing. Answers are cached for
  // the process.
  HostReach Reach(const std::string& url) const;

  // The same without waiting, for a running message loop: true when the
  // reach is known now (no name to look up, an answer, or the bound passed).
  // Otherwise the name's lookup is running: whenKnown (if any) is called once, from
  // the lookup's thread, when it answers, and waitMs is the time left until
  // the bound, when the answer counts as reaching nothing.
  bool ReachNow(const std::string& url, HostReach& reach, const std::function<void()>& whenKnown,
                int64_t& waitMs) const;

 private:
  // Everything but the system resolver's answer; `lookup` gets the name it
  // must answer, if any.
  HostReach ReachBeforeLookup(const std::string& url, std::string& lookup) const;

  struct Rule {
    std::string pattern;
    std::string replacement;  // empty: EXCLUDE
  };
  std::vector<Rule> rules_;
};

}  // namespace hvn
