#include "config/command_line.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/payload.h"
#include "config/utf8.h"
#include "test_util.h"

namespace {

using cfgtest::Args;
using cfgtest::CaptureLog;
using cfgtest::TempDir;
using cfgtest::WriteFile;

const std::string kPaperError =
    ". Valid: Letter, Note, Legal, A0-A10, B0-B5, ArchA-E, Flsa, HalfLetter, Letter11x17, Ledger";

TEST(Utf8, LenientDecoding) {
  struct Case {
    const char* name;
    std::string bytes;
    std::u32string expected;
  };
  const Case cases[] = {
      {"ascii", "abc", U"abc"},
      {"two bytes", "\xC3\xA9", U"\u00E9"},
      {"three bytes", "\xE2\x82\xAC", U"\u20AC"},
      {"four bytes", "\xF0\x9F\x98\x80", U"\U0001F600"},
      {"continuation not checked", "\xC3\x41", std::u32string(1, char32_t((0x03 << 6) | 0x01))},
      {"stray continuation as lead", "\x80\x80", std::u32string(1, char32_t(0))},
      {"cut short", "a\xE2\x82", std::u32string{U'a', char32_t((0x02 << 6) | 0x02)}},
      {"lone lead at end", "\xF0", std::u32string(1, char32_t(0))},
      {"0xFF lead", "\xFF\xBF\xBF\xBF", std::u32string(1, char32_t(0x1FFFFF))},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeUtf8Lenient(c.bytes), c.expected) << c.name;
}

TEST(Utf8, EncodeRoundTripsEverythingTheDecoderYields) {
  for (const std::string bytes : {std::string("plain"), std::string("\xC3\xA9t\xC3\xA9"),
                                  std::string("\xE2\x82\xAC\xF0\x9F\x98\x80"), std::string("\xED\xA0\x80")}) {
    EXPECT_EQ(ToUtf8(DecodeUtf8Lenient(bytes)), bytes);
  }
  const std::u32string odd{0x7F, 0x80, 0x7FF, 0x800, 0xD800, 0xFFFF, 0x10000, 0x10FFFF, 0x1FFFFF};
  EXPECT_EQ(DecodeUtf8Lenient(ToUtf8(odd)), odd);
}

TEST(CommandLineValues, IntAndNumberParsing) {
  struct IntCase {
    const char* text;
    bool ok;
    int value;
  };
  for (const auto& c : {IntCase{"45", true, 45}, IntCase{"  -12", true, -12}, IntCase{"+7", true, 7},
                        IntCase{"800px", true, 800}, IntCase{"2147483647", true, 2147483647},
                        IntCase{"-2147483648", true, -2147483647 - 1}, IntCase{"2147483648", false, 0},
                        IntCase{"99999999999999999999", false, 0}, IntCase{"", false, 0}, IntCase{"px", false, 0},
                        IntCase{"- 5", false, 0}, IntCase{"0x10", true, 0}}) {
    int v = -99;
    EXPECT_EQ(ParseIntValue(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : -99) << c.text;
  }
  struct NumCase {
    const char* text;
    bool ok;
    double value;
  };
  for (const auto& c : {NumCase{"12.5", true, 12.5}, NumCase{"1e2", true, 100}, NumCase{" -0.5mm", true, -0.5},
                        NumCase{".25", true, 0.25}, NumCase{"", false, 0}, NumCase{"abc", false, 0},
                        NumCase{"1e999", false, 0}, NumCase{"1e-999", false, 0}, NumCase{"inf", false, 0},
                        NumCase{"nan", false, 0}}) {
    double v = -99;
    EXPECT_EQ(ParseNumberValue(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : -99) << c.text;
  }
}

TEST(CommandLineValues, HasJsonExtension) {
  for (const auto& [path, expected] : std::vector<std::pair<std::string, bool>>{
           {"a.json", true}, {"CONFIG.JSON", true}, {"x/y.Json", true}, {".json", false},
           {"json", false}, {"a.jsonx", false}, {"a.js", false}, {"", false}}) {
    EXPECT_EQ(hasJsonExtension(path), expected) << path;
  }
}

class CommandLineTest : public cfgtest::RunLogTest {
 protected:
  int Parse(const std::vector<std::string>& args) {
    lines = CaptureLog([&] { status = ParseConversionSettings(Args(args), rec); });
    return status;
  }
  LaunchRecord rec;
  int status = -1;
  std::vector<std::string> lines;
};

TEST_F(CommandLineTest, GrammarAndValues) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const ConversionSettings&)> check;
    std::vector<std::string> errors;  // the logged lines, in order
  };
  const Case cases[] = {
      {"positionals and a flag", {"example.com/page", "out.pdf", "--landscape"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.url, "https://example.com/page");
         EXPECT_EQ(s.output, "out.pdf");
         EXPECT_TRUE(s.landscape);
       },
       {}},
      {"third positional ignored", {"https://a.test/", "o.pdf", "extra"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.url, "https://a.test/");
         EXPECT_EQ(s.output, "o.pdf");
       },
       {}},
      {"every flag",
       {"https://a.test/", "--ignore-ssl-errors", "--allow-insecure-content", "--disable-local-files",
        "--disable-localhost", "--disable-webgl", "--no-print-background", "--display-header-footer",
        "--tagged", "--content-end-ink"},
       [](const ConversionSettings& s) {
         EXPECT_TRUE(s.ignoreSslErrors);
         EXPECT_TRUE(s.allowInsecureContent);
         EXPECT_FALSE(s.localFilesEnabled);
         EXPECT_FALSE(s.localhostEnabled);
         EXPECT_FALSE(s.webGlEnabled);
         EXPECT_FALSE(s.printBackground);
         EXPECT_TRUE(s.displayHeaderFooter);
         EXPECT_TRUE(s.tagged);
         EXPECT_TRUE(s.contentEndInk);
         EXPECT_TRUE(s.enableJavascript);
         EXPECT_EQ(s.output, "output.pdf");
       },
       {}},
      {"integer options",
       {"a.test", "--navigation-timeout=100", "--print-timeout=-1", "--conversion-delay=0",
        "--viewport-width=800px", "--viewport-height=600", "--scale=80"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.navigationTimeout, 100);
         EXPECT_EQ(s.printTimeout, -1);
         EXPECT_EQ(s.conversionDelay, 0);
         EXPECT_EQ(s.viewportWidth, 800);
         EXPECT_EQ(s.viewportHeight, 600);
         EXPECT_EQ(s.scale, 80);
       },
       {}},
      {"bad integers logged, value kept",
       {"a.test", "--scale=abc", "--viewport-width=", "--navigation-timeout=3000000000"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.scale, 0);
         EXPECT_EQ(s.viewportWidth, 1024);
         EXPECT_EQ(s.navigationTimeout, 30000);
       },
       {"ERROR: [main] Invalid value for --scale=", "ERROR: [main] Invalid value for --viewport-width=",
        "ERROR: [main] Invalid value for --navigation-timeout="}},
      {"number options",
       {"a.test", "--paper-width=100.5", "--paper-height=2e2", "--margin-top=1", "--margin-bottom=2",
        "--margin-left=3", "--margin-right=4"},
       [](const ConversionSettings& s) {
         EXPECT_DOUBLE_EQ(s.paperWidth, 100.5);
         EXPECT_DOUBLE_EQ(s.paperHeight, 200);
         EXPECT_EQ(s.marginTop, 1);
         EXPECT_EQ(s.marginBottom, 2);
         EXPECT_EQ(s.marginLeft, 3);
         EXPECT_EQ(s.marginRight, 4);
       },
       {}},
      {"margin then one side", {"a.test", "--margin=10", "--margin-left=2"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.marginTop, 10);
         EXPECT_EQ(s.marginBottom, 10);
         EXPECT_EQ(s.marginRight, 10);
         EXPECT_EQ(s.marginLeft, 2);
       },
       {}},
      {"bad margin keeps all four", {"a.test", "--margin=5", "--margin=wide", "--paper-width=x"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.marginTop, 5);
         EXPECT_EQ(s.marginLeft, 5);
         EXPECT_DOUBLE_EQ(s.paperWidth, 595.28);
       },
       {"ERROR: [main] Invalid value for --margin=", "ERROR: [main] Invalid value for --paper-width="}},
      {"paper sizes", {"a.test", "--paper-size=Ledger"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.paperWidth, 1224);
         EXPECT_EQ(s.paperHeight, 792);
       },
       {}},
      {"paper size is case-sensitive", {"a.test", "--paper-size=a4"},
       [](const ConversionSettings& s) {
         EXPECT_DOUBLE_EQ(s.paperWidth, 595.28);
         EXPECT_DOUBLE_EQ(s.paperHeight, 841.89);
       },
       {"ERROR: [main] Unknown paper size: a4" + kPaperError}},
      {"later option wins", {"a.test", "--paper-size=A4", "--paper-height=1000", "--scale=50", "--scale=60"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.paperWidth, 595);
         EXPECT_EQ(s.paperHeight, 1000);
         EXPECT_EQ(s.scale, 60);
       },
       {}},
      {"text options, empty allowed",
       {"a.test", "--media-type=", "--output-format=png", "--proxy-server=proxy:3128", "--proxy-username=pu",
        "--proxy-password=pp", "--username=u\xC3\xA9", "--password=p=w", "--http-cache=all"},
       [](const ConversionSettings& s) {
         EXPECT_EQ(s.mediaType, "");
         EXPECT_EQ(s.outputFormat, "png");
         EXPECT_EQ(s.proxyHostName, "proxy:3128");
         EXPECT_EQ(s.proxyUsername, "pu");
         EXPECT_EQ(s.proxyPassword, "pp");
         EXPECT_EQ(s.username, "u\xC3\xA9");
         EXPECT_EQ(s.password, "p=w");
         EXPECT_EQ(s.httpCacheMode, HttpCacheMode::All);
       },
       {}},
      {"unknown options ignored silently", {"--landscpe", "-x", "--paper-size", "a.test"},
       [](const ConversionSettings& s) {
         EXPECT_FALSE(s.landscape);
         EXPECT_EQ(s.url, "https://a.test");
       },
       {}},
      {"bare .json is positional", {".json"},
       [](const ConversionSettings& s) { EXPECT_EQ(s.url, "https://.json"); }, {}},
      {"unknown httpCache is not fatal", {"a.test", "--http-cache=Clear"},
       [](const ConversionSettings& s) { EXPECT_EQ(s.httpCacheMode, HttpCacheMode::Clear); },
       {"ERROR: [main] Unknown httpCache value 'Clear'; using clear. Valid: clear, thirdParty, all"}},
      {"thirdParty", {"a.test", "--http-cache=thirdParty"},
       [](const ConversionSettings& s) { EXPECT_EQ(s.httpCacheMode, HttpCacheMode::ThirdParty); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ASSERT_EQ(Parse(c.args), 0);
    c.check(rec.settings);
    EXPECT_EQ(lines, c.errors);
  }
}

