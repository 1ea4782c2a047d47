// End-to-end cases as data: each file under cases/ holds one behaviour's
// rows (what to run, what must come out); this driver runs each file as a
// test of its own (one server start for all its rows), every row through
// the checked run, and compares. Field meanings are in cases/README.md.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "pdfink/pdf_reader.h"
#include "tests/support/e2e_support.h"

namespace {

using Json = nlohmann::ordered_json;

struct CaseFile {
  std::string name, path;
};
void PrintTo(const CaseFile& f, std::ostream* os) { *os << f.name; }

std::vector<CaseFile> CaseFiles() {
  std::vector<CaseFile> files;
  for (const auto& f : std::filesystem::directory_iterator(HVN_E2E_CASES_DIR))
    if (f.path().extension() == ".json") files.push_back({f.path().stem().string(), f.path().string()});
  std::sort(files.begin(), files.end(), [](auto& a, auto& b) { return a.name < b.name; });
  return files;
}

// Run-log milliseconds ("[+N ms]") of the line holding needle, -1 if none.
long LogMs(const std::string& log, const std::string& needle) {
  size_t at = log.find(needle), start = log.rfind('\n', at) + 1;  // npos + 1 is 0
  return at != std::string::npos && log.compare(start, 2, "[+") == 0 ? std::atol(log.c_str() + start + 2) : -1;
}

// Column 0 colours (rrggbb; rrggbbaa when not opaque) at the given rows of an
// 8-bit RGB(A) PNG; only the first pixels of each row are unfiltered, which
// keeps a tall image quick.
std::string PngColours(const std::string& png, const Json& rows) {
  static const char kScript[] = R"py(import struct, sys, zlib
d = open(sys.argv[1], 'rb').read(); i = 8; z = b''
while i < len(d):
    n, t = struct.unpack('>I4s', d[i:i + 8])
    if t == b'IHDR': w, h, depth, ct = struct.unpack('>IIBB', d[i + 8:i + 18])
    if t == b'IDAT': z += d[i + 8:i + 8 + n]
    i += 12 + n
bpp = 4 if ct == 6 else 3; stride = w * bpp + 1; raw = zlib.decompress(z); k = bpp * 2; prev, out = bytearray(k), {}
for y in range(h):
    f, line = raw[y * stride], bytearray(raw[y * stride + 1:y * stride + 1 + k])
    for x in range(k):
        a = line[x - bpp] if x >= bpp else 0; b = prev[x]; c = prev[x - bpp] if x >= bpp else 0
        p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        line[x] = (line[x] + [0, a, b, (a + b) // 2, a if pa <= pb and pa <= pc else b if pb <= pc else c][f]) & 255
    out[y] = line; prev = line
print(' '.join(bytes(out[int(r)][:3 if bpp == 3 or out[int(r)][3] == 255 else 4]).hex() for r in sys.argv[2:]), end='')
)py";
  std::vector<std::string> argv = {"python3", "-c", kScript, png};
  for (const Json& r : rows) argv.push_back(std::to_string(r.get<int>()));
  return e2e::RunCommand(argv).out;
}

// What qpdf says of a finished PDF: its check with the password, outline
// entries as [level, title, page], linearization, encryption, and texts of
// the file decrypted and uncompressed. Returns the decrypted copy that the
// other checks read (our own reader does not decrypt).
std::string CheckFinished(const Json& c, const std::string& output, const std::string& dir) {
  const std::string password = c.value("password", "");
  const std::string pw = "--password=" + password;
  EXPECT_EQ(e2e::RunCommand({"qpdf", "--check", pw, output}).status, 0) << "qpdf --check";
  if (c.contains("password")) {
    EXPECT_NE(e2e::RunCommand({"pdfinfo", output}).status, 0) << "opened without the password";
    EXPECT_EQ(e2e::RunCommand({"pdfinfo", "-upw", password, output}).status, 0) << "not opened with it";
  }
  if (c.contains("encryption")) {
    const std::string shown = e2e::RunCommand({"qpdf", "--show-encryption", pw, output}).out;
    for (const Json& t : c["encryption"]) EXPECT_NE(shown.find(t), std::string::npos) << t << " not in\n" << shown;
  }
  if (c.contains("linearized")) {
    const e2e::RunResult check = e2e::RunCommand({"qpdf", "--check-linearization", pw, output});
    const bool sound = check.status == 0 && check.out.find("no linearization errors") != std::string::npos;
    EXPECT_EQ(sound, c["linearized"].get<bool>()) << check.out;
  }
  if (c.contains("outline")) {
    const Json doc = Json::parse(e2e::RunCommand({"qpdf", "--json", "--json-key=outlines", pw, output}).out, nullptr, false);
    Json got = Json::array();
    std::function<void(const Json&, int)> walk = [&](const Json& list, int level) {
      for (const Json& o : list) {
        got.push_back({level, o.value("title", ""), o.value("destpageposfrom1", 0)});
        walk(o.value("kids", Json::array()), level + 1);
      }
    };
    walk(doc.value("outlines", Json::array()), 1);
    EXPECT_EQ(got, c["outline"]);
  }
  const std::string plain = dir + "/plain.pdf";
  EXPECT_EQ(e2e::RunCommand({"qpdf", "--qdf", "--object-streams=disable", "--decrypt", pw, output, plain}).status, 0);
  const std::string text = e2e::ReadFile(plain);
  for (const Json& t : c.value("plain", Json::array())) EXPECT_NE(text.find(t), std::string::npos) << t << " not in the file";
  return plain;
}

// Page sizes and link annotations (page, edges in points from the page's
// top left, URI), read back with our own reader.
void ReadLayout(const std::string& pdf, std::vector<std::pair<double, double>>& sizes, Json& links) {
  pdfink::Document doc;
  if (std::string error; !doc.open(pdf, error)) return;
  for (const pdfink::ObjPtr& page : doc.pages()) {
    auto n = [&](const std::vector<pdfink::ObjPtr>& v, size_t i) { return i < v.size() ? doc.number(v[i], 0) : 0; };
    const auto box = doc.inherited(page, "MediaBox")->items;
    sizes.push_back({n(box, 2) - n(box, 0), n(box, 3) - n(box, 1)});
    for (const pdfink::ObjPtr& ref : doc.resolve(doc.get(page, "Annots"))->items) {
      const pdfink::ObjPtr a = doc.resolve(ref);
      const auto r = doc.resolve(doc.get(a, "Rect"))->items;
      if (!doc.get(a, "Subtype")->isName("Link") || r.size() != 4) continue;
      links.push_back({{"uri", doc.resolve(doc.get(doc.resolve(doc.get(a, "A")), "URI"))->text}, {"page", sizes.size()},
                       {"top", n(box, 3) - std::max(n(r, 1), n(r, 3))}, {"bottom", n(box, 3) - std::min(n(r, 1), n(r, 3))},
                       {"left", std::min(n(r, 0), n(r, 2))}, {"right", std::max(n(r, 0), n(r, 2))}});
    }
  }
}

// Characters drawn with their font's missing glyph (glyph 0), and in `shown`
// all characters drawn. The browser writes two-byte glyph ids under
// Identity-H, and names a Type3 font's glyphs /g<hex id>.
int MissingGlyphs(const std::string& pdf, int& shown) {
  using pdfink::ObjPtr;
  pdfink::Document doc;
  int missing = shown = 0;
  if (std::string error; !doc.open(pdf, error)) return -1;
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

// A row's run made ready in dir: the case with its names filled in, the
// configuration file written, the output folder and the row's files made.
struct Prepared {
  Json c;
  std::string output;
  std::vector<std::string> argv;
};

Prepared Prepare(const Json& row, const e2e::TempDir& dir, const e2e::TestServer& server) {
  Prepared p;
  p.output = dir.File(row.value("output", "out.pdf"));
  const std::string config = dir.File("config.json");
  p.c = e2e::Fill(row, {{"{url}", server.Url("")}, {"{pages}", e2e::PagesDir()}, {"{dir}", dir.path()},
                        {"{out}", p.output}, {"{config}", config}});
  const Json& c = p.c;
  Json settings = c.value("settings", Json::object());
  if (c.contains("page")) settings["url"] = server.Url("/pages/" + c["page"].get<std::string>());
  if (c.contains("html")) settings["url"] = server.Html(c["html"]);
  if (!settings.contains("conversionDelay")) settings["conversionDelay"] = 0;
  e2e::StretchDefaultTimeout(settings);
  if (!c.contains("argv")) settings.update({{"output", p.output}, {"outputJsonFile", dir.File("out.json")}});
  p.argv = c.value("argv", std::vector<std::string>{config});
  const Json args = c.value("args", Json::array());
  for (const Json& a : args) p.argv.push_back(a);
  e2e::WriteFile(config, settings.dump());
  std::filesystem::create_directories(std::filesystem::path(p.output).parent_path());
  if (c.contains("earlier")) e2e::WriteFile(p.output, c["earlier"]);
  if (c.contains("link")) std::filesystem::create_symlink(c["link"].get<std::string>(), p.output);
  const Json existing = c.value("existing", Json::object());
  for (const auto& [name, file] : existing.items()) {  // [text, octal mode]
    e2e::WriteFile(dir.File(name), file[0]);
    chmod(dir.File(name).c_str(), std::stoi(file[1].get<std::string>(), nullptr, 8));
  }
  return p;
}

// Text of a run with the case folder, times and run folders named alike.
std::string Plain(std::string s, const std::string& dir) {
  for (size_t at = 0; (at = s.find(dir, at)) != std::string::npos;) s.replace(at, dir.size(), "{dir}");
  s = std::regex_replace(s, std::regex("^\\[\\+\\d+ms\\] "), "");
  s = std::regex_replace(s, std::regex("\\b\\d+(\\.\\d+)? ?ms\\b"), "N ms");  // times measured
  return std::regex_replace(s, std::regex("/cef_cache_[0-9A-F-]{36}/"), "/cef_cache_*/");
}

// What a batch job must share with the same row run alone: status, the log
// lines a quiet run prints (error lines and the result; the progress lines
// of a verbose run follow the page's own timing), output JSON, and the
// output's pages and text.
Json Outcome(int status, const std::vector<std::string>& logLines, const std::string& dir, const std::string& output) {
  auto plain = [&](const std::string& s) { return Plain(s, dir); };
  static const std::regex kQuiet("^(ERROR: |\\[main\\] Conversion completed)");
  Json log = Json::array();
  for (const std::string& line : logLines)
    if (std::string l = plain(line); std::regex_search(l, kQuiet)) log.push_back(l);
  const std::string jsonText = plain(e2e::ReadFile(std::filesystem::path(output).parent_path() / "out.json"));
  Json json = Json::parse(jsonText, nullptr, false);
  if (json.is_discarded()) json = nullptr;  // none written, or not JSON: both runs alike
  Json o = {{"status", status}, {"log", log}, {"json", json}};
  std::error_code ec;  // a device or a link target is the row's own business
  const std::string file = std::filesystem::is_regular_file(std::filesystem::symlink_status(output, ec))
                               ? e2e::ReadFile(output) : std::string();
  if (status == 0 && file.starts_with("%PDF"))
    o["pdf"] = {e2e::PdfInfo(output)["Pages"], plain(e2e::PdfText(output))};
  else if (status == 0)
    o["size"] = file.size();
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The ink-measure mode's line for the printed file: these values, and the
// very line of the native build when the program under test is another one
// (another architecture's, through $HALVERN_EXE).
void CheckInkMeasure(const std::string& pdf, const Json& want) {
  const std::string line = e2e::Run({"--ink-measure=" + pdf}).out;
  const Json got = Json::parse(line, nullptr, false);
  ASSERT_TRUE(got.is_object()) << "not one JSON line: " << line;
  for (const auto& [key, value] : want.items())
    if (value.is_array()) EXPECT_NEAR(got.value(key, -1e9), value[0].get<double>(), value[1].get<double>()) << key << " " << line;
    else EXPECT_EQ(got.value(key, Json()), value) << key << " " << line;
  if (e2e::HalvernExe() != HALVERN_EXE)
    EXPECT_EQ(line, e2e::RunCommand({HALVERN_EXE, "--ink-measure=" + pdf}).out) << "differs from the native build's";
}

// Runs the row alone and checks it; returns what a batch run must match.
Json RunCase(const Json& row) {
  SCOPED_TRACE(row["name"].get<std::string>());
  e2e::TempDir tmp, dir;
  e2e::TestServer& server = e2e::TestServer::Get();
  server.Reset();
  const Prepared p = Prepare(row, dir, server);
  const Json& c = p.c;
  const std::string& output = p.output;
  const std::vector<std::string>& argv = p.argv;
  static const Json kNone = Json::object();
  auto at = [&](const char* key) -> const Json& { return c.contains(key) ? c[key] : kNone; };
  // A folder that takes no new name: root ignores permissions, not the
  // immutable flag (whose files stay writable).
  auto lockFolder = [&](bool on) {
    return geteuid() ? chmod(dir.path().c_str(), on ? 0555 : 0755)
                     : e2e::RunCommand({"chattr", on ? "+i" : "-i", dir.path()}).status;
  };
  const bool lock = c.value("lockFolder", false);
  if (lock) EXPECT_EQ(lockFolder(true), 0);
  const mode_t umaskBefore = umask(0);
  umask(c.contains("umask") ? std::stoi(c["umask"].get<std::string>(), nullptr, 8) : umaskBefore);

  std::thread remover([&] {  // the output folder goes while the page loads
    std::this_thread::sleep_for(std::chrono::milliseconds(c.value("goneAfterMs", 0)));
    if (c.contains("goneAfterMs")) std::filesystem::remove_all(std::filesystem::path(output).parent_path());
  });
  const Json signal = c.value("signal", Json::array({0, 0}));  // [number, after ms]
  const std::filesystem::path launchedFrom = std::filesystem::current_path();
  if (c.value("fromFolder", false)) std::filesystem::current_path(dir.path());
  const e2e::RunResult r = e2e::RunChecked(tmp.path(), argv, {.signalAfterMs = signal[1], .signal = signal[0]});
  std::filesystem::current_path(launchedFrom);
  remover.join();
  umask(umaskBefore);
  if (lock) EXPECT_EQ(lockFolder(false), 0);
  for (const auto& [name, want] : at("modes").items()) {
    struct stat st {};
    EXPECT_EQ(stat(dir.File(name).c_str(), &st), 0) << name;
    EXPECT_EQ(static_cast<int>(st.st_mode & 07777), std::stoi(want.get<std::string>(), nullptr, 8)) << name;
  }
  EXPECT_EQ(r.status, c.value("status", 0)) << r.out;
  if (c.contains("withinMs")) EXPECT_LT(r.wallMs, c["withinMs"].get<long>());
  for (const auto& f : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(f.path().filename().string().find(".hvn-"), std::string::npos) << "partial output left";
  // Substrings that must be in (or not in) a text.
  auto has = [&](const std::string& text, const char* present, const char* absent) {
    for (const Json& t : at(present)) EXPECT_NE(text.find(t), std::string::npos) << t << " not in\n" << text;
    for (const Json& t : at(absent)) EXPECT_EQ(text.find(t), std::string::npos) << t << " in\n" << text;
  };
  has(r.out, "log", "logAbsent");
  for (const auto& [name, want] : at("fileHas").items())
    for (const Json& t : want) EXPECT_NE(e2e::ReadFile(dir.File(name)).find(t), std::string::npos) << t << " not in " << name;
  for (const Json& re : at("logMatch")) EXPECT_TRUE(std::regex_search(r.out, std::regex(re.get<std::string>()))) << re;
  const std::string jsonText = e2e::ReadFile(dir.File("out.json"));
  const Json out = Json::parse(jsonText, nullptr, false);
  has(jsonText, "jsonHas", "jsonAbsent");
  if (c.contains("error")) {
    EXPECT_NE(r.out.find("ERROR: [PdfClient] " + c["error"].get<std::string>() + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: [main] Conversion failed. Elapsed: "), std::string::npos);
    EXPECT_EQ(jsonText.rfind("{\n  \"error\": \"", 0), 0u) << jsonText;
    EXPECT_EQ(out.value("error", ""), c["error"]);
    if (c.contains("errorWithinMs")) EXPECT_LE(LogMs(r.out, "ERROR: [PdfClient]"), c["errorWithinMs"].get<long>());
  }
  if (c.contains("earlier")) EXPECT_EQ(e2e::ReadFile(output), c["earlier"].get<std::string>());
  else if (r.status != 0 && !c.contains("link")) EXPECT_FALSE(e2e::FileExists(output)) << "output after a failure";
  for (const auto& [pointer, want] : at("json").items())
    EXPECT_EQ(out.value(Json::json_pointer(pointer), Json()), want) << pointer << "\n" << jsonText;
  for (const auto& [pointer, want] : at("jsonNear").items())
    EXPECT_NEAR(out.value(Json::json_pointer(pointer), -1e9), want[0].get<double>(), want[1].get<double>()) << pointer;
  for (const auto& [path, n] : at("requests").items()) EXPECT_EQ(server.CountRequests(path), n.get<int>()) << path;
  const Json outcome = Outcome(r.status, Lines(r.out), dir.path(), output);
  if (r.status != 0 || !e2e::FileExists(output) || c.contains("link")) return outcome;
  if (c.contains("inkMeasure")) CheckInkMeasure(output, c["inkMeasure"]);

  if (e2e::ReadFile(output).starts_with("\x89PNG")) {  // by content: the name may say otherwise
    const e2e::RunResult check = e2e::RunCommand({"pngcheck", output});
    std::smatch size;
    EXPECT_TRUE(check.status == 0 && std::regex_search(check.out, size, std::regex("\\((\\d+)x(\\d+),"))) << check.out;
    if (size.empty()) return outcome;
    if (c.contains("png")) EXPECT_EQ(Json({std::stoi(size[1]), std::stoi(size[2])}), c["png"]);
    if (c.contains("pngColours")) EXPECT_EQ(PngColours(output, c["pngColours"][0]), c["pngColours"][1]);
    return outcome;
  }
  std::string pdf = output;
  if (c.contains("password") || c.contains("plain") || c.contains("outline") || c.contains("linearized"))
    pdf = CheckFinished(c, output, tmp.path());
  EXPECT_TRUE(e2e::QpdfCheck(pdf));
  has(e2e::PdfText(pdf), "text", "textAbsent");
  if (c.contains("fonts")) has(e2e::RunCommand({"pdffonts", pdf}).out, "fonts", "fontsAbsent");
  if (c.contains("missingGlyphs")) {
    int shown = 0;
    EXPECT_EQ(MissingGlyphs(pdf, shown), c["missingGlyphs"][0].get<int>());
    EXPECT_GT(shown, c["missingGlyphs"][1].get<int>());
  }
  for (auto info = e2e::PdfInfo(pdf); const auto& [field, want] : at("info").items()) EXPECT_EQ(info[field], want) << field;
  if (const std::string list = c.contains("images") ? e2e::RunCommand({"pdfimages", "-list", pdf}).out : ""; !list.empty())
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n') - 2, c["images"].get<int>()) << list;
  std::vector<std::pair<double, double>> sizes;
  Json links = Json::array();
  ReadLayout(pdf, sizes, links);
  for (int i = 0; c.contains("pageSize") && i < 2; ++i)
    EXPECT_NEAR(i ? sizes.at(0).second : sizes.at(0).first, c["pageSize"][i].get<double>(), 0.5) << "page size";
  // Links whose URI starts with the prefix: exactly these, at these edges.
  for (const auto& [prefix, want] : at("links").items()) {
    Json got = Json::array();
    std::copy_if(links.begin(), links.end(), std::back_inserter(got), [&](const Json& l) { return l["uri"].get<std::string>().starts_with(prefix); });
    EXPECT_EQ(got.size(), want.size()) << prefix << "\n" << links.dump(1);
    for (const Json& w : want) {
      auto l = std::find_if(got.begin(), got.end(), [&](const Json& l) { return l["uri"] == prefix + w["uri"].get<std::string>(); });
      EXPECT_NE(l, got.end()) << w["uri"] << "\n" << got.dump(1);
      if (l == got.end()) continue;
      EXPECT_EQ((*l)["page"], w.value("page", 1)) << w["uri"];
      for (const char* edge : {"top", "bottom", "left", "right"})
        if (w.contains(edge)) EXPECT_NEAR((*l)[edge].get<double>(), w[edge][0].get<double>(), w[edge][1].get<double>()) << edge;
    }
  }
  return outcome;
}

class E2e : public ::testing::TestWithParam<CaseFile> {};

// The rows that need no process of their own, all in one batch, two at a
// time: each job must end as the same row run alone.
void RunAsBatch(const Json& rows, const std::map<std::string, Json>& alone) {
  e2e::TempDir tmp, inputDir;
  e2e::TestServer& server = e2e::TestServer::Get();
  server.Reset();
  std::vector<std::unique_ptr<e2e::TempDir>> dirs;
  std::map<std::string, std::string> folders, outputs;
  std::string input;
  for (const Json& row : rows) {
    const std::string name = row["name"];
    if (row.value("single", false)) continue;
    dirs.push_back(std::make_unique<e2e::TempDir>());
    const Prepared p = Prepare(row, *dirs.back(), server);
    folders[name] = dirs.back()->path();
    outputs[name] = p.output;
    input += Json({{"id", name}, {"args", p.argv}}).dump() + "\n";
  }
  if (input.empty()) return;
  e2e::WriteFile(inputDir.File("jobs"), input);
  const e2e::RunResult r = e2e::RunChecked(tmp.path(), {"--batch", "--workers=2"}, {.stdinFile = inputDir.File("jobs")});
  EXPECT_EQ(r.status, 0) << r.out;
  std::set<std::string> answered;
  for (const std::string& line : Lines(r.out)) {
    const Json job = Json::parse(line, nullptr, false);
    const std::string name = job.value("id", "");
    SCOPED_TRACE(name + " in the batch");
    if (!folders.count(name) || !answered.insert(name).second) {
      ADD_FAILURE() << "unexpected line " << line;
      continue;
    }
    const Json got = Outcome(job.value("status", -1), job.value("log", std::vector<std::string>{}), folders[name],
                             outputs[name]);
    for (const auto& [key, value] : alone.at(name).items()) EXPECT_EQ(got.value(key, Json()).dump(1), value.dump(1)) << key;
    if (const Json& json = alone.at(name)["json"]; json.is_object()) EXPECT_EQ(Plain(job.value("error", "?"), folders[name]), json.value("error", "")) << line;
  }
  EXPECT_EQ(answered.size(), folders.size()) << r.out;
}

// $HVN_E2E_ROWS, when set, names the rows to run (comma-separated) alone; a
// file without any of them is skipped. Otherwise every row runs alone, then
// the file's rows run again as one batch.
TEST_P(E2e, Rows) {
  Json rows = Json::parse(e2e::ReadFile(GetParam().path));
  if (!rows.empty() && rows[0].contains("defaults")) {  // what every row of the file starts from
    const Json defaults = rows[0]["defaults"];
    rows.erase(0);
    for (Json& row : rows) {
      Json merged = defaults;
      merged.update(row, true);  // objects such as settings merge key by key
      row = std::move(merged);
    }
  }
  const char* only = std::getenv("HVN_E2E_ROWS");
  const std::string chosen = "," + std::string(only ? only : "") + ",";
  std::map<std::string, Json> alone;
  for (const Json& row : rows)
    if (!only || chosen.find("," + row["name"].get<std::string>() + ",") != std::string::npos)
      alone[row["name"]] = RunCase(row);
  if (alone.empty()) GTEST_SKIP() << "none of its rows chosen";
  if (!only) RunAsBatch(rows, alone);
}

// Numbered, with the name printed: ctest lists each file by its name.
INSTANTIATE_TEST_SUITE_P(Cases, E2e, ::testing::ValuesIn(CaseFiles()));

}  // namespace
