#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "pdfink/pdf_reader.h"
#include "tests/support/e2e_support.h"

namespace {

using e2e::RunOptions;
using e2e::RunResult;
using e2e::TestServer;

const char kSuccess[] = "[main] Conversion completed successfully. Elapsed: ";

// Each test runs halvern with its own TMPDIR and checks nothing is left.
class Conversion : public ::testing::Test {
 protected:
  RunResult Halvern(std::vector<std::string> args, RunOptions o = {}) { return e2e::RunChecked(tmp.path(), args, o); }
  std::string Out(const std::string& name = "out.pdf") { return out.File(name); }
  e2e::TempDir tmp, out;
};

// Leftmost and topmost dark pixel of page 1 rendered at 72 dpi, in points.
bool InkOrigin(const std::string& pdf, int& left, int& top) {
  e2e::TempDir d;
  e2e::RunCommand({"pdftoppm", "-r", "72", "-f", "1", "-l", "1", "-gray", pdf, d.File("p")});
  std::string pgm = e2e::ReadFile(d.File("p-1.pgm"));
  int w, h, max, off = 0;
  if (pgm.empty() || std::sscanf(pgm.c_str(), "P5 %d %d %d%n", &w, &h, &max, &off) != 3) return false;
  const unsigned char* px = reinterpret_cast<const unsigned char*>(pgm.data()) + off + 1;
  left = top = -1;
  for (int y = 0; y < h && top < 0; ++y)
    for (int x = 0; x < w; ++x)
      if (px[y * w + x] < 128) { top = y; break; }
  for (int x = 0; x < w && left < 0; ++x)
    for (int y = 0; y < h; ++y)
      if (px[y * w + x] < 128) { left = x; break; }
  return left >= 0;
}

// Characters drawn with their font's missing glyph (glyph 0), and in `shown`
// all characters drawn. The browser writes two-byte glyph ids under
// Identity-H, and names a Type3 font's glyphs /g<hex id>.
int MissingGlyphs(const std::string& pdf, int& shown) {
  using pdfink::ObjPtr;
  pdfink::Document doc;
  std::string error;
  if (!doc.open(pdf, error)) return -1;
  int missing = shown = 0;
  for (const ObjPtr& page : doc.pages()) {
    ObjPtr fonts = doc.resolve(doc.get(doc.inherited(page, "Resources"), "Font"));
    std::vector<std::uint8_t> content;
    doc.decodeStream(doc.resolve(doc.get(page, "Contents")), content);
    bool twoByte = false;
    std::map<int, std::string> names;  // Type3: code -> glyph name
    std::vector<ObjPtr> args;
    for (size_t pos = 0; ObjPtr o = pdfink::parseObject(content.data(), content.size(), pos);) {
      if (o->kind != pdfink::kKeyword) {
        args.push_back(o);
        continue;
      }
      if (o->text == "Tf" && args.size() == 2) {
        ObjPtr font = doc.resolve(doc.get(fonts, args[0]->text));
        twoByte = doc.get(font, "Subtype")->isName("Type0");
        names.clear();
        int code = 0;
        for (const ObjPtr& d : doc.get(doc.resolve(doc.get(font, "Encoding")), "Differences")->items)
          if (d->kind == pdfink::kNumber) code = static_cast<int>(d->number);
          else names[code++] = d->text;
      }
      if ((o->text == "Tj" || o->text == "TJ") && args.size() == 1)
        for (const ObjPtr& str : args[0]->kind == pdfink::kArray ? args[0]->items : args) {
          const auto* b = reinterpret_cast<const unsigned char*>(str->text.data());
          for (size_t i = 0; str->kind == pdfink::kString && i + twoByte < str->text.size(); i += 1 + twoByte, ++shown)
            missing += twoByte ? b[i] == 0 && b[i + 1] == 0 : names[b[i]] == "g0";
        }
      args.clear();
    }
  }
  return missing;
}

// The fonts the set-up installs: document fonts come out in their
// metric-compatible replacements, every script with real glyphs.
TEST_F(Conversion, DocumentFontsAndWorldScriptsHaveRealGlyphs) {
  RunResult r = Halvern({TestServer::Get().Url("/pages/scripts.html"), Out(), "--conversion-delay=0"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string fonts = e2e::RunCommand({"pdffonts", Out()}).out;
  for (const char* family : {"+LiberationSans ", "+LiberationSerif ", "+LiberationMono "})
    EXPECT_NE(fonts.find(family), std::string::npos) << family << " missing:\n" << fonts;
  int shown = 0;
  EXPECT_EQ(MissingGlyphs(Out(), shown), 1) << "only the unassigned code point at the end is a box";
  EXPECT_GT(shown, 150);
  std::string text = e2e::PdfText(Out());
  for (const char* line : {"The quick brown fox", "jumps over the lazy dog", "0123456789", "我们一起去图书馆",
                           "ひらがなとカタカナ", "안녕하세요 세계", "مرحبا بالعالم", "שלום עולם", "नमस्ते दुनिया",
                           "สวัสดีชาวโลก", "😀🎉🌍"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " not in:\n" << text;
}

TEST_F(Conversion, BannerVersionAndHelpAloneStartNothing) {
  const std::string banner = "Halvern.Cef v26.4.0\n";
  EXPECT_EQ(Halvern({}).out, banner);
  EXPECT_EQ(Halvern({"--version"}).out, banner);
  RunResult r = Halvern({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: halvern URL OUTPUT", 0), 0u) << r.out;
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path(), ec)) << "no browser, no run folders";
}

TEST_F(Conversion, ShortPagePrintsAsOneShortPageWhoseInkIsMeasured) {
  TestServer::Get().Reset();
  RunResult r = Halvern({TestServer::Get().Url("/pages/p300.html"), Out(), "--scale=100", "--conversion-delay=0"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind(kSuccess, 0), 0u) << r.out;  // quiet mode: only the success line
  EXPECT_EQ(TestServer::Get().CountRequests("/pages/p300.html"), 1);
  EXPECT_TRUE(e2e::QpdfCheck(Out()));
  auto info = e2e::PdfInfo(Out());
  EXPECT_EQ(info["Pages"], "1");
  double w = 0, h = 0;
  ASSERT_TRUE(e2e::PageSize(Out(), w, h));
  // The browser rounds page sizes to 1/300 inch.
  EXPECT_NEAR(h, 225.75, 0.5);
  EXPECT_NEAR(w, 595.28, 1.0);

  // The ink-measure mode starts no browser and reads only a regular file:
  // nothing else may block the run or size an allocation.
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
    EXPECT_EQ(m.out.rfind("{", 0), 0u) << m.out;
    EXPECT_EQ(std::count(m.out.begin(), m.out.end(), '\n'), 1) << m.out;
    EXPECT_EQ(m.out.back(), '\n');
    EXPECT_LT(m.wallMs, 2000) << path;
    EXPECT_EQ(m.out.find(error.empty() ? "\"ok\":false" : "\"ok\":true"), std::string::npos) << m.out;
    if (!error.empty()) EXPECT_NE(m.out.find("\"error\":\"" + error + "\""), std::string::npos) << m.out;
  }
}

TEST_F(Conversion, PaperMarginsAndLandscape) {
  std::string url = TestServer::Get().Url("/pages/margins.html");
  RunResult r = Halvern({url, Out(), "--paper-size=Letter", "--margin=72", "--viewport-height=800"});
  ASSERT_EQ(r.status, 0) << r.out;
  int left, top;
  ASSERT_TRUE(InkOrigin(Out(), left, top));
  EXPECT_NEAR(left, 72, 1);
  EXPECT_NEAR(top, 72, 1);

  std::string five = TestServer::Get().Url("/pages/five.html");
  r = Halvern({five, Out("land.pdf"), "--landscape", "--paper-size=A4"});
  ASSERT_EQ(r.status, 0) << r.out;
  double w = 0, h = 0;
  ASSERT_TRUE(e2e::PageSize(Out("land.pdf"), w, h));
  EXPECT_NEAR(w, 842, 1.5);
  EXPECT_NEAR(h, 595, 1.5);
}

TEST_F(Conversion, ScaleRangesAndTagging) {
  std::string five = TestServer::Get().Url("/pages/five.html");
  RunResult whole = Halvern({five, Out("whole.pdf"), "--conversion-delay=0"});
  ASSERT_EQ(whole.status, 0) << whole.out;
  int pages = std::stoi(e2e::PdfInfo(Out("whole.pdf"))["Pages"]);
  EXPECT_GE(pages, 5);
  EXPECT_EQ(e2e::PdfInfo(Out("whole.pdf"))["Tagged"], "no");

  // Half scale halves the printed content, and so the shortened page.
  RunResult half = Halvern({TestServer::Get().Url("/pages/p300.html"), Out("half.pdf"), "--scale=50"});
  ASSERT_EQ(half.status, 0);
  double w = 0, h = 0;
  ASSERT_TRUE(e2e::PageSize(Out("half.pdf"), w, h));
  EXPECT_NEAR(h, 301 * 0.5 * 0.75, 0.5);

  e2e::WriteFile(out.File("ranges.json"), R"({"pageRanges": "2-3", "tagged": true})");
  RunResult ranged = Halvern({five, Out("ranged.pdf"), out.File("ranges.json"), "--conversion-delay=0"});
  ASSERT_EQ(ranged.status, 0) << ranged.out;
  auto info = e2e::PdfInfo(Out("ranged.pdf"));
  EXPECT_EQ(info["Pages"], "2");
  EXPECT_EQ(info["Tagged"], "yes");
  EXPECT_NE(e2e::PdfText(Out("ranged.pdf")).find("Section 2"), std::string::npos);
}

int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

TEST_F(Conversion, FailuresEndWithTheirMessage) {
  struct Case {
    std::string url;
    std::vector<std::string> extra;
    std::string message;
  };
  std::string missing = TestServer::Get().Url("/pages/missing.html");
  std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
  std::vector<Case> cases = {
      {missing, {}, "ERROR: [PdfClient] HTTP error 404 Not Found for URL: " + missing},
      {refused, {}, "ERROR: [PdfClient] Load error -102 (ERR_CONNECTION_REFUSED) for URL: " + refused},
      // Mapped so that no query leaves the machine.
      {"http://nonexistent.invalid/", {"--host-resolver-rules=MAP nonexistent.invalid ~NOTFOUND"},
       "ERROR: [PdfClient] Load error -105 (ERR_NAME_NOT_RESOLVED) for URL: http://nonexistent.invalid/"},
      {TestServer::Get().Url("/never"), {"--navigation-timeout=1500"},
       "ERROR: [PdfClient] Navigation timeout after 1500ms."},
      {TestServer::Get().Url("/hang"), {"--navigation-timeout=1500"},
       "ERROR: [PdfClient] Navigation timeout after 1500ms."},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {c.url, Out()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult r = Halvern(args);
    EXPECT_EQ(r.status, 1) << c.url;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: [main] Conversion failed. Elapsed: "), std::string::npos);
    // The failure is also left for the host in the output JSON.
    std::string json = e2e::ReadFile(out.File("out.json"));
    EXPECT_EQ(json.rfind("{\n  \"error\": \"", 0), 0u) << json;
  }
}

TEST_F(Conversion, SelfReplacingPageRestartsOnTheNewDocument) {
  RunResult r = Halvern({TestServer::Get().Url("/pages/replace.html"), Out(), "--verbose"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("[PdfClient] The document changed under the print pipeline"), std::string::npos) << r.out;
  std::string text = e2e::PdfText(Out());
  EXPECT_NE(text.find("REPLACEMENT DOCUMENT"), std::string::npos) << text;
  EXPECT_EQ(text.find("FIRST DOCUMENT"), std::string::npos);
}

TEST_F(Conversion, HtmlStringFromConfigurationFile) {
  e2e::WriteFile(out.File("cfg.json"),
                 R"({"htmlString": "<html><head></head><body><p>STAGED <img src=\"p.png\"></p></body></html>",
                     "baseUrl": ")" + TestServer::Get().Url("/pages/") + R"(", "conversionDelay": 0})");
  RunResult r = Halvern({out.File("cfg.json"), "", Out()});
  // The empty positional URL keeps the file's (empty) url; the output comes second.
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(e2e::PdfText(Out()).find("STAGED"), std::string::npos);
}

class Signals : public Conversion, public ::testing::WithParamInterface<int> {};

TEST_P(Signals, MidRunSignalLeavesNothingBehind) {
  RunOptions o;
  o.signal = GetParam();
  o.signalAfterMs = 1500;
  o.env["TMPDIR"] = tmp.path();
  const std::vector<std::string> args = {TestServer::Get().Url("/never"), Out(), "--navigation-timeout=0"};
  RunResult r = GetParam() == SIGKILL ? e2e::Run(args, o) : Halvern(args, o);
  EXPECT_NE(r.status, 0);
  EXPECT_LT(r.wallMs, 10000);
  if (GetParam() != SIGKILL) return;
  // A killed run cannot clean up after itself; the next run does as it
  // starts, and a run after that leaves the folders of the live one alone.
  const std::vector<std::string> killed = e2e::RunFolders(tmp.path());
  EXPECT_EQ(killed.size(), 2u);
  o.signal = SIGTERM;
  o.signalAfterMs = 8000;
  std::thread live([&] { e2e::Run(args, o); });
  std::vector<std::string> liveFolders;
  for (int i = 0; i < 200 && liveFolders.empty(); ++i) {
    std::vector<std::string> now = e2e::RunFolders(tmp.path());
    bool swept = std::none_of(now.begin(), now.end(), [&](const std::string& f) {
      return std::find(killed.begin(), killed.end(), f) != killed.end();
    });
    if (now.size() == 2 && swept) liveFolders = now;
    else std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  RunResult next = e2e::Run({TestServer::Get().Html("<p>next</p>"), Out("next.pdf"), "--conversion-delay=0"}, o);
  std::vector<std::string> after = e2e::RunFolders(tmp.path());
  live.join();
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_EQ(liveFolders.size(), 2u);
  EXPECT_EQ(after, liveFolders);
  EXPECT_TRUE(e2e::RunFolders(tmp.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(TermIntAndKill, Signals, ::testing::Values(SIGTERM, SIGINT, SIGKILL));

}  // namespace

namespace {

TEST_F(Conversion, EncryptedConfigurationInDataDirectory) {
  e2e::TempDir data;
  std::string plain = data.File("plain.json");
  e2e::WriteFile(plain, R"({"url": ")" + TestServer::Get().Url("/pages/p300.html") +
                            R"(", "conversionDelay": 0, "buildParseInfo": true})");
  ASSERT_EQ(e2e::RunCommand({HALVERN_PAYLOAD_EXE, "encrypt", plain, data.File("settings.bin")}).status, 0);
  std::remove(plain.c_str());
  RunResult r = Halvern({"--dd=" + data.path(), "--is=settings.bin", "--of=out.pdf", "--os=out.json"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(e2e::PdfInfo(data.File("out.pdf"))["Pages"], "1");
  // The output JSON is encrypted like the settings; the folder survives the run.
  std::string json = e2e::ReadFile(data.File("out.json"));
  EXPECT_EQ(json.find("parseInfo"), std::string::npos);
  ASSERT_EQ(e2e::RunCommand({HALVERN_PAYLOAD_EXE, "decrypt", data.File("out.json"), data.File("out.txt")}).status, 0);
  EXPECT_NE(e2e::ReadFile(data.File("out.txt")).find("\"contentHeight\": 301"), std::string::npos);
  EXPECT_TRUE(e2e::FileExists(data.File("cef.log")));

  // Two runs on one data folder at once: one converts, the other is refused
  // before it touches the profile.
  std::vector<std::string> args = {"--dd=" + data.path(), "--is=settings.bin", "--of=twin.pdf"};
  RunOptions o;
  o.env["TMPDIR"] = tmp.path();
  RunResult twins[2];
  std::thread other([&] { twins[1] = e2e::Run(args, o); });
  twins[0] = e2e::Run(args, o);
  other.join();
  std::sort(std::begin(twins), std::end(twins), [](auto& a, auto& b) { return a.status < b.status; });
  EXPECT_EQ(twins[0].status, 0) << twins[0].out;
  EXPECT_EQ(twins[1].status, 1) << twins[1].out;
  EXPECT_NE(twins[1].out.find("ERROR: [main] CefInitialize failed. Another instance may be running."),
            std::string::npos) << twins[1].out;
  EXPECT_EQ(e2e::PdfInfo(data.File("twin.pdf"))["Pages"], "1");
  RunResult again = Halvern(args);
  EXPECT_EQ(again.status, 0) << again.out;  // the profile is still usable

  // A plain file where an encrypted one is expected is refused before any browser starts.
  e2e::WriteFile(data.File("bad.json"), "{\"url\": \"http://x/\"}");
  r = Halvern({"--dd=" + data.path(), "--is=bad.json", "--of=bad.pdf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: [main] Failed to decrypt config: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("CefInitialize"), std::string::npos);
}

// Pixel colours (rrggbb) of column 0 at the given rows of an 8-bit RGB(A) PNG.
// Only the first pixels of each row are unfiltered: no filter looks right.
std::string PngColours(const std::string& png, const std::vector<int>& rows) {
  static const char kScript[] = R"py(import struct, sys, zlib
d = open(sys.argv[1], 'rb').read(); i = 8; z = b''
while i < len(d):
    n, t = struct.unpack('>I4s', d[i:i + 8])
    if t == b'IHDR': w, h, depth, ct = struct.unpack('>IIBB', d[i + 8:i + 18])
    if t == b'IDAT': z += d[i + 8:i + 8 + n]
    i += 12 + n
bpp = 4 if ct == 6 else 3; stride = w * bpp + 1; raw = zlib.decompress(z); k = bpp * 2
prev, out = bytearray(k), {}
for y in range(h):
    f, line = raw[y * stride], bytearray(raw[y * stride + 1:y * stride + 1 + k])
    for x in range(k):
        a = line[x - bpp] if x >= bpp else 0; b = prev[x]; c = prev[x - bpp] if x >= bpp else 0
        p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        line[x] = (line[x] + [0, a, b, (a + b) // 2, a if pa <= pb and pa <= pc else b if pb <= pc else c][f]) & 255
    out[y] = line; prev = line
print(' '.join('%02x%02x%02x' % tuple(out[int(r)][:3]) for r in sys.argv[2:]))
)py";
  std::vector<std::string> argv = {"python3", "-c", kScript, png};
  for (int r : rows) argv.push_back(std::to_string(r));
  std::string text = e2e::RunCommand(argv).out;
  return text.substr(0, text.find('\n'));
}

TEST_F(Conversion, PngCaptureIsDocumentHeightPlusOne) {
  struct Case {
    std::string url;
    int height;
    std::vector<int> rows;  // checked at top, middle, bottom
    std::string colours;
  };
  const Case cases[] = {
      {TestServer::Get().Url("/pages/p300.html"), 301, {}, ""},
      // Taller than a single texture: still one whole image.
      {TestServer::Get().Html("<body style='margin:0'><div style='height:40000px;background:linear-gradient("
                              "red 0 100px,lime 100px 39900px,blue 39900px)'></div></body>"),
       40001, {0, 20000, 39999}, "ff0000 00ff00 0000ff"},
  };
  for (const Case& c : cases) {
    std::remove(Out("page.png").c_str());
    RunResult r = Halvern({c.url, Out("page.png"), "--output-format=png", "--conversion-delay=0"});
    ASSERT_EQ(r.status, 0) << r.out;
    int w = 0, h = 0;
    ASSERT_TRUE(e2e::PngSize(Out("page.png"), w, h));
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, c.height);
    if (!c.rows.empty()) EXPECT_EQ(PngColours(Out("page.png"), c.rows), c.colours);
  }
}

}  // namespace