TEST_F(CommandLineTest, NoArgumentsFailsOnEmptyUrl) {
  EXPECT_EQ(Parse({}), 1);
  EXPECT_EQ(lines, std::vector<std::string>{"ERROR: [main] URL is empty."});
}

TEST_F(CommandLineTest, DirectNavigationEnvironment) {
  TempDir dir;
  WriteFile(dir.File("c.json"), R"({"url":"a.test","directNavigation":true})");
  WriteFile(dir.File("off.json"), R"({"url":"a.test","directNavigation":false})");
  struct Case {
    const char* env;  // nullptr: unset
    const char* file;
    bool expected;
  };
  for (const auto& c : {Case{"0", "c.json", false}, Case{"1", "off.json", true}, Case{"yes", "off.json", false},
                        Case{"10", "off.json", true}, Case{nullptr, "off.json", false}, Case{"", "c.json", true}}) {
    Reset();
    if (c.env) setenv("HALVERN_DIRECT_NAVIGATION", c.env, 1);
    ASSERT_EQ(Parse({dir.File(c.file)}), 0);
    EXPECT_EQ(rec.directNavigation, c.expected) << (c.env ? c.env : "unset") << " " << c.file;
    EXPECT_EQ(rec.settings.directNavigation, c.expected);
  }
}

