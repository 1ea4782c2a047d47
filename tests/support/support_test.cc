// The end-to-end harness checked on its own where a fault would hide real
// failures: child-process handling, leftover detection and the PDF check.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

namespace {

TEST(Run, CapturesSignalsAndTimesOut) {
  struct Case {
    std::string script;
    int signal, afterMs, timeoutMs, status;
  };
  // exec: the shell itself is the sleeping process the signal reaches.
  for (const Case& c : std::vector<Case>{{"echo \"$HVN_PROBE $TMPDIR\"; echo err >&2; exit 3", 0, 0, 10000, 3},
                                         {"exec sleep 20", SIGTERM, 200, 10000, 128 + SIGTERM},
                                         {"exec sleep 20", SIGINT, 200, 10000, 128 + SIGINT},
                                         {"sleep 30; true", 0, 0, 300, 128 + SIGKILL}}) {
    e2e::RunResult r = e2e::Run({"-c", c.script}, {.timeoutMs = c.timeoutMs, .signalAfterMs = c.afterMs, .signal = c.signal,
                                                   .env = {{"HVN_PROBE", "one"}, {"TMPDIR", "/nowhere"}}, .exe = "/bin/sh"});
    EXPECT_EQ(r.status, c.status) << c.script;
    EXPECT_EQ(r.timedOut, c.status == 128 + SIGKILL);
    EXPECT_TRUE(r.leftovers.empty()) << "a timeout takes the whole group down";
    EXPECT_GE(r.wallMs, std::max(c.afterMs, c.status == 128 + SIGKILL ? c.timeoutMs : 0));
    EXPECT_LT(r.wallMs, 3000);
    if (c.status == 3) EXPECT_EQ(r.out + r.err, "one /nowhere\nerr\n");
  }
  EXPECT_FALSE(e2e::Run({}, {.exe = "/no/such/program"}).spawnError.empty());
}

TEST(Run, ReportsAndKillsLeftovers) {
  // One child in the run's group, one that escaped to a session of its own,
  // and one that also dropped the environment (as the browser does); all
  // hold standard output, which must not stall the harness.
  e2e::RunResult r = e2e::Run({"-c", "sleep 30 & setsid sleep 31 & setsid env -i /bin/sleep 32 & echo started"},
                              {.leftoverGraceMs = 300, .exe = "/bin/sh"});
  EXPECT_EQ(r.out, "started\n");
  EXPECT_LT(r.wallMs, 1000);
  ASSERT_EQ(r.leftovers.size(), 3u) << ::testing::PrintToString(r.leftovers);
  usleep(200 * 1000);
  for (const std::string& l : r.leftovers) {
    std::string stat = e2e::ReadFile("/proc/" + std::to_string(std::stoi(l)) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << l << " still alive";
  }
}

// A check that always passed would hide every broken PDF the tests make.
TEST(Pdf, QpdfCheckRejectsBrokenFiles) {
  e2e::TempDir dir;
  e2e::WriteFile(dir.File("raw.pdf"), "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                                      "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                                      "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 225.75]>>endobj\n"
                                      "trailer<</Size 4/Root 1 0 R>>\n%%EOF\n");
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("raw.pdf")));  // no xref: qpdf warns
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("missing.pdf")));
  e2e::RunCommand({"qpdf", dir.File("raw.pdf"), dir.File("doc.pdf")});
  EXPECT_TRUE(e2e::QpdfCheck(dir.File("doc.pdf")));
}

}  // namespace
