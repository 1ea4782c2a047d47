// Batch mode end to end: what one job leaves in the browser never reaches
// the next, faults stay inside their job, lines that are not jobs are
// answered, a stop signal lets the jobs in flight finish, and every batch
// leaves no process or run folder behind (RunChecked).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/e2e_support.h"

namespace {

using Json = nlohmann::ordered_json;
using e2e::TestServer;

struct Batch {
  e2e::RunResult run;
  std::vector<Json> lines;  // the output lines, in order
  std::map<std::string, Json> byId;
};

class BatchMode : public ::testing::Test {
 protected:
  // Runs the batch on `input` while `during` runs beside it.
  Batch Run(const std::string& input, std::vector<std::string> options = {},
            const std::function<void(std::atomic<bool>& done)>& during = nullptr) {
    e2e::WriteFile(out.File("jobs"), input);
    options.insert(options.begin(), "--batch");
    std::atomic<bool> done{false};
    std::thread side([&] {
      if (during) during(done);
    });
    Batch b;
    b.run = e2e::RunChecked(tmp.path(), options, {.stdinFile = out.File("jobs")});
    done = true;
    side.join();
    std::istringstream lines(b.run.out);
    for (std::string line; std::getline(lines, line);) {
      b.lines.push_back(Json::parse(line, nullptr, false));
      if (!b.lines.back().is_object()) continue;
      const Json& id = b.lines.back().value("id", Json());
      b.byId[id.is_string() ? id.get<std::string>() : id.dump()] = b.lines.back();
    }
    return b;
  }
  std::string Job(const std::string& id, const std::string& url, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {url, out.File(id + ".pdf"), "--conversion-delay=0"});
    return Json({{"id", id}, {"args", args}}).dump() + "\n";
  }
  std::string Text(const std::string& id) { return e2e::PdfText(out.File(id + ".pdf")); }
  e2e::TempDir tmp, out;
};

