// The conversion service end to end, curl as its client over loopback. Each
// case of data/serve.json starts `halvern --serve=` (once per "runs" entry)
// in a TMPDIR of its own with "options" and sends its "rows" one at a time:
// a "request" in (with "until": again while the status is another; "for"
// [names]: one row per name put in for "{for}"); "status", "type",
// "headers", "json" (a pattern of the JSON body), "body" texts, the
// document's PDF "text" and the loopback server's "requests" out, the files
// of {disk} unchanged and no job folder left. The tests below the rows are
// the runs that are more than one request.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "tests/e2e/serve_client.h"
#include "tests/support/e2e_support.h"

namespace {

using json = nlohmann::json;
using e2e::TestServer;
using serve::Reply, serve::Send, serve::Metric, serve::JobFolders, serve::Service;
namespace fs = std::filesystem;

std::string Base64Decode(const std::string& in) {
  static const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int n = 0;
  for (char c : in) {
    const size_t v = abc.find(c);
    if (v == std::string::npos) continue;  // padding
    bits = (bits << 6) | static_cast<unsigned>(v);
    if ((n += 6) >= 8) out += static_cast<char>((bits >> (n -= 8)) & 0xFF);
  }
  return out;
}

// Status, content type, headers, JSON body, texts of the body and of the
// document (the body, or "output" of a JSON answer), which must be whole.
void ExpectReply(const json& want, const Reply& r) {
  const int status = want.value("status", 200);
  const std::string type = r.headers.count("content-type") ? r.headers.at("content-type") : "";
  const bool printable = type.rfind("application/json", 0) == 0 || type.rfind("text/", 0) == 0;
  EXPECT_EQ(r.status, status) << "curl exit " << r.curlExit << "\n"
                              << (printable ? r.body.substr(0, 3000)
                                            : std::to_string(r.body.size()) + " bytes of " + type);
  if (status == 200) EXPECT_EQ(r.curlExit, 0) << "the answer was cut off";
  EXPECT_EQ(type.rfind(want.value("type", status == 200 ? "application/pdf" : "application/json"), 0), 0u) << type;
  if (want.contains("headers")) EXPECT_TRUE(e2e::MatchesPattern(json(r.headers), want["headers"])) << json(r.headers);
  e2e::ExpectTexts("body", r.body, want);
  std::string doc = r.body, docType = type;
  if (type.rfind("application/json", 0) == 0) {
    const json j = json::parse(r.body, nullptr, false);
    if (status >= 400) EXPECT_TRUE(j.is_object() && j.contains("error") && j["error"].is_string()) << r.body;
    if (want.contains("json"))
      EXPECT_TRUE(e2e::MatchesPattern(j, want["json"])) << want["json"] << "\n" << r.body.substr(0, 3000);
    if (j.is_object() && j.contains("output")) doc = Base64Decode(j["output"]), docType = j.value("contentType", "");
  }
  std::string text;
  if (docType == "application/pdf") {
    EXPECT_EQ(doc.rfind("%PDF-", 0), 0u) << "not a PDF: " << doc.size() << " bytes: " << doc.substr(0, 200);
    EXPECT_NE(doc.find("%%EOF", doc.size() > 1024 ? doc.size() - 1024 : 0), std::string::npos) << "PDF cut short";
    e2e::TempDir d;
    e2e::WriteFile(d.File("doc.pdf"), doc);
    text = e2e::PdfText(d.File("doc.pdf"));
  } else if (docType == "image/png") {
    EXPECT_EQ(doc.rfind("\x89PNG\r\n\x1a\n", 0), 0u) << "not a PNG";
    EXPECT_EQ(doc.size() > 12 ? doc.substr(doc.size() - 8) : "", std::string("IEND\xae\x42\x60\x82"))
        << "PNG cut short";
  }
  e2e::ExpectTexts("text", text, want);
}

// Every file under dir with its content.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    files[e.path().string()] = e.is_regular_file() ? e2e::ReadFile(e.path()) : "<dir>";
  return files;
}

// The disk a case may aim at: a file frame's secret, a file to keep, a token.
struct Disk {
  Disk() {
    e2e::WriteFile(dir.File("secret.html"), "<p>SECRET FRAME 4711</p>");
    e2e::WriteFile(dir.File("secret.js"), "document.write('<p>SECRET SCRIPT 4711</p>');");
    e2e::WriteFile(dir.File("keep.txt"), "KEEP");
    e2e::WriteFile(dir.File("token"), "s3cr3t-token\n");
  }
  json Fill(const json& v) const {
    const TestServer& s = TestServer::Get();
    return e2e::Fill(v, {{"{http}", s.Url("")}, {"{port}", std::to_string(s.port())}, {"{proxy}", s.ProxyHostPort()},
                         {"{disk}", dir.path()}, {"{pages}", e2e::PagesDir()}});
  }
  e2e::TempDir dir;
};

