// Faults from outside the run: crashed or killed browser processes, outputs
// that cannot be written, a very long document, and many runs at once. Each
// must end with its message and leave no process or run folder behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/support/e2e_support.h"

namespace {

using e2e::RunOptions;
using e2e::RunResult;
using e2e::TestServer;

const char kSuccess[] = "[main] Conversion completed successfully. Elapsed: ";
const char kFailed[] = "ERROR: [main] Conversion failed. Elapsed: ";

// The browser's main process of the run whose TMPDIR is `tmp` and, when
// `type` is given, its child process of that --type=.
int FindProcess(const std::string& tmp, const std::string& type) {
  int browser = 0;
  for (int pid : e2e::BrowserProcesses(tmp)) {
    const std::string cmd = e2e::CmdLine(pid);
    if (!type.empty() && cmd.find("--type=" + type) != std::string::npos) return pid;
    if (cmd.find("--type=") == std::string::npos) browser = pid;
  }
  if (type.empty() || browser == 0) return browser;
  // Child processes do not always carry the user-data-dir; go by parent.
  for (int pid : e2e::BrowserProcesses("--type=" + type))
    if (e2e::ParentOf(pid) == browser) return pid;
  return 0;
}

class Faults : public ::testing::Test {
 protected:
  RunResult Halvern(std::vector<std::string> args, RunOptions o = {}) {
    RunResult r = e2e::RunChecked(tmp.path(), args, o);
    EXPECT_EQ(TempFiles(), "") << "partial outputs left behind";
    return r;
  }
  // Outputs being written (hidden names with ".hvn-") in the output folder.
  std::string TempFiles() {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator(out.path()))
      if (e.path().filename().string().find(".hvn-") != std::string::npos) names += e.path().filename().string() + " ";
    return names;
  }
  // Runs halvern on a page that never answers and, once the process of
  // `type` ("" for the browser itself) shows up, sends it `sig`.
  RunResult KillDuringLoad(const std::string& type, int sig, bool& sent) {
    std::atomic<bool> done{false};
    sent = false;
    std::thread killer([&] {
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!done && std::chrono::steady_clock::now() < until) {
        // A renderer exists before navigation; wait until the load is under way.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int pid = FindProcess(tmp.path(), type);
        if (pid > 0 && TestServer::Get().CountRequests("/never") > 0) {
          sent = kill(pid, sig) == 0;
          return;
        }
      }
    });
    e2e::WriteFile(out.File("out.pdf"), "earlier");
    RunResult r = Halvern({TestServer::Get().Url("/never?run=" + std::to_string(getpid())), out.File("out.pdf"),
                           "--navigation-timeout=0"});
    done = true;
    killer.join();
    EXPECT_EQ(e2e::ReadFile(out.File("out.pdf")), "earlier");
    return r;
  }
  e2e::TempDir tmp, out;
};

TEST_F(Faults, CrashedOrKilledBrowserProcessFailsTheRun) {
  struct Case {
    std::string type;  // "" for the browser itself
    int sig;
    std::string message;
  };
  const Case cases[] = {
      {"renderer", SIGSEGV, "ERROR: [PdfClient] Renderer process crashed (status=2 error=11 crashed)."},
      {"renderer", SIGKILL, "ERROR: [PdfClient] Renderer process crashed (status=1 error=9 killed)."},
      {"", SIGKILL,
       "ERROR: [PdfClient] CEF message loop exited unexpectedly (browser process crash or fatal error)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TestServer::Get().Reset();
    bool sent = false;
    RunResult r = KillDuringLoad(c.type, c.sig, sent);
    ASSERT_TRUE(sent) << "no process found\n" << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    if (!c.type.empty()) EXPECT_NE(r.out.find(kFailed), std::string::npos) << r.out;
    EXPECT_LT(r.wallMs, 20000);
  }
}

// The output folder that goes while the page loads, and a disk too small
// for the output JSON; the other failed outputs are rows of the case files.
TEST_F(Faults, FailedOutputKeepsTheEarlierFile) {
  const std::string gone = out.File("gone"), disk = out.File("disk");
  std::filesystem::create_directory(gone);
  std::thread remover([gone] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    std::filesystem::remove_all(gone);
  });
  RunResult r = Halvern({TestServer::Get().Url("/html?ms=3000&body=unwritable"), gone + "/out.pdf", "--conversion-delay=0"});
  remover.join();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("ERROR: [PdfClient] PrintToPDF failed for: " + gone + "/out.pdf (No such file or directory)\n"),
            std::string::npos) << r.out;

  // A 64 KiB file system of our own, in a mount namespace of our own: the
  // PDF fits, the output JSON with its long console line does not.
  std::filesystem::create_directory(disk);
  RunOptions o;
  o.exe = "/usr/bin/unshare";
  r = Halvern({"-rm", "sh", "-c", R"sh(d=$1; shift
mount -t tmpfs -o size=64k tmpfs "$d" && echo earlier > "$d/out.json" || exit 9
"$@"; echo "== $(ls -A "$d" | tr '\n' ' ')"; cat "$d/out.json")sh", "sh", disk, e2e::HalvernExe(),
               TestServer::Get().Html("<p>x</p><script>console.log('x'.repeat(200000))</script>"), disk + "/out.pdf",
               "--conversion-delay=0"}, o);
  if (r.status == 9 || !r.spawnError.empty() || r.err.find("unshare:") != std::string::npos)
    GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("ERROR: [PdfClient] Failed to write output JSON: " + disk + "/out.json\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("== out.json out.pdf \nearlier\n"), std::string::npos) << r.out;
}