TEST_F(BatchMode, NothingOfOneJobReachesTheNext) {
  TestServer& server = TestServer::Get();
  const std::string reads = "<p id=r>FRESH</p><script>if (%s) document.getElementById('r').textContent = 'LEAKED';</script>";
  auto reader = [&](const std::string& test) {
    std::string html = reads;
    return server.Html(html.replace(html.find("%s"), 2, test));
  };
  struct Case {
    const char* what;
    std::string first, second;
    std::vector<std::string> firstArgs, secondArgs;
    const char* path;  // requested by both jobs when the second has nothing to reuse
    int secondStatus;
  };
  const std::string swPage = server.Html(
      "<script>navigator.serviceWorker.register('/pages/batch_sw.js').then((r) => {"
      " const w = r.installing || r.waiting || r.active;"
      " const done = () => { if (w.state === 'activated') window.swReady = true; };"
      " w.addEventListener('statechange', done); done(); });</script><p>registered</p>");
  const std::string authUrl = server.Url("/auth/five.html?user=u&pass=p");
  const std::vector<Case> cases = {
      {"cookie", server.Html("<script>document.cookie = 'hvn_iso=1; max-age=3600; path=/';</script><p>set</p>"),
       reader("document.cookie.indexOf('hvn_iso') >= 0"), {}, {}, nullptr, 0},
      {"localStorage", server.Html("<script>localStorage.setItem('hvn_iso', '1');</script><p>set</p>"),
       reader("localStorage.getItem('hvn_iso')"), {}, {}, nullptr, 0},
      {"HTTP cache", server.Url("/pages/five.html?maxAge=3600"), server.Url("/pages/five.html?maxAge=3600"), {}, {},
       "/pages/five.html", 0},
      {"credentials", authUrl, authUrl, {"--username=u", "--password=p"}, {}, nullptr, 1},
      {"service worker", swPage, server.Url("/pages/five.html"), {"--wait-for-expression=window.swReady === true"},
       {}, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.Reset();
    // One worker: both jobs go to the same browser, one after the other.
    Batch b = Run(Job("first", c.first, c.firstArgs) + Job("second", c.second, c.secondArgs), {"--workers=1"});
    EXPECT_EQ(b.run.status, 0) << b.run.out;
    ASSERT_EQ(b.lines.size(), 2u) << b.run.out;
    EXPECT_EQ(b.byId["first"].value("status", -1), 0) << b.run.out;
    EXPECT_EQ(b.byId["second"].value("status", -1), c.secondStatus) << b.run.out;
    if (c.secondStatus == 0) EXPECT_EQ(Text("second").find("LEAKED"), std::string::npos) << Text("second");
    if (c.path) EXPECT_EQ(server.CountRequests(c.path), 2);
  }
}

TEST_F(BatchMode, KilledBrowserOrCrashedRendererFailsOnlyItsJob) {
  TestServer& server = TestServer::Get();
  struct Case {
    std::string type;  // "" for the browser itself
    int sig;
    bool newestOnly;      // only the spare page's renderer, made last
    std::string message;  // the victim's error; empty: it succeeds
  };
  for (const Case& c : std::vector<Case>{
           {"renderer", SIGSEGV, false, "Renderer process crashed (status=2 error=11 crashed)."},
           {"", SIGKILL, false, "CEF message loop exited unexpectedly (browser process crash or fatal error)."},
           {"renderer", SIGKILL, true, ""}}) {
    SCOPED_TRACE(c.type + " " + std::to_string(c.sig) + (c.newestOnly ? " spare" : ""));
    server.Reset();
    const std::string path = c.message.empty() ? "/pages/five.html" : "/never";
    std::string input;
    for (int i = 0; i < 20; ++i)
      input += i == 7 ? Job("victim", server.Url(path + (c.message.empty() ? "?ms=2000" : "")), {"--navigation-timeout=0"})
                      : Job("job" + std::to_string(i), server.Html("<p>job " + std::to_string(i) + "</p>"));
    bool sent = false;
    Batch b = Run(input, {"--workers=1"}, [&](std::atomic<bool>& done) {
      // Once the victim's load is under way, every process of that type goes
      // (a renderer waiting for the next job too), or only the spare's.
      for (int i = 0; i < 300 && !done && !sent; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (server.CountRequests(path) == 0) continue;
        std::vector<int> pids = e2e::RunBrowserProcesses(tmp.path(), c.type);
        if (c.newestOnly && pids.size() < 2) continue;
        if (c.newestOnly) pids = {*std::max_element(pids.begin(), pids.end())};
        for (int pid : pids) sent = kill(pid, c.sig) == 0 || sent;
      }
    });
    ASSERT_TRUE(sent) << b.run.out;
    EXPECT_EQ(b.run.status, 0) << b.run.out;
    ASSERT_EQ(b.lines.size(), 20u) << b.run.out;
    for (const auto& [id, line] : b.byId) {
      if (id == "victim") {
        EXPECT_EQ(line.value("status", -1), c.message.empty() ? 0 : 1) << line.dump();
        EXPECT_EQ(line.value("error", ""), c.message);
      } else {
        EXPECT_EQ(line.value("status", -1), 0) << line.dump();
        EXPECT_NE(Text(id).find("job " + id.substr(3)), std::string::npos) << id;
      }
    }
  }
}

TEST_F(BatchMode, LinesThatAreNotJobsAreAnsweredAndTheBatchGoesOn) {
  TestServer& server = TestServer::Get();
  const std::string input = "\n" + Job("a", server.Html("<p>A</p>")) + "not json\n   \n" +
                            "{\"id\": 5, \"args\": [1]}\n" + "{\"id\": [1, 2]}\n" + "{\"id\": \"" +
                            std::string(10 << 20, 'x') + "\"}\n" + "{\"id\": \"empty\", \"args\": []}\n" +
                            Job("b", server.Html("<p>B</p>"));
  Batch b = Run(input);
  EXPECT_EQ(b.run.status, 0);
  ASSERT_EQ(b.lines.size(), 7u) << b.run.out.substr(0, 2000);
  std::map<std::string, std::pair<int, std::string>> want = {
      {"a", {0, ""}},
      {"b", {0, ""}},
      {"null", {1, "The line is longer than 1048576 bytes."}},
      {"5", {1, "Every member of \"args\" must be a string."}},
      {"[1,2]", {1, "The job has no \"args\" array."}},
      {"empty", {1, "URL is empty."}}};
  for (const auto& [id, expected] : want) {
    EXPECT_EQ(b.byId[id].value("status", -1), expected.first) << id;
    EXPECT_EQ(b.byId[id].value("error", "?"), expected.second) << id;
  }
  // "not json" and the overlong line both answer with a null id.
  EXPECT_EQ(std::count_if(b.lines.begin(), b.lines.end(), [](const Json& l) { return l["id"].is_null(); }), 2);
  EXPECT_NE(Text("b").find("B"), std::string::npos);
}

TEST_F(BatchMode, StopSignalFinishesTheJobsInFlightAndTakesNoMore) {
  TestServer& server = TestServer::Get();
  server.Reset();
  std::string input;
  for (int i = 0; i < 10; ++i) input += Job("slow" + std::to_string(i), server.Url("/html?ms=1500&i=" + std::to_string(i)));
  e2e::WriteFile(out.File("jobs"), input);
  const e2e::RunResult r = e2e::RunChecked(tmp.path(), {"--batch", "--workers=2"},
                                           {.signalAfterMs = 700, .signal = SIGTERM, .stdinFile = out.File("jobs")});
  EXPECT_EQ(r.status, 0) << r.out;
  // The two in flight end well; a line or two read ahead may run too, never all.
  const long answered = std::count(r.out.begin(), r.out.end(), '\n');
  EXPECT_GE(answered, 2) << r.out;
  EXPECT_LT(answered, 10) << r.out;
  EXPECT_EQ(r.out.find("\"status\":1"), std::string::npos) << r.out;
}

TEST_F(BatchMode, OptionsAfterBatchAreDefaultsBelowEachJobsOwnFileAndArguments) {
  TestServer& server = TestServer::Get();
  // A job's configuration file says portrait over the batch's --landscape.
  e2e::WriteFile(out.File("own.json"), Json({{"url", server.Html("<p>own</p>")}, {"output", out.File("own.pdf")},
                                             {"landscape", false}}).dump());
  const std::string input = Job("plain", server.Html("<p>plain</p>")) +
                            Json({{"id", "own"}, {"args", {out.File("own.json")}}}).dump() + "\n" +
                            Job("args", server.Html("<p>args</p>"), {"--paper-size=Letter"});
  Batch b = Run(input, {"--landscape", "--paper-size=A5", "--workers=1"});
  EXPECT_EQ(b.run.status, 0) << b.run.out;
  for (const char* id : {"plain", "own", "args"}) EXPECT_EQ(b.byId[id].value("status", -1), 0) << b.run.out;
  auto size = [&](const char* id) { return e2e::PdfInfo(out.File(std::string(id) + ".pdf"))["Page size"]; };
  // The page is trimmed to its content: the widths tell the paper.
  EXPECT_EQ(size("plain").rfind("594.96 x ", 0), 0u) << size("plain");
  EXPECT_EQ(size("own").rfind("420.96 x ", 0), 0u) << size("own");
  EXPECT_EQ(size("args").rfind("792 x ", 0), 0u) << size("args");

  for (const auto& [options, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--workers=0"}, "Invalid value for --workers="}, {{"out.pdf"}, "Batch defaults are options only: out.pdf"}}) {
    b = Run(Job("a", server.Html("<p>A</p>")), options);
    EXPECT_EQ(b.run.status, 1);
    EXPECT_NE(b.run.out.find("ERROR: [main] " + message), std::string::npos) << b.run.out;
  }
}

}  // namespace
