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

#include <fstream>

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

// One test per case, named by it; each run is the case or one of its "runs".
void RunCase(const json& run);
const bool kRegistered = e2e::RegisterRows("Requests", "requests.json", RunCase);

void RunCase(const json& run) {
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
  for (const auto& [what, got] : seen) e2e::ExpectTexts(what, got, want);

  e2e::ExpectRequests(e2e::TestServer::Get().RequestLog(), want.value("requests", json::array()));
}

}  // namespace