TEST_F(Faults, FiveHundredPagesStayWithinMemory) {
  std::string pdf = out.File("long.pdf");
  RunOptions o;
  o.timeoutMs = 240000;
  const std::vector<std::string> args = {TestServer::Get().Url("/pages/fault_500.html"), pdf, "--conversion-delay=0"};
  RunResult r = Halvern(args, o);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(kSuccess), std::string::npos);
  EXPECT_EQ(e2e::PdfInfo(pdf)["Pages"], "500");
  EXPECT_TRUE(e2e::QpdfCheck(pdf));
  std::string last = e2e::PdfText(pdf, 500, 500);
  EXPECT_NE(last.find("Sheet 500"), std::string::npos) << last;
  long pdfKb = static_cast<long>(std::filesystem::file_size(pdf) / 1024);
  std::printf("500 pages: %ld ms, PDF %ld KiB, largest process peak RSS %ld KiB\n", r.wallMs, pdfKb, r.peakRssKb);
  // The PDF streams to disk in chunks: no process holds much more than the
  // browser's own working set, however long the document.
  EXPECT_GT(r.peakRssKb, 0);
  EXPECT_LT(r.peakRssKb, 1024 * 1024);

  // Ended while the next print is under way: the whole earlier PDF stays.
  const std::string whole = e2e::ReadFile(pdf);
  bool sent = false;
  std::thread killer([&] {
    for (int i = 0; i < 2400 && TempFiles().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int browser = FindProcess(tmp.path(), "");
    sent = browser > 0 && !TempFiles().empty() && kill(e2e::ParentOf(browser), SIGTERM) == 0;
  });
  r = Halvern(args, o);
  killer.join();
  ASSERT_TRUE(sent) << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(e2e::ReadFile(pdf) == whole);
}

TEST_F(Faults, EightRunsAtOnceAllSucceedApart) {
  constexpr int kRuns = 8;
  std::vector<RunResult> results(kRuns);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      RunOptions o;
      o.env["TMPDIR"] = tmp.path();
      o.timeoutMs = 180000;
      std::string body = "<h1>RUN " + std::to_string(i) + "</h1>";
      results[i] = e2e::Run({TestServer::Get().Html(body), out.File("run" + std::to_string(i) + ".pdf"),
                             "--conversion-delay=0", "--verbose"},
                            o);
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> caches;
  for (int i = 0; i < kRuns; ++i) {
    const RunResult& r = results[i];
    ASSERT_EQ(r.status, 0) << "run " << i << "\n" << r.out;
    EXPECT_TRUE(r.leftovers.empty()) << "run " << i;
    size_t at = r.out.find("[main] Cache: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    caches.insert(r.out.substr(at, r.out.find('\n', at) - at));
    std::string pdf = out.File("run" + std::to_string(i) + ".pdf");
    EXPECT_TRUE(e2e::QpdfCheck(pdf)) << pdf;
    EXPECT_NE(e2e::PdfText(pdf).find("RUN " + std::to_string(i)), std::string::npos) << "run " << i;
  }
  EXPECT_EQ(caches.size(), static_cast<size_t>(kRuns));
  EXPECT_TRUE(e2e::RunFolders(tmp.path()).empty());
  EXPECT_TRUE(e2e::BrowserProcesses(tmp.path()).empty());
}

}  // namespace
