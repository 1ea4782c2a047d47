// End-to-end cases that need actions of their own: signals, killed browser
// processes, concurrent runs, a vanishing folder, a full disk, a very long
// document and readers beyond the reference tools. Each run is checked for
// leftovers and partial outputs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "tests/support/e2e_support.h"

namespace {

using e2e::RunOptions;
using e2e::RunResult;
using e2e::TestServer;

int FindProcess(const std::string& tmp, const std::string& type) {
  const std::vector<int> pids = e2e::RunBrowserProcesses(tmp, type);
  return pids.empty() ? 0 : pids.front();
}

class Conversion : public ::testing::Test {
 protected:
  RunResult Halvern(std::vector<std::string> args, RunOptions o = {}) {
    RunResult r = e2e::RunChecked(tmp.path(), args, o);
    EXPECT_EQ(TempFiles(), "") << "partial outputs left behind";
    return r;
  }
  // Outputs being written (hidden names with ".hvn-") in the output folder.
  std::string TempFiles() {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator(out.path())) names += e.path().filename().string() + " ";
    return names.find(".hvn-") == std::string::npos ? "" : names;
  }
  std::string Out(const std::string& name = "out.pdf") { return out.File(name); }
  e2e::TempDir tmp, out;
};
class Faults : public Conversion {};

TEST_F(Faults, CrashedOrKilledBrowserProcessFailsTheRun) {
  // The process type ("" for the browser itself), the signal, the message.
  for (const auto& [type, sig, message] : std::vector<std::tuple<std::string, int, std::string>>{
           {"renderer", SIGSEGV, "Renderer process crashed (status=2 error=11 crashed)."},
           {"renderer", SIGKILL, "Renderer process crashed (status=1 error=9 killed)."},
           {"", SIGKILL, "CEF message loop exited unexpectedly (browser process crash or fatal error)."}}) {
    SCOPED_TRACE(message);
    TestServer::Get().Reset();
    // Once the load is under way (a renderer exists before it), the process goes.
    std::atomic<bool> done{false}, sent{false};
    std::thread killer([&] {
      for (int i = 0; i < 150 * e2e::Slowdown() && !done && !sent; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int pid = FindProcess(tmp.path(), type);
        if (pid > 0 && TestServer::Get().CountRequests("/never") > 0) sent = kill(pid, sig) == 0;
      }
    });
    e2e::WriteFile(Out(), "earlier");
    RunResult r = Halvern({TestServer::Get().Url("/never"), Out(), "--navigation-timeout=0"});
    done = true;
    killer.join();
    EXPECT_EQ(e2e::ReadFile(Out()), "earlier");
    ASSERT_TRUE(sent) << "no process found\n" << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: [PdfClient] " + message), std::string::npos) << r.out;
    if (!type.empty()) EXPECT_NE(r.out.find("ERROR: [main] Conversion failed. Elapsed: "), std::string::npos);
    EXPECT_LT(r.wallMs, 20000 * e2e::Slowdown());
  }
}

TEST_F(Faults, FullDiskKeepsTheEarlierOutputJson) {
  const std::string disk = out.File("disk");
  // A 64 KiB file system of our own, in a mount namespace of our own: the
  // PDF fits, the output JSON with its long console line does not, nor is
  // there an inode left for its temporary file (no reason to write in place).
  std::filesystem::create_directory(disk);
  RunResult r = Halvern({"-rm", "sh", "-c", R"sh(d=$1; shift
mount -t tmpfs -o size=64k,nr_inodes=3 tmpfs "$d" && echo earlier > "$d/out.json" || exit 9
"$@"; echo "== $(ls -A "$d" | tr '\n' ' ')"; cat "$d/out.json")sh", "sh", disk, e2e::HalvernExe(),
               TestServer::Get().Html("<p>x</p><script>console.log('x'.repeat(200000))</script>"), disk + "/out.pdf",
               "--conversion-delay=0"}, {.exe = "/usr/bin/unshare"});
  if (r.status == 9 || !r.spawnError.empty() || r.err.find("unshare:") != std::string::npos)
    GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("ERROR: [PdfClient] Failed to write output JSON: " + disk + "/out.json\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("== out.json out.pdf \nearlier\n"), std::string::npos) << r.out;
}