// The rows of a "for" list: one per name put in for "{for}" (keys too).
std::vector<json> Expand(const json& row) {
  if (!row.contains("for")) return {row};
  std::vector<json> rows;
  for (const std::string name : row["for"]) {
    std::string text = row.dump();
    for (size_t at = 0; (at = text.find("{for}", at)) != std::string::npos; at += name.size())
      text.replace(at, 5, name);
    rows.push_back(json::parse(text));
  }
  return rows;
}

// One test per case, named by it; each run is the case or one of its "runs".
void RunCase(const json& run);
const bool kRegistered = e2e::RegisterRows("Serve", "serve.json", RunCase);

void RunCase(const json& run) {
  Disk disk;
  const json want = disk.Fill(run);
  SCOPED_TRACE(want["options"].dump());
  const auto before = Snapshot(disk.dir.path());
  Service service(want["options"].get<std::vector<std::string>>(), want.value("address", "127.0.0.1:0"),
                  want.value("env", json::object()).get<std::map<std::string, std::string>>());
  const int exit = want.value("exit", 0);
  EXPECT_EQ(service.url.empty(), exit != 0) << "the first line names where it serves, once it does";
  for (const json& rows : service.url.empty() ? json::array() : want.value("rows", json::array()))
    for (const json& row : Expand(rows)) {
      SCOPED_TRACE(row.dump().substr(0, 400));
      TestServer::Get().Reset();
      json q = row["request"];
      if (q.contains("page"))
        q["body"]["htmlString"] = disk.Fill(e2e::ReadFile(e2e::PagesDir() + "/" + q["page"].get<std::string>()));
      Reply reply = Send(service.url, {q})[0];
      // "until": asked again while the status is another (a browser warming up).
      for (int i = 0; row.value("until", false) && reply.status != row.value("status", 200) && i < 60; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(500 * e2e::Slowdown())),
            reply = Send(service.url, {q})[0];
      ExpectReply(row, reply);
      e2e::ExpectRequests(TestServer::Get().RequestLog(), row.value("requests", json::array()));
      EXPECT_EQ(Snapshot(disk.dir.path()), before) << "files on disk changed";
      EXPECT_EQ(JobFolders(service.tmp()), std::vector<std::string>{}) << "job files left after the answer";
    }
  const e2e::RunResult r = service.Stop();
  EXPECT_EQ(r.status, exit) << r.out;
  e2e::ExpectTexts("log", r.out, want);
}

// Polls `done` for up to 30 s.
void WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 600 * e2e::Slowdown() && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

json Page(const std::string& text, json more = json::object()) {
  more["htmlString"] = "<p>" + text + "</p>";
  more["conversionDelay"] = more.value("conversionDelay", 0);
  return {{"body", more}};
}

long RssKb(int pid) {
  std::smatch m;
  const std::string status = e2e::ReadFile("/proc/" + std::to_string(pid) + "/status");
  return std::regex_search(status, m, std::regex(R"(VmRSS:\s+(\d+))")) ? std::stol(m[1]) : -1;
}

TEST(ServeLoad, ManyClientsAtOnceGetWholeDocumentsInBoundedMemory) {
  Service s({"--workers=2", "--recycle-after=80"});
  ASSERT_FALSE(s.url.empty());
  std::atomic<bool> done{false};
  size_t mostBrowsers = 0;
  std::thread watch([&] {
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(100)))
      mostBrowsers = std::max(mostBrowsers, e2e::RunBrowserProcesses(s.tmp()).size());
  });
  // Two rounds of 100, 16 at a time: the service's memory after the second
  // is about what it was after the first.
  std::vector<long> rss;
  for (int round = 0; round < 2; ++round) {
    std::vector<json> requests;
    for (int i = 0; i < 100; ++i) requests.push_back(Page("DOC " + std::to_string(round * 100 + i)));
    const std::vector<Reply> replies = Send(s.url, requests, 16);
    for (int i = 0; i < 100; ++i) {
      SCOPED_TRACE(round * 100 + i);
      ExpectReply({{"text", {"DOC " + std::to_string(round * 100 + i)}}}, replies[i]);
    }
    rss.push_back(RssKb(s.pid()));
  }
  done = true;
  watch.join();
  EXPECT_LE(mostBrowsers, 4u);  // each worker's, and a recycled one still closing beside its successor
  EXPECT_LT(rss[1], rss[0] + 30 * 1024) << "service grew from " << rss[0] << " kB to " << rss[1] << " kB";
  EXPECT_LT(rss[1], 200 * 1024);
  EXPECT_EQ(Metric(s.url, "halvern_conversions_total{result=\"success\"}"), 200);
  EXPECT_GE(Metric(s.url, "halvern_browser_restarts_total"), 2);  // recycled after 80 jobs each
  const e2e::RunResult r = s.Stop();
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_LT(r.peakRssKb, 1024 * 1024) << "the service or one of its browsers";
}

