// The end-to-end harness checked on its own where a fault would hide real
// failures: child-process handling, leftover detection and the PDF check.
// The server's routes and the other readers are exercised by the end-to-end
// tests that use them.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

namespace {

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
  o.env["TMPDIR"] = "/nowhere";
  e2e::RunResult r = e2e::Run({"-c", "echo \"$HVN_PROBE $TMPDIR\"; echo err >&2; exit 3"}, o);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "one /nowhere\n");
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

// ---- reference tools ----------------------------------------------------------

// A check that always passed would hide every broken PDF the tests make.
TEST(Pdf, QpdfCheckRejectsBrokenFiles) {
  e2e::TempDir dir;
  e2e::WriteFile(dir.File("raw.pdf"),
                 "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                 "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                 "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 225.75]>>endobj\n"
                 "trailer<</Size 4/Root 1 0 R>>\n%%EOF\n");
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("raw.pdf")));  // no xref: qpdf warns
  EXPECT_FALSE(e2e::QpdfCheck(dir.File("missing.pdf")));
  e2e::RunCommand({"qpdf", dir.File("raw.pdf"), dir.File("doc.pdf")});
  EXPECT_TRUE(e2e::QpdfCheck(dir.File("doc.pdf")));
}

}  // namespace