TEST_F(Faults, FiveHundredPagesStayWithinMemory) {
  std::string pdf = out.File("long.pdf");
  const RunOptions o = {.timeoutMs = 240000};
  const std::vector<std::string> args = {TestServer::Get().Url("/pages/fault_500.html"), pdf, "--conversion-delay=0"};
  RunResult r = Halvern(args, o);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(e2e::PdfInfo(pdf)["Pages"], "500");
  EXPECT_TRUE(e2e::QpdfCheck(pdf));
  EXPECT_NE(e2e::PdfText(pdf, 500, 500).find("Sheet 500"), std::string::npos);
  // The PDF streams to disk in chunks: no process holds much more than the
  // browser's own working set, however long the document.
  EXPECT_TRUE(r.peakRssKb > 0 && r.peakRssKb < 1024 * 1024) << r.peakRssKb << " KiB";

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
  for (int i = 0; i < kRuns; ++i)
    threads.emplace_back([&, i] {
      results[i] = e2e::Run({TestServer::Get().Html("<h1>RUN " + std::to_string(i) + "</h1>"),
                             Out("run" + std::to_string(i) + ".pdf"), "--conversion-delay=0", "--verbose"},
                            {.timeoutMs = 180000, .env = {{"TMPDIR", tmp.path()}}});
    });
  for (auto& t : threads) t.join();
  std::set<std::string> caches;
  for (int i = 0; i < kRuns; ++i) {
    const RunResult& r = results[i];
    ASSERT_EQ(r.status, 0) << "run " << i << "\n" << r.out;
    EXPECT_TRUE(r.leftovers.empty()) << "run " << i;
    size_t at = r.out.find("[main] Cache: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    caches.insert(r.out.substr(at, r.out.find('\n', at) - at));
    EXPECT_TRUE(e2e::QpdfCheck(Out("run" + std::to_string(i) + ".pdf")));
    EXPECT_NE(e2e::PdfText(Out("run" + std::to_string(i) + ".pdf")).find("RUN " + std::to_string(i)), std::string::npos);
  }
  EXPECT_EQ(caches.size(), static_cast<size_t>(kRuns));
  EXPECT_TRUE(e2e::RunFolders(tmp.path()).empty());
  EXPECT_TRUE(e2e::BrowserProcesses(tmp.path()).empty());
}

// A killed run cannot clean up after itself; the next run does as it
// starts, and a run after that leaves the folders of the live one alone.
// (Runs ended by SIGTERM and SIGINT are rows of the case files.)
TEST_F(Conversion, KilledRunsFoldersGoWithTheNextRun) {
  RunOptions o = {.signalAfterMs = 1500, .signal = SIGKILL, .env = {{"TMPDIR", tmp.path()}}};
  const std::vector<std::string> args = {TestServer::Get().Url("/never"), Out(), "--navigation-timeout=0"};
  EXPECT_EQ(e2e::Run(args, o).status, 128 + SIGKILL);
  const std::vector<std::string> killed = e2e::RunFolders(tmp.path());
  EXPECT_EQ(killed.size(), 2u);
  o.signal = SIGTERM;
  o.signalAfterMs = 8000;
  std::thread live([&] { e2e::Run(args, o); });
  std::vector<std::string> liveFolders;  // the live run's, once the killed run's are swept
  for (int i = 0; i < 200 && liveFolders.empty(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
    if (auto now = e2e::RunFolders(tmp.path()); now.size() == 2 && std::ranges::find_first_of(now, killed) == now.end())
      liveFolders = now;
  RunResult next = e2e::Run({TestServer::Get().Html("<p>next</p>"), Out("next.pdf"), "--conversion-delay=0"}, o);
  std::vector<std::string> after = e2e::RunFolders(tmp.path());
  live.join();
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_EQ(after, liveFolders);
  EXPECT_TRUE(e2e::RunFolders(tmp.path()).empty());
}

// Two runs at once with the same arguments: one converts, the other is
// refused before it starts a browser.
void ExpectOneOfTwinsRefused(const std::vector<std::string>& args) {
  e2e::TempDir tmp;
  const RunOptions o = {.env = {{"TMPDIR", tmp.path()}}};
  RunResult twins[2];
  std::thread other([&] { twins[1] = e2e::Run(args, o); });
  twins[0] = e2e::Run(args, o);
  other.join();
  std::sort(std::begin(twins), std::end(twins), [](auto& a, auto& b) { return a.status < b.status; });
  EXPECT_EQ(twins[0].status, 0) << twins[0].out;
  EXPECT_EQ(twins[1].status, 1) << twins[1].out;
  EXPECT_NE(twins[1].out.find("ERROR: [main] CefInitialize failed. Another instance may be running."),
            std::string::npos) << twins[1].out;
  EXPECT_TRUE(twins[1].leftovers.empty());
}

// A data folder that does not exist yet is made, and locked, by the first run.
TEST_F(Conversion, NewDataFolderServesOneRunAtATime) {
  const std::string data = out.File("new/data");
  ExpectOneOfTwinsRefused({TestServer::Get().Html("<p>new</p>"), Out(), "--dd=" + data, "--conversion-delay=500"});
  EXPECT_EQ(e2e::PdfInfo(Out())["Pages"], "1");
  EXPECT_TRUE(e2e::FileExists(data + "/cef.log"));
}

// Two runs on one data folder at once: one converts and writes its output
// JSON encrypted like the settings, the other is refused before it touches
// the profile, which a later run can still use.
TEST_F(Conversion, EncryptedConfigurationInDataDirectory) {
  e2e::TempDir data;
  e2e::WriteFile(Out("plain.json"), R"({"url": ")" + TestServer::Get().Url("/pages/p300.html") +
                                        R"(", "conversionDelay": 0, "buildParseInfo": true})");
  ASSERT_EQ(e2e::RunCommand({HALVERN_PAYLOAD_EXE, "encrypt", Out("plain.json"), data.File("settings.bin")}).status, 0);
  const std::vector<std::string> args = {"--dd=" + data.path(), "--is=settings.bin", "--of=out.pdf", "--os=out.json"};
  ExpectOneOfTwinsRefused(args);
  EXPECT_EQ(e2e::PdfInfo(data.File("out.pdf"))["Pages"], "1");
  EXPECT_EQ(e2e::ReadFile(data.File("out.json")).find("parseInfo"), std::string::npos);
  ASSERT_EQ(e2e::RunCommand({HALVERN_PAYLOAD_EXE, "decrypt", data.File("out.json"), data.File("out.txt")}).status, 0);
  EXPECT_NE(e2e::ReadFile(data.File("out.txt")).find("\"contentHeight\": 301"), std::string::npos);
  EXPECT_TRUE(e2e::FileExists(data.File("cef.log")));
  EXPECT_EQ(Halvern(args).status, 0);
}

// The ink-measure mode starts no browser and reads only a regular file:
// nothing else may block the run or size an allocation.
TEST_F(Conversion, InkMeasureReadsOnlyRegularFiles) {
  e2e::WriteFile(Out(), "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>"
                        "endobj\n3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 225.75]>>endobj\n"
                        "trailer<</Size 4/Root 1 0 R>>\n%%EOF\n");
  ASSERT_EQ(mkfifo(out.File("fifo").c_str(), 0600), 0);
  std::filesystem::copy_file(Out(), out.File("caf\xE9.pdf"));
  for (const auto& [path, error] : std::vector<std::pair<std::string, std::string>>{
           {Out(), ""},
           {out.File("missing.pdf"), "cannot open " + out.File("missing.pdf")},
           {out.path(), "cannot read " + out.path()},
           {out.File("fifo"), "cannot read " + out.File("fifo")},
           {"/dev/zero", "cannot read /dev/zero"},
           // A name that is not UTF-8 finds its file; the line shows U+FFFD for the byte.
           {out.File("caf\xE9.pdf"), ""},
           {out.File("caf\xE9x.pdf"), "cannot open " + out.File("caf\xEF\xBF\xBDx.pdf")}}) {
    RunResult m = Halvern({"--ink-measure=" + path});
    EXPECT_EQ(m.status, 0);
    EXPECT_TRUE(std::regex_match(m.out, std::regex("\\{[^\n]*\\}\n"))) << "one line of JSON: " << m.out;
    EXPECT_LT(m.wallMs, 2000) << path;
    auto j = nlohmann::json::parse(m.out, nullptr, false);
    EXPECT_EQ(j.value("ok", error.empty()), error.empty()) << m.out;
    EXPECT_EQ(j.value("error", "-"), error) << m.out;
  }
}

}  // namespace