TEST(ServeLoad, BrowserKilledUnderLoadFailsOnlyItsRequestAndTheServiceRecovers) {
  Service s({"--workers=1", "--serve-allow=localhost"});
  ASSERT_FALSE(s.url.empty());
  TestServer& server = TestServer::Get();
  server.Reset();
  std::vector<json> requests;
  for (int i = 0; i < 12; ++i)
    requests.push_back(i == 5 ? json{{"body", {{"url", server.Url("/never")}}}} : Page("JOB " + std::to_string(i)));
  bool killed = false;
  std::thread killer([&] {
    WaitUntil([&] { return server.CountRequests("/never") > 0; });
    for (int pid : e2e::RunBrowserProcesses(s.tmp())) killed = kill(pid, SIGKILL) == 0 || killed;
  });
  const std::vector<Reply> replies = Send(s.url, requests, 4);
  killer.join();
  ASSERT_TRUE(killed);
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    if (i == 5) {
      EXPECT_TRUE(replies[i].status >= 500 && replies[i].status < 600) << replies[i].status << " " << replies[i].body;
      EXPECT_NE(replies[i].body.find("\"error\""), std::string::npos) << replies[i].body;
    } else {
      ExpectReply({{"text", {"JOB " + std::to_string(i)}}}, replies[i]);
    }
  }
  ExpectReply({{"type", ""}}, Send(s.url, {{{"method", "GET"}, {"path", "/health"}}})[0]);
  ExpectReply({{"text", {"AFTER"}}}, Send(s.url, {Page("AFTER")})[0]);
  EXPECT_GE(Metric(s.url, "halvern_browser_restarts_total"), 1);
  EXPECT_EQ(s.Stop().status, 0);
}

TEST(ServeLoad, StopSignalAnswersWhatIsQueuedOrInFlightAndTakesNoMore) {
  Service s({"--workers=2", "--serve-allow=localhost"});
  ASSERT_FALSE(s.url.empty());
  TestServer& server = TestServer::Get();
  server.Reset();
  std::vector<json> requests;
  for (int i = 0; i < 8; ++i)  // pages whose image comes after 1.5 s
    requests.push_back(Page("SLOW " + std::to_string(i) + "</p><img src=\"" +
                            server.Url("/pages/prep_img.png?ms=1500&i=" + std::to_string(i)) + "\"><p>"));
  Reply late;
  std::thread stopper([&] {
    // Two in flight and six queued, then the signal and one more request.
    WaitUntil([&] {
      return Metric(s.url, "halvern_queue_length") == 6 && server.CountRequests("/pages/prep_img.png") == 2;
    });
    s.Signal(SIGTERM);
    // The signal is taken in its own time: a request sent before it is, is queued.
    WaitUntil([&] {
      const int status = Send(s.url, {{{"method", "GET"}, {"path", "/health"}}})[0].status;
      return status == 0 || status == 503;
    });
    late = Send(s.url, {Page("LATE")})[0];
  });
  const std::vector<Reply> replies = Send(s.url, requests, 8);
  stopper.join();
  for (int i = 0; i < 8; ++i) ExpectReply({{"text", {"SLOW " + std::to_string(i)}}}, replies[i]);
  // Refused at the door, or answered 503 while the others finish.
  EXPECT_TRUE(late.status == 0 || late.status == 503) << late.status << " " << late.body;
  const e2e::RunResult r = s.Stop();
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 3000);
}

