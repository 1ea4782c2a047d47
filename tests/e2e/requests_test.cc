// Login, POST, injected headers, certificates, proxies and the blocking of
// local targets. Each case of data/requests.json (or each of its "runs") is
// one run of halvern against the loopback server: "settings" (plus "page",
// whose text becomes htmlString), "args" and "env" in; "status", texts that the
// "log", PDF "text" and DevTools "trace" hold ("no ..." none, "one ..." once)
// and "requests" that reached the server ("where" a pattern, "each" one all
// of them match, "count" or "min"/"max"; with "for" [names], one such check
// per name put in for "{for}") out.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <regex>

#include "tests/support/e2e_support.h"

namespace {

using nlohmann::json;

// The machine's own name when every address it has is a loopback one; else a
// name that is loopback anyway.
std::string SelfName() {
  char name[256] = {};
  addrinfo* res = nullptr;
  if (gethostname(name, sizeof name - 1) != 0 || getaddrinfo(name, nullptr, nullptr, &res) != 0) return "localhost";
  bool loopback = res != nullptr;
  for (addrinfo* a = res; a; a = a->ai_next)
    loopback &= a->ai_family == AF_INET
                    ? ntohl(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr) >> 24 == 127
                    : IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
  freeaddrinfo(res);
  return loopback ? name : "localhost";
}

// Fills {http} {https} {port} {proxy} {proxyAuth} {pages} {self} {slowResolver} in every string.
json Fill(const json& v) {
  static const std::string self = SelfName();
  const e2e::TestServer& s = e2e::TestServer::Get();
  return e2e::Fill(v, {{"{http}", s.Url("")}, {"{https}", s.HttpsUrl("")}, {"{port}", std::to_string(s.port())},
                       {"{proxy}", s.ProxyHostPort()}, {"{proxyAuth}", s.ProxyAuthHostPort()},
                       {"{pages}", e2e::PagesDir()}, {"{self}", self}, {"{slowResolver}", HVN_SLOW_RESOLVER}});
}

// Occurrences of a text, or of {"re": pattern}, in `got`.
long Count(const std::string& got, const json& want) {
  if (want.is_object()) {
    std::regex re(want["re"].get<std::string>());
    return std::distance(std::sregex_iterator(got.begin(), got.end(), re), std::sregex_iterator());
  }
  const std::string text = want;
  long n = 0;
  for (size_t at = 0; (at = got.find(text, at)) != std::string::npos; at += text.size()) ++n;
  return n;
}

// A logged request against a pattern: every key of it present and matching,
// null for an absent key, {"re": pattern} for a string.
bool Matches(const json& v, const json& p) {
  if (p.is_object() && p.contains("re")) return v.is_string() && Count(v, p) > 0;
  if (!p.is_object()) return v == p;
  for (const auto& [k, want] : p.items())
    if (want.is_null() ? v.contains(k) : !v.contains(k) || !Matches(v[k], want)) return false;
  return true;
}

class Case : public ::testing::Test {
 public:
  explicit Case(json c) : c_(std::move(c)) {}
  void TestBody() override;

 private:
  json c_;
};

// One test per case, named by it.
const bool kRegistered = [] {
  for (const json& c : json::parse(std::ifstream(e2e::PagesDir() + "/../data/requests.json")))
    ::testing::RegisterTest("Requests", c["name"].get<std::string>().c_str(), nullptr, nullptr, __FILE__, __LINE__,
                            [c]() -> ::testing::Test* { return new Case(c); });
  return true;
}();

void Case::TestBody() {
  for (const json& run : c_.contains("runs") ? c_["runs"] : json::array({c_})) {
    const json want = Fill(run);
    SCOPED_TRACE(want.value("settings", json()).dump());
    e2e::TestServer::Get().Reset();
    e2e::TempDir tmp, out;
    json settings = want.value("settings", json::object());
    if (want.contains("page")) settings["htmlString"] = Fill(e2e::ReadFile(e2e::PagesDir() + "/" + std::string(want["page"])));
    settings["output"] = out.File("out.pdf");
    settings["conversionDelay"] = settings.value("conversionDelay", 300);
    e2e::StretchDefaultTimeout(settings);
    e2e::WriteFile(out.File("config.json"), settings.dump());
    std::vector<std::string> args = {out.File("config.json"), "--verbose"};
    for (const std::string a : want.value("args", json::array())) args.push_back(a);
    e2e::RunOptions o;
    o.env["HALVERN_DEVTOOLS_TRACE"] = out.File("trace.txt");
    const json env = want.value("env", json::object());
    for (const auto& [name, value] : env.items()) o.env[name] = value;
    e2e::RunResult r = e2e::RunChecked(tmp.path(), args, o);

    EXPECT_EQ(r.status, want.value("status", 0)) << r.out;
    const bool written = e2e::FileExists(out.File("out.pdf"));
    EXPECT_EQ(written, r.status == 0);
    const std::map<std::string, std::string> seen = {
        {"log", r.out}, {"text", written ? e2e::PdfText(out.File("out.pdf")) : ""},
        {"trace", e2e::ReadFile(out.File("trace.txt"))}};
    for (const auto& [what, got] : seen)
      for (const auto& [prefix, lo, hi] : {std::tuple{"", 1, INT_MAX}, {"no ", 0, 0}, {"one ", 1, 1}})
        for (const json& text : want.value(prefix + what, json::array())) {
          const long n = Count(got, text);
          EXPECT_TRUE(n >= lo && n <= hi) << prefix << what << " " << text << " seen " << n << " times\n" << got;
        }

    const json log = e2e::TestServer::Get().RequestLog();
    for (const json& pattern : want.value("requests", json::array()))
      for (const json& name : pattern.value("for", json::array({""}))) {
        const json q = e2e::Fill(pattern, {{"{for}", name.get<std::string>()}});
        std::string hits;
        int n = 0;
        for (const json& e : log)
          if (Matches(e, q["where"])) {
            ++n;
            hits += e["scheme"].get<std::string>() + " " + e["target"].get<std::string>() + "\n";
            if (q.contains("each")) EXPECT_TRUE(Matches(e, q["each"])) << q["each"] << "\n" << e.dump();
          }
        EXPECT_GE(n, q.value("min", q.value("count", 0))) << q["where"] << "\n" << hits;
        EXPECT_LE(n, q.value("max", q.value("count", INT_MAX))) << q["where"] << "\n" << hits;
      }
  }
}

}  // namespace