TEST_F(CommandLineTest, ConfigFileThenCommandLinePrecedence) {
  TempDir dir;
  const std::string cfg = dir.File("Settings.JSON");
  WriteFile(cfg, R"({"url":"https://file.test/","output":"file.pdf","scale":40,"landscape":true,
                    "mediaType":"print","paperSize":"A3"})");
  ASSERT_EQ(Parse({cfg, "--scale=70", "--paper-height=500"}), 0);
  const auto& s = rec.settings;
  EXPECT_EQ(s.url, "https://file.test/");
  EXPECT_EQ(s.output, "file.pdf");
  EXPECT_EQ(s.scale, 70);
  EXPECT_TRUE(s.landscape);
  EXPECT_EQ(s.mediaType, "print");
  EXPECT_EQ(s.paperWidth, 842);
  EXPECT_EQ(s.paperHeight, 500);
  EXPECT_EQ(s.configFilePath, std::filesystem::absolute(cfg).string());

  Reset();
  ASSERT_EQ(Parse({"--config=" + cfg, "https://cli.test/", "cli.pdf"}), 0);
  EXPECT_EQ(rec.settings.url, "https://cli.test/");
  EXPECT_EQ(rec.settings.output, "cli.pdf");
}

TEST_F(CommandLineTest, LaterConfigPathReplacesEarlierAndRelativeIsMadeAbsolute) {
  TempDir dir;
  WriteFile(dir.File("one.json"), R"({"url":"https://one.test/"})");
  WriteFile(dir.File("two.json"), R"({"url":"https://two.test/"})");
  ASSERT_EQ(Parse({dir.File("one.json"), "--config=" + dir.File("two.json")}), 0);
  EXPECT_EQ(rec.settings.url, "https://two.test/");
  ASSERT_EQ(Parse({"--config=" + dir.File("two.json"), dir.File("one.json")}), 0);
  EXPECT_EQ(rec.settings.url, "https://one.test/");

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Parse({"--config=one.json"});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rec.settings.configFilePath, dir.path() + "/one.json");
}

TEST_F(CommandLineTest, VerboseKeyBeatsVerboseFlag) {
  TempDir dir;
  WriteFile(dir.File("quiet.json"), R"({"url":"https://a.test/","verbose":false})");
  WriteFile(dir.File("loud.json"), R"({"url":"a.test","verbose":true})");
  ASSERT_EQ(Parse({"--verbose", dir.File("quiet.json")}), 0);
  EXPECT_FALSE(rec.settings.verbose);
  EXPECT_FALSE(RunLog::Get().verbose());
  EXPECT_TRUE(lines.empty());

  Reset();
  ASSERT_EQ(Parse({dir.File("loud.json")}), 0);
  EXPECT_TRUE(rec.settings.verbose);
  EXPECT_EQ(lines, std::vector<std::string>{"[main] No scheme provided, using: https://a.test"});

  Reset();
  ASSERT_EQ(Parse({"--verbose", "a.test"}), 0);
  EXPECT_TRUE(rec.settings.verbose);
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(CommandLineTest, LogFileReceivesEveryLineFromThePreScanOn) {
  TempDir dir;
  const std::string logFile = dir.File("run.log");
  WriteFile(dir.File("c.json"), R"({"url":"a.test","paperSize":"Huge"})");
  ASSERT_EQ(Parse({"--lf=" + logFile, dir.File("c.json")}), 0);
  EXPECT_EQ(rec.settings.logFilePath, logFile);
  EXPECT_EQ(RunLog::Get().logFilePath(), logFile);
  const std::string text = cfgtest::ReadFile(logFile);
  EXPECT_NE(text.find("ERROR: [main] Unknown paperSize in config: Huge"), std::string::npos) << text;
  EXPECT_NE(text.find("] [main] No scheme provided, using: https://a.test\n"), std::string::npos) << text;
  // Not verbose: standard output has the error line only.
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(CommandLineTest, DataDirectoryComposition) {
  TempDir dir;
  const std::string plain = R"({"url":"https://enc.test/","output":"/elsewhere/file.pdf",
                                "outputJsonFile":"/elsewhere/file.json"})";
  WriteFile(dir.File("settings.bin"), EncryptPayload(plain));
  WriteFile(dir.File("decoy.json"), R"({"url":"https://decoy.test/"})");

  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::string output;
    std::string outputJson;
  };
  const Case cases[] = {
      {"of and os replace the file", {"--of=out.pdf", "--os=out.json"}, dir.File("out.pdf"), dir.File("out.json")},
      {"positional output beats --of", {"--of=out.pdf", "--os=out.json", "https://cli.test/", "cli.pdf"},
       "cli.pdf", dir.File("out.json")},
      {"empty --of keeps the file's output", {"--of=", "--os=", "--verbose"}, "/elsewhere/file.pdf",
       "/elsewhere/file.json"},
  };
  // The file's output folder does not exist; point it at the data directory
  // when the case keeps it.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    std::vector<std::string> args = {"--config=" + dir.File("decoy.json"), "--dd=" + dir.path(), "--is=settings.bin"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const int rc = Parse(args);
    const auto& s = rec.settings;
    if (c.output == "/elsewhere/file.pdf") {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(lines.back(), "ERROR: [main] Output directory does not exist: /elsewhere");
      continue;
    }
    ASSERT_EQ(rc, 0) << testing::PrintToString(lines);
    EXPECT_TRUE(s.encryptedIo);
    EXPECT_TRUE(rec.encryptedIo);
    EXPECT_EQ(s.dataDirectory, dir.path());
    EXPECT_EQ(rec.dataDirectory, dir.path());
    EXPECT_EQ(s.configFilePath, dir.File("settings.bin"));
    EXPECT_EQ(s.output, c.output);
    EXPECT_EQ(s.outputJsonFile, c.outputJson);
    EXPECT_EQ(s.url, c.extra.size() > 2 ? "https://cli.test/" : "https://enc.test/");
  }
}

TEST_F(CommandLineTest, DataDirectoryWithoutIsStillDecryptsTheConfigPath) {
  TempDir dir;
  WriteFile(dir.File("plain.json"), R"({"url":"https://plain.test/"})");
  EXPECT_EQ(Parse({"--dd=" + dir.path(), dir.File("plain.json")}), 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ERROR: [main] Failed to decrypt config: ", 0), 0u) << lines[0];

  // --is= without --dd= composes nothing; no file is read.
  Reset();
  ASSERT_EQ(Parse({"--is=plain.json", "https://x.test/"}), 0);
  EXPECT_FALSE(rec.encryptedIo);
  EXPECT_TRUE(rec.settings.configFilePath.empty());
}

TEST_F(CommandLineTest, ConfigFileFailuresAreFatal) {
  TempDir dir;
  WriteFile(dir.File("bad.json"), "{\"url\":\"a.test\",}");
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {{dir.File("missing.json")}, "ERROR: [main] Cannot open config file: " + dir.File("missing.json")},
      {{"--config=" + dir.File("bad.json"), "https://a.test/"},
       "ERROR: [main] Config file is not a valid JSON object: " + dir.File("bad.json")},
      {{"--dd=" + dir.path(), "--is=bad.json"},
       "ERROR: [main] Failed to decrypt config: Encrypted data has invalid length"},
  };
  for (const auto& c : cases) {
    Reset();
    EXPECT_EQ(Parse(c.args), 1);
    EXPECT_EQ(lines, std::vector<std::string>{c.line});
  }
}

}  // namespace