TEST(ServeLoad, FullQueueAnswers503AndSlowOrHalfSentRequestsAreCutOff) {
  Service s({"--workers=1", "--serve-queue=1", "--serve-allow=localhost"});
  ASSERT_FALSE(s.url.empty());
  TestServer& server = TestServer::Get();
  server.Reset();
  auto slow = [&](const char* n) { return json{{"body", {{"url", server.Url(std::string("/html?ms=3000&n=") + n)}}}}; };
  Reply first, queued;
  std::thread a([&] { first = Send(s.url, {slow("a")})[0]; });
  WaitUntil([&] { return server.CountRequests("/html") > 0; });
  // The job's files are for nobody else on the machine.
  const std::vector<std::string> jobs = JobFolders(s.tmp(), false, 0);
  EXPECT_EQ(jobs.size(), 1u);
  for (const std::string& job : jobs)
    for (const auto& e : fs::recursive_directory_iterator(s.tmp() + "/" + job))
      EXPECT_EQ(e.status().permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none) << e.path();
  std::thread b([&] { queued = Send(s.url, {slow("b")})[0]; });
  WaitUntil([&] { return Metric(s.url, "halvern_queue_length") == 1; });
  ExpectReply({{"status", 503}, {"headers", {{"retry-after", {{"re", "^[0-9]+$"}}}}}}, Send(s.url, {Page("FULL")})[0]);
  a.join(), b.join();
  ExpectReply({{"type", "application/pdf"}}, first);
  ExpectReply({{"type", "application/pdf"}}, queued);

  // A body that never comes in full, and a request that stops inside its
  // headers: the service ends both itself while it keeps converting.
  Reply halfBody;
  e2e::RunResult halfHeaders;
  std::thread c([&] {
    halfBody = Send(s.url, {{{"headers", {{"Content-Length", "1000"}}}, {"body", "{\"htmlString\": "}}})[0];
  });
  std::thread d([&] {
    const std::string port = s.url.substr(s.url.rfind(':') + 1);
    halfHeaders = e2e::RunCommand({"python3", "-c",
                                   "import socket, sys\n"
                                   "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                                   "s.sendall(b'POST /convert HTTP/1.1\\r\\nHost: x\\r\\nContent-')\n"
                                   "s.settimeout(110)\n"
                                   "print(s.recv(100))\n",
                                   port},
                                  120000);
  });
  ExpectReply({{"text", {"MEANWHILE"}}}, Send(s.url, {Page("MEANWHILE")})[0]);
  c.join(), d.join();

  // 200 connections that say nothing: the service holds a bounded number of
  // them (1 worker + 1 queued + 16 spare), and answers once they are gone.
  const auto openFiles = [&] {
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(s.pid()) + "/fd"), {});
  };
  const long before = openFiles();
  long most = before;
  std::thread idle([&] {
    e2e::RunCommand({"python3", "-c",
                     "import socket, sys, time\n"
                     "held = [socket.socket() for _ in range(200)]\n"
                     "for c in held: c.setblocking(False); c.connect_ex(('127.0.0.1', int(sys.argv[1])))\n"
                     "time.sleep(3)\n",
                     s.url.substr(s.url.rfind(':') + 1)});
  });
  for (int i = 0; i < 30; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
    most = std::max(most, openFiles());
  idle.join();
  EXPECT_LT(most, before + 18 + 8) << "connections held at once";
  ExpectReply({{"type", ""}}, Send(s.url, {{{"method", "GET"}, {"path", "/health"}}})[0]);
  EXPECT_NE(halfBody.curlExit, 28) << "a half-sent body kept its connection for two minutes";
  EXPECT_NE(halfBody.status, 200);
  EXPECT_EQ(halfHeaders.status, 0) << "half-sent headers kept their connection\n" << halfHeaders.err;
  EXPECT_EQ(s.Stop().status, 0);
}

TEST(ServeLoad, AnotherRequestsStagedPageStaysUnreadEvenWithLocalFilesOpen) {
  Service s({"--workers=2", "--serve-allow=local-files,localhost"});
  ASSERT_FALSE(s.url.empty());
  TestServer& server = TestServer::Get();
  server.Reset();
  Reply other;
  std::thread a([&] {
    other = Send(s.url, {Page("OTHER CUSTOMER 9876</p><img src=\"" + server.Url("/html?ms=4000") + "\"><p>")})[0];
  });
  WaitUntil([&] { return server.CountRequests("/html") > 0; });
  // While it loads, its folder is among what a listing of the service's TMPDIR shows.
  std::string staged;
  for (const std::string& job : JobFolders(s.tmp(), false, 0))
    if (e2e::ReadFile(s.tmp() + "/" + job + "/index.html").find("9876") != std::string::npos)
      staged = s.tmp() + "/" + job + "/index.html";
  EXPECT_NE(staged, "");
  const std::string job = fs::path(staged).parent_path().filename();
  const std::string frames =
      "<iframe src=\"../" + job + "/index.html\"></iframe><iframe src=\"file://" + staged + "\"></iframe>" +
      "<iframe src=\"file:///proc/self/root" + staged + "\"></iframe><iframe src=\"file://%2F" + staged + "\"></iframe>";
  if (!staged.empty()) {
    ExpectReply({{"text", {"PEEKING"}}, {"no text", {"9876"}}},
                Send(s.url, {Page("PEEKING</p>" + frames + "<p>", {{"conversionDelay", 500}})})[0]);
    const Reply direct = Send(s.url, {{{"body", {{"url", "file://" + staged}}}}})[0];
    ExpectReply({{"status", direct.status}, {"type", ""}, {"no text", {"9876"}}, {"no body", {"9876"}}}, direct);
  }
  a.join();
  ExpectReply({{"text", {"OTHER CUSTOMER 9876"}}}, other);
  EXPECT_EQ(s.Stop().status, 0);
}

}  // namespace
