#include "config/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

#include "config/payload.h"
#include "config/utf8.h"
#include "test_util.h"

namespace {

using cfgtest::CaptureLog;
using cfgtest::TempDir;
using cfgtest::WriteFile;
using Lines = std::vector<std::string>;

std::vector<std::u32string> Args(const Lines& rest) {
  std::vector<std::u32string> out{U"halvern"};
  for (const auto& a : rest) out.push_back(DecodeUtf8Lenient(a));
  return out;
}

TEST(Utf8, LenientDecodingAndRoundTrip) {
  const std::pair<std::string, std::u32string> cases[] = {
      {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", U"a\u00E9\u20AC\U0001F600"},
      // A byte that starts no sequence stands alone; what follows is read as it is.
      {"caf\xE9.pdf", U"caf\xDCE9.pdf"},
      {"\xC3\x41", U"\xDCC3" U"A"},
      {"a\xE2\x82", U"a\xDCE2\xDC82"},
      {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", U"\xDCC0\xDCAF\xDCED\xDCA0\xDC80\xDCF4\xDC90\xDC80\xDC80"},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(DecodeUtf8Lenient(bytes), expected) << bytes;
    EXPECT_EQ(ToUtf8(expected), bytes) << bytes;
  }
}

TEST(CommandLineValues, IntNumberAndJsonExtension) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  for (const auto& c : {Case{"  -12", true, -12}, Case{"800px", true, 800}, Case{"-2147483648", true, -2147483648.0},
                        Case{"2147483648", false, 0}, Case{"99999999999999999999", false, 0}, Case{"", false, 0},
                        Case{"- 5", false, 0}, Case{"0x10", true, 0}}) {
    int v = -99;
    EXPECT_EQ(ParseIntValue(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : -99) << c.text;
  }
  for (const auto& c : {Case{" -0.5mm", true, -0.5}, Case{"1e2", true, 100}, Case{"abc", false, 0},
                        Case{"1e999", false, 0}, Case{"1e-999", false, 0}, Case{"inf", false, 0},
                        Case{"nan", false, 0}}) {
    double v = -99;
    EXPECT_EQ(ParseNumberValue(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : -99) << c.text;
  }
  for (const auto& [path, expected] : std::vector<std::pair<std::string, bool>>{
           {"CONFIG.JSON", true}, {"x/y.Json", true}, {".json", false}, {"a.jsonx", false}})
    EXPECT_EQ(hasJsonExtension(path), expected) << path;
}

class CommandLineTest : public cfgtest::RunLogTest {
 protected:
  int Parse(const Lines& args) {
    lines = CaptureLog([&] { status = ParseConversionSettings(Args(args), rec); });
    return status;
  }
  LaunchRecord rec;
  int status = -1;
  Lines lines;
};

TEST_F(CommandLineTest, OptionsApplyInOrder) {
  ASSERT_EQ(Parse({"example.com/page", "out.pdf", "extra", "--landscpe", "-x", "--paper-size", "--disable-localhost",
                   "--tagged", "--print-timeout=-1", "--viewport-width=800px", "--paper-size=A4", "--paper-height=2e2",
                   "--margin=10", "--margin-right=4", "--margin=x", "--scale=50", "--scale=60", "--scale=abc",
                   "--navigation-timeout=3000000000", "--paper-width=x", "--username=u\xC3\xA9", "--password=p=w",
                   "--media-type=", "--http-cache=thirdParty", "--disable-private-networks",
                   "--host-resolver-rules=MAP * ~NOTFOUND", "--unknown=x", "--wait-for-selector=#a b",
                   "--wait-for-expression=x==1", "--wait-for-network-idle=250", "--fail-on-console-exceptions",
                   "--fail-on-resource-status=404", "--fail-on-resource-loading-failed"}),
            0);
  const auto& s = rec.settings;
  EXPECT_EQ(std::tie(s.url, s.output, s.hostResolverRules, s.username, s.password, s.mediaType, s.waitForSelector,
                     s.waitForExpression, s.failOnResourceStatus),
            std::make_tuple("https://example.com/page", "out.pdf", "MAP * ~NOTFOUND", "u\xC3\xA9", "p=w", "", "#a b",
                            "x==1", "404"));
  EXPECT_EQ(std::tie(s.landscape, s.localhostEnabled, s.privateNetworksEnabled, s.tagged, s.failOnConsoleExceptions,
                     s.failOnResourceLoadingFailed),
            std::make_tuple(false, false, false, true, true, true));
  EXPECT_EQ(std::tie(s.printTimeout, s.viewportWidth, s.scale, s.navigationTimeout, s.waitForNetworkIdle),
            std::make_tuple(-1, 800, 60, 30000, 250));
  EXPECT_EQ(std::tie(s.paperWidth, s.paperHeight, s.marginTop, s.marginRight), std::make_tuple(595, 200, 10, 4));
  EXPECT_EQ(s.httpCacheMode, HttpCacheMode::ThirdParty);
  EXPECT_EQ(lines, (Lines{"ERROR: [main] Invalid value for --margin=", "ERROR: [main] Invalid value for --scale=",
                          "ERROR: [main] Invalid value for --navigation-timeout=",
                          "ERROR: [main] Invalid value for --paper-width="}));
  ASSERT_EQ(Parse({".json"}), 0);  // too short to be a config path
  EXPECT_EQ(s.url, "https://.json");
}

TEST_F(CommandLineTest, PaperTableAndUnknownNames) {
  struct Case {
    const char* name;
    double width, height;
  };
  for (const auto& c : {Case{"Letter", 612, 792}, Case{"A0", 2380, 3368}, Case{"A10", 74, 105}, Case{"B5", 501, 709},
                        Case{"ArchA", 648, 864}, Case{"ArchE", 2592, 3456}, Case{"Letter11x17", 792, 1224},
                        Case{"Ledger", 1224, 792}, Case{"a4", 595.28, 841.89}}) {
    ASSERT_EQ(Parse({"a.test", std::string("--paper-size=") + c.name}), 0) << c.name;
    EXPECT_EQ(rec.settings.paperWidth, c.width) << c.name;
    EXPECT_EQ(rec.settings.paperHeight, c.height) << c.name;
  }
  EXPECT_EQ(lines, Lines{"ERROR: [main] Unknown paper size: a4. Valid: Letter, Note, Legal, A0-A10, B0-B5, "
                         "ArchA-E, Flsa, HalfLetter, Letter11x17, Ledger"});
  ASSERT_EQ(Parse({"a.test", "--http-cache=All"}), 0);
  EXPECT_EQ(rec.settings.httpCacheMode, HttpCacheMode::Clear);
  EXPECT_EQ(lines, Lines{"ERROR: [main] Unknown httpCache value 'All'; using clear. Valid: clear, thirdParty, all"});
}

TEST_F(CommandLineTest, FatalErrors) {
  TempDir dir;
  WriteFile(dir.File("bad.json"), "{\"url\":\"a.test\",}");
  WriteFile(dir.File("empty.html"), "");
  auto config = [&](const std::string& name, const std::string& text) {
    WriteFile(dir.File(name), text);
    return Lines{dir.File(name)};
  };
  const std::pair<Lines, std::string> cases[] = {
      {{}, "ERROR: [main] URL is empty."},
      {{dir.File("missing.json")}, "ERROR: [main] Cannot open config file: " + dir.File("missing.json")},
      {{"--config=" + dir.File("bad.json"), "https://a.test/"},
       "ERROR: [main] Config file is not a valid JSON object: " + dir.File("bad.json")},
      // --dd= alone still decrypts the config path.
      {{"--dd=" + dir.path(), dir.File("bad.json")},
       "ERROR: [main] Failed to decrypt config: Encrypted data has invalid length"},
      // Keys and options of the page conditions refuse wrong types and empty values.
      {config("s.json", R"({"url":"a.test","waitForSelector":""})"),
       "ERROR: [main] Config key waitForSelector must be a non-empty string."},
      {config("e.json", R"({"url":"a.test","footerTemplate":["<p>"]})"),
       "ERROR: [main] Config key footerTemplate must be a non-empty string."},
      {config("b.json", R"({"url":"a.test","failOnConsoleExceptions":"true"})"),
       "ERROR: [main] Config key failOnConsoleExceptions must be true or false."},
      {config("n.json", R"({"url":"a.test","waitForNetworkIdle":500.5})"),
       "ERROR: [main] Config key waitForNetworkIdle must be a whole number."},
      {{"a.test", "--wait-for-expression="}, "ERROR: [main] Option --wait-for-expression= needs a value."},
      {{"a.test", "--wait-for-network-idle=soon"}, "ERROR: [main] Invalid value for --wait-for-network-idle="},
      {{"a.test", "--header-template="}, "ERROR: [main] Option --header-template= needs a value."},
      {{"a.test", "--header-template=" + dir.File("none.html")},
       "ERROR: [main] Cannot read template file: " + dir.File("none.html")},
      {{"a.test", "--footer-template=" + dir.File("empty.html")},
       "ERROR: [main] Template file is empty: " + dir.File("empty.html")},
  };
  for (const auto& [args, line] : cases) {
    Reset();
    EXPECT_EQ(Parse(args), 1) << line;
    EXPECT_EQ(lines, Lines{line});
  }
}

TEST_F(CommandLineTest, DirectNavigationEnvironment) {
  TempDir dir;
  WriteFile(dir.File("on.json"), R"({"url":"a.test","directNavigation":true})");
  WriteFile(dir.File("off.json"), R"({"url":"a.test","directNavigation":false})");
  struct Case {
    const char* env;  // nullptr: unset
    const char* file;
    bool expected;
  };
  for (const auto& c : {Case{"0", "on.json", false}, Case{"10", "off.json", true}, Case{"yes", "off.json", false},
                        Case{nullptr, "off.json", false}, Case{"", "on.json", true}}) {
    Reset();
    if (c.env) setenv("HALVERN_DIRECT_NAVIGATION", c.env, 1);
    ASSERT_EQ(Parse({dir.File(c.file)}), 0);
    EXPECT_EQ(rec.directNavigation, c.expected) << (c.env ? c.env : "unset") << " " << c.file;
  }
}

TEST_F(CommandLineTest, ConfigFileThenCommandLinePrecedence) {
  TempDir dir;
  const std::string cfg = dir.File("Settings.JSON");
  WriteFile(cfg, R"({"url":"https://file.test/","output":"file.pdf","scale":40,"landscape":true,"paperSize":"A3"})");
  WriteFile(dir.File("two.json"), R"({"url":"https://two.test/"})");
  ASSERT_EQ(Parse({cfg, "--scale=70", "--paper-height=500", "https://cli.test/"}), 0);
  const auto& s = rec.settings;
  EXPECT_EQ(s.url, "https://cli.test/");
  EXPECT_EQ(s.output, "file.pdf");
  EXPECT_EQ(s.scale, 70);
  EXPECT_TRUE(s.landscape);
  EXPECT_EQ(s.paperWidth, 842);
  EXPECT_EQ(s.paperHeight, 500);

  // The last config path wins, whichever form it takes.
  ASSERT_EQ(Parse({cfg, "--config=" + dir.File("two.json")}), 0);
  EXPECT_EQ(s.url, "https://two.test/");
  ASSERT_EQ(Parse({"--config=" + dir.File("two.json"), cfg}), 0);
  EXPECT_EQ(s.url, "https://file.test/");

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Parse({"--config=two.json"});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(s.configFilePath, dir.File("two.json"));
}

TEST_F(CommandLineTest, VerboseAndLogFile) {
  TempDir dir;
  WriteFile(dir.File("quiet.json"), R"({"url":"https://a.test/","verbose":false})");
  WriteFile(dir.File("loud.json"), R"({"url":"a.test","verbose":true})");
  WriteFile(dir.File("huge.json"), R"({"url":"a.test","paperSize":"Huge","scale":5})");
  ASSERT_EQ(Parse({"--verbose", dir.File("quiet.json")}), 0);  // the key beats the flag
  EXPECT_FALSE(rec.settings.verbose);
  EXPECT_FALSE(RunLog::Get().verbose());
  EXPECT_TRUE(lines.empty());
  for (const Lines& args : {Lines{dir.File("loud.json")}, Lines{"--verbose", "a.test"}}) {
    Reset();
    ASSERT_EQ(Parse(args), 0);
    EXPECT_TRUE(rec.settings.verbose);
    EXPECT_EQ(lines, Lines{"[main] No scheme provided, using: https://a.test"});
  }

  // The log file is open before the config file is read and gets every line.
  Reset();
  const std::string logFile = dir.File("run.log");
  ASSERT_EQ(Parse({"--lf=" + logFile, dir.File("huge.json")}), 0);
  EXPECT_EQ(std::tie(rec.settings.logFilePath, rec.settings.scale, rec.settings.paperWidth),
            std::make_tuple(logFile, 5, 595.28));  // an unknown paper size stops nothing
  EXPECT_EQ(lines.size(), 1u);
  const std::string text = cfgtest::ReadFile(logFile);
  EXPECT_NE(text.find("ERROR: [main] Unknown paperSize in config: Huge. Valid: Letter, Note, Legal, A0-A10, B0-B5, "
                      "ArchA-E, Flsa, HalfLetter, Letter11x17, Ledger\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("] [main] No scheme provided, using: https://a.test\n"), std::string::npos) << text;
}

TEST_F(CommandLineTest, DataDirectoryComposition) {
  TempDir dir;
  WriteFile(dir.File("settings.bin"), EncryptPayload(R"({"url":"https://enc.test/","output":"/elsewhere/file.pdf",
                                                         "outputJsonFile":"/elsewhere/file.json"})"));
  WriteFile(dir.File("decoy.json"), R"({"url":"https://decoy.test/"})");
  const Lines base = {"--config=" + dir.File("decoy.json"), "--dd=" + dir.path(), "--is=settings.bin"};
  auto with = [&](Lines extra) {
    extra.insert(extra.begin(), base.begin(), base.end());
    return extra;
  };
  ASSERT_EQ(Parse(with({"--of=out.pdf", "--os=out.json"})), 0) << testing::PrintToString(lines);
  const auto& s = rec.settings;
  EXPECT_TRUE(rec.encryptedIo);
  EXPECT_EQ(std::tie(rec.dataDirectory, s.configFilePath, s.url, s.output, s.outputJsonFile),
            std::make_tuple(dir.path(), dir.File("settings.bin"), "https://enc.test/", dir.File("out.pdf"),
                            dir.File("out.json")));

  ASSERT_EQ(Parse(with({"--of=out.pdf", "https://cli.test/", "cli.pdf"})), 0);
  EXPECT_EQ(s.url, "https://cli.test/");
  EXPECT_EQ(s.output, "cli.pdf");

  // Empty --of= keeps the file's output, whose folder does not exist.
  EXPECT_EQ(Parse(with({"--of=", "--os="})), 1);
  EXPECT_EQ(lines, Lines{"ERROR: [main] Output directory does not exist: /elsewhere"});

  // --is= without --dd= composes nothing.
  ASSERT_EQ(Parse({"--is=settings.bin", "https://x.test/"}), 0);
  EXPECT_FALSE(rec.encryptedIo);
  EXPECT_TRUE(s.configFilePath.empty());
}

}  // namespace
