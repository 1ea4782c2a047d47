// The end-to-end harness checked on its own: server routes, the request
// log, the proxies, child-process handling and the PDF readers.
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

namespace {

using e2e::HttpRequest;
using e2e::HttpResponse;
using e2e::TestServer;

std::string Basic(const std::string& userPass) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < userPass.size(); i += 3) {
    unsigned v = (unsigned char)userPass[i] << 16 | (unsigned char)userPass[i + 1] << 8 | (unsigned char)userPass[i + 2];
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
  }
  if (i + 1 == userPass.size()) {
    unsigned v = (unsigned char)userPass[i] << 16;
    out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == userPass.size()) {
    unsigned v = (unsigned char)userPass[i] << 16 | (unsigned char)userPass[i + 1] << 8;
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
  }
  return "Basic " + out;
}

struct RouteCase {
  std::string name;
  std::string target;
  std::vector<std::string> headers;
  int status;
  std::string bodyHas;
  std::string header;  // "name: value" expected in the answer, lower-case name
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.target; }

class Routes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Routes, Answer) {
  const RouteCase& c = GetParam();
  HttpResponse r = HttpRequest(TestServer::Get().port(), c.target, "GET", c.headers);
  EXPECT_EQ(r.status, c.status) << r.body;
  EXPECT_NE(r.body.find(c.bodyHas), std::string::npos) << r.body;
  if (!c.header.empty()) {
    size_t colon = c.header.find(": ");
    EXPECT_EQ(r.headers[c.header.substr(0, colon)], c.header.substr(colon + 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Server, Routes,
    ::testing::Values(
        RouteCase{"StaticPage", "/pages/support_probe.html", {}, 200, "PROBE", "content-type: text/html; charset=utf-8"},
        RouteCase{"MissingPage", "/pages/none.html", {}, 404, "Not found", ""},
        RouteCase{"NoEscapeFromPages", "/pages/..%2f..%2fsupport%2fserver.py", {}, 404, "", ""},
        RouteCase{"Status", "/status/503", {}, 503, "Status 503", ""},
        RouteCase{"InlineHtml", "/html?body=%3Cp%3Ehi%3C%2Fp%3E", {}, 200, "<p>hi</p>", ""},
        RouteCase{"ShapedAnswer", "/html?body=x&status=201&type=text/plain&header=X-One:%201", {}, 201, "x",
                  "x-one: 1"},
        RouteCase{"Redirect", "/redirect?to=/html%3Fbody%3Dthere&code=307", {}, 307, "", "location: /html?body=there"},
        RouteCase{"AuthMissing", "/auth/?user=u&pass=p", {}, 401, "Unauthorized",
                  "www-authenticate: Basic realm=\"hvn\""},
        RouteCase{"AuthWrong", "/auth/?user=u&pass=p", {"Authorization: " + Basic("u:x")}, 401, "", ""},
        RouteCase{"AuthGood", "/auth/?user=u&pass=p", {"Authorization: " + Basic("u:p")}, 200, "Authorized", ""},
        RouteCase{"AuthServesPage", "/auth/support_probe.html", {"Authorization: " + Basic("user:pass")}, 200,
                  "PROBE", ""},
        RouteCase{"ProtectedWithoutCookie", "/protected", {}, 403, "Not logged in", ""},
        RouteCase{"EchoAsHtml", "/echo?as=html&q=%3Cb%3E", {"X-Probe: 1"}, 200, "\"x-probe\": \"1\"", ""}),
    [](const auto& info) { return info.param.name; });

TEST(Server, EchoAndLogRecordTheRequest) {
  TestServer& s = TestServer::Get();
  s.Reset();
  HttpResponse r = HttpRequest(s.port(), "/echo?a=1&a=2", "POST", {"X-Probe: yes"}, "k=v");
  ASSERT_EQ(r.status, 200);
  auto echo = nlohmann::json::parse(r.body);
  EXPECT_EQ(echo["method"], "POST");
  EXPECT_EQ(echo["query"]["a"], "2");
  EXPECT_EQ(echo["headers"]["x-probe"], "yes");
  EXPECT_EQ(echo["body"], "k=v");

  HttpRequest(s.port(), "/status/404");
  HttpRequest(s.port(), "/status/404");
  auto log = s.RequestLog();
  ASSERT_EQ(log.size(), 3u) << log.dump();  // the log's own routes are not recorded
  EXPECT_EQ(log[0]["path"], "/echo");
  EXPECT_EQ(log[0]["body"], "k=v");
  EXPECT_LT(log[0]["seq"].get<int>(), log[1]["seq"].get<int>());
  EXPECT_EQ(s.CountRequests("/status/404"), 2);
  EXPECT_EQ(s.RequestLog("/status/").size(), 2u);
  s.Reset();
  EXPECT_EQ(s.RequestLog().size(), 0u);
}

TEST(Server, DelaysHangsAndSilence) {
  int port = TestServer::Get().port();
  struct Case {
    std::string target;
    int timeoutMs;
    int status;
    long minMs, maxMs;
  };
  for (const Case& c : std::vector<Case>{{"/slow?ms=400&body=late", 5000, 200, 390, 3000},
                                         {"/pages/support_probe.html?ms=300", 5000, 200, 290, 3000},
                                         {"/hang", 600, 200, 590, 3000},
                                         {"/never", 600, 0, 590, 3000}}) {
    timespec a{}, b{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    HttpResponse r = HttpRequest(port, c.target, "GET", {}, "", c.timeoutMs);
    clock_gettime(CLOCK_MONOTONIC, &b);
    long ms = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
    EXPECT_EQ(r.status, c.status) << c.target;
    EXPECT_GE(ms, c.minMs) << c.target;
    EXPECT_LE(ms, c.maxMs) << c.target;
  }
}

TEST(Server, LoginSetsTheSessionCookie) {
  int port = TestServer::Get().port();
  HttpResponse form = HttpRequest(port, "/login?user=ann&pass=pw");
  EXPECT_NE(form.body.find("id=\"password\""), std::string::npos);
  EXPECT_NE(form.body.find("id=\"submit\""), std::string::npos);

  std::string type = "Content-Type: application/x-www-form-urlencoded";
  EXPECT_EQ(HttpRequest(port, "/login?user=ann&pass=pw", "POST", {type}, "user=ann&password=no").status, 403);
  HttpResponse ok = HttpRequest(port, "/login?user=ann&pass=pw&next=/protected", "POST", {type},
                                "user=ann&password=pw");
  ASSERT_EQ(ok.status, 302);
  EXPECT_EQ(ok.headers["location"], "/protected");
  std::string cookie = ok.headers["set-cookie"].substr(0, ok.headers["set-cookie"].find(';'));
  ASSERT_EQ(cookie.rfind("hvn_session=", 0), 0u);
  EXPECT_EQ(HttpRequest(port, "/protected", "GET", {"Cookie: a=b; " + cookie}).status, 200);
  EXPECT_EQ(HttpRequest(port, "/protected", "GET", {"Cookie: hvn_session=forged"}).status, 403);
}

TEST(Server, HttpsAnswersWithTheSameRoutes) {
  e2e::RunResult r = e2e::RunCommand({"curl", "-sk", TestServer::Get().HttpsUrl("/html?body=secure")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "secure");
  // Without -k the self-signed certificate is refused.
  EXPECT_NE(e2e::RunCommand({"curl", "-s", TestServer::Get().HttpsUrl("/html")}).status, 0);
}

TEST(Server, ProxiesForwardAndDemandCredentials) {
  TestServer& s = TestServer::Get();
  s.Reset();
  std::string proxyAuth = "Proxy-Authorization: " + Basic(std::string(TestServer::kProxyUser) + ":" +
                                                          TestServer::kProxyPassword);
  struct Case {
    int port;
    std::vector<std::string> headers;
    int status;
  };
  for (const Case& c : std::vector<Case>{{s.proxyPort(), {}, 200},
                                         {s.proxyAuthPort(), {}, 407},
                                         {s.proxyAuthPort(), {"Proxy-Authorization: " + Basic("x:y")}, 407},
                                         {s.proxyAuthPort(), {proxyAuth}, 200}}) {
    HttpResponse r = HttpRequest(c.port, "http://site.test/echo", "GET", c.headers);
    EXPECT_EQ(r.status, c.status) << c.port;
    if (c.status == 407) EXPECT_EQ(r.headers["proxy-authenticate"], "Basic realm=\"hvn-proxy\"");
    if (c.status == 200) {
      EXPECT_FALSE(r.headers["x-hvn-proxy"].empty());
      auto echo = nlohmann::json::parse(r.body);
      EXPECT_EQ(echo["headers"]["host"], "site.test");
      EXPECT_FALSE(echo["headers"].contains("proxy-authorization"));  // not passed upstream
    }
  }
  // A non-loopback host is answered by this server, so the log shows the hop.
  EXPECT_EQ(s.CountRequests("/echo"), 4 + 2);

  HttpResponse tunnel = HttpRequest(s.proxyPort(), "site.test:443", "CONNECT", {}, "", 500);
  EXPECT_EQ(tunnel.status, 200);
  e2e::RunResult viaTls = e2e::RunCommand(
      {"curl", "-sk", "-x", "http://" + s.ProxyAuthHostPort(), "--proxy-user",
       std::string(TestServer::kProxyUser) + ":" + TestServer::kProxyPassword, "https://site.test/html?body=tunnel"});
  EXPECT_EQ(viaTls.out, "tunnel");
}

// ---- child processes ---------------------------------------------------------

e2e::RunOptions Shell() {
  e2e::RunOptions o;
  o.exe = "/bin/sh";
  o.timeoutMs = 10000;
  return o;
}

TEST(Run, CapturesOutputStatusAndEnvironment) {
  e2e::RunOptions o = Shell();
  o.env["HVN_PROBE"] = "one";
  o.tmpdir = "/nowhere";
  o.unsetEnv = {"HOME"};
  e2e::RunResult r = e2e::Run({"-c", "echo \"$HVN_PROBE $TMPDIR ${HOME:-unset}\"; echo err >&2; exit 3"}, o);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.out, "one /nowhere unset\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(r.leftovers.empty());

  o.exe = "/no/such/program";
  r = e2e::Run({}, o);
  EXPECT_FALSE(r.spawnError.empty());
}

TEST(Run, SignalsAndTimeouts) {
  struct Case {
    int signal, afterMs, timeoutMs;
    int status;
    bool timedOut;
  };
  for (const Case& c : std::vector<Case>{{SIGTERM, 200, 10000, 128 + SIGTERM, false},
                                         {SIGINT, 200, 10000, 128 + SIGINT, false},
                                         {0, 0, 300, 128 + SIGKILL, true}}) {
    e2e::RunOptions o = Shell();
    o.signal = c.signal;
    o.signalAfterMs = c.afterMs;
    o.timeoutMs = c.timeoutMs;
    // exec: the shell itself is the sleeping process the signal reaches.
    e2e::RunResult r = e2e::Run({"-c", "exec sleep 20"}, o);
    EXPECT_EQ(r.status, c.status) << c.signal;
    EXPECT_EQ(r.timedOut, c.timedOut);
    EXPECT_GE(r.wallMs, c.signal ? c.afterMs : c.timeoutMs);
    EXPECT_LT(r.wallMs, 3000);
  }
}

TEST(Run, ReportsAndKillsLeftovers) {
  e2e::RunOptions o = Shell();
  o.leftoverGraceMs = 300;
  // One child in the run's group, one that escaped to a session of its own,
  // and one that also dropped the environment (as the browser does); all
  // hold standard output, which must not stall the harness.
  e2e::RunResult r =
      e2e::Run({"-c", "sleep 30 & setsid sleep 31 & setsid env -i /bin/sleep 32 & echo started"}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_LT(r.wallMs, 1000);
  ASSERT_EQ(r.leftovers.size(), 3u) << ::testing::PrintToString(r.leftovers);
  usleep(200 * 1000);
  for (const std::string& l : r.leftovers) {
    int pid = std::stoi(l);
    std::string stat = e2e::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << l << " still alive";
  }

  // A timeout takes the whole group down, not just the child.
  o.timeoutMs = 300;
  r = e2e::Run({"-c", "sleep 30; true"}, o);
  EXPECT_TRUE(r.timedOut);
  EXPECT_TRUE(r.leftovers.empty());
}

// ---- files and PDFs ----------------------------------------------------------

// Two pages of different sizes, a link on the second; qpdf writes the xref.
std::string MakePdf(const e2e::TempDir& dir) {
  std::string raw =
      "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
      "2 0 obj<</Type/Pages/Kids[3 0 R 4 0 R]/Count 2>>endobj\n"
      "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 595.28 841.89]>>endobj\n"
      "4 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 225.75]/Annots[5 0 R]>>endobj\n"
      "5 0 obj<</Type/Annot/Subtype/Link/Rect[10 20 110 40]/A<</S/URI/URI(https://marker.test/?id=7)>>>>endobj\n"
      "trailer<</Size 6/Root 1 0 R>>\n%%EOF\n";
  e2e::WriteFile(dir.File("raw.pdf"), raw);
  e2e::RunCommand({"qpdf", dir.File("raw.pdf"), dir.File("doc.pdf")});
  return dir.File("doc.pdf");
}

TEST(Pdf, ReadersAgreeWithTheDocument) {
  e2e::TempDir dir;
  std::string pdf = MakePdf(dir);
  EXPECT_TRUE(e2e::QpdfCheck(pdf));
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("raw.pdf")));  // broken xref: qpdf warns
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("missing.pdf")));
  auto info = e2e::PdfInfo(pdf);
  EXPECT_EQ(info["Pages"], "2");
  EXPECT_EQ(info["Tagged"], "no");
  auto sizes = e2e::PageSizes(pdf);
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_NEAR(sizes[1].second, 225.75, 0.01);
  double w = 0, h = 0;
  ASSERT_TRUE(e2e::PageSize(pdf, w, h, 2));
  EXPECT_EQ(w, 612);
  EXPECT_FALSE(e2e::PageSize(pdf, w, h, 3));
  auto links = e2e::PdfLinks(pdf);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].page, 2);
  EXPECT_EQ(links[0].uri, "https://marker.test/?id=7");
  EXPECT_EQ(links[0].y2, 40);
}

TEST(Files, TempDirsRunFoldersAndPng) {
  std::string kept;
  {
    e2e::TempDir dir;
    kept = dir.path();
    mkdir(dir.File("cef_cache_1").c_str(), 0700);
    mkdir(dir.File("cef_log_1").c_str(), 0700);
    mkdir(dir.File("other").c_str(), 0700);
    EXPECT_EQ(e2e::RunFolders(dir.path()), (std::vector<std::string>{"cef_cache_1", "cef_log_1"}));
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01\x2c\0\0\0\x64", 24);
    e2e::WriteFile(dir.File("a.png"), png);
    int pw = 0, ph = 0;
    ASSERT_TRUE(e2e::PngSize(dir.File("a.png"), pw, ph));
    EXPECT_EQ(pw, 300);
    EXPECT_EQ(ph, 100);
    EXPECT_FALSE(e2e::PngSize(dir.File("other"), pw, ph));
  }
  EXPECT_FALSE(e2e::FileExists(kept));
}

}  // namespace
