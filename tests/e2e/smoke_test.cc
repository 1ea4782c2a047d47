// First contact with the real program: banner, and one served page to PDF.
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/e2e_support.h"

namespace {

const char kSuccess[] = "[main] Conversion completed successfully. Elapsed: ";

class Smoke : public ::testing::Test {
 protected:
  e2e::RunResult Halvern(const std::vector<std::string>& args) { return e2e::RunChecked(tmp.path(), args); }
  e2e::TempDir tmp, out;
};

TEST_F(Smoke, BannerVersionAndHelpAloneStartNothing) {
  const std::string banner = "Halvern.Cef v26.4.0\n";
  EXPECT_EQ(Halvern({}).out, banner);
  EXPECT_EQ(Halvern({"--version"}).out, banner);
  e2e::RunResult r = Halvern({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: halvern URL OUTPUT", 0), 0u) << r.out;
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path(), ec)) << "no browser, no run folders";
}

TEST_F(Smoke, ServedPageBecomesAPdf) {
  e2e::TestServer& server = e2e::TestServer::Get();
  server.Reset();
  std::string pdf = out.File("smoke.pdf");
  e2e::RunResult r = Halvern({server.Url("/pages/long.html"), pdf});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kSuccess), std::string::npos) << r.out;
  EXPECT_TRUE(e2e::QpdfCheck(pdf));
  auto info = e2e::PdfInfo(pdf);
  EXPECT_GT(std::stoi(info["Pages"].empty() ? "0" : info["Pages"]), 1) << "long.html spans pages";
  std::string text = e2e::PdfText(pdf);
  EXPECT_NE(text.find("Chapter 12"), std::string::npos);
  EXPECT_NE(text.find("END OF DOCUMENT"), std::string::npos);
  EXPECT_EQ(server.CountRequests("/pages/long.html"), 1);
}

}  // namespace
