#include "pdfink/pdf_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

#include "pdf_fixtures.h"
#include "pdfink/ink_measure.h"

namespace {

using namespace pdfink_test;
using pdfink::Document;
using pdfink::ObjPtr;

ObjPtr parse(const std::string& text, bool value = true) {
  std::size_t pos = 0;
  auto* buf = reinterpret_cast<const std::uint8_t*>(text.data());
  return value ? pdfink::parseValue(buf, text.size(), pos) : pdfink::parseObject(buf, text.size(), pos);
}

// A parsed value written back in one canonical form.
std::string dump(const ObjPtr& o) {
  if (!o) return "none";
  std::ostringstream s;
  switch (o->kind) {
    case pdfink::kNull: return "null";
    case pdfink::kBoolean: return o->boolean ? "true" : "false";
    case pdfink::kNumber: s << o->number; return s.str();
    case pdfink::kString: return "(" + o->text + ")";
    case pdfink::kName: return "/" + o->text;
    case pdfink::kReference: return std::to_string(o->objectNumber) + "R";
    case pdfink::kArray:
      for (const auto& item : o->items) s << " " << dump(item);
      return "[" + s.str() + " ]";
    case pdfink::kDictionary:
      for (const auto& [key, value] : o->entries) s << " /" << key << " " << dump(value);
      return "<<" + s.str() + " >>";
    default: return o->text;
  }
}

bool openText(Document& doc, const std::string& pdf, std::string& error) {
  return doc.openBytes({pdf.begin(), pdf.end()}, error);
}

TEST(Parser, Values) {
  const std::pair<std::string, std::string> cases[] = {
      {"/A#20B", "/A B"},
      {"/A#2", "/A#2"},
      {"(a\\053b\\0c\\777)", std::string("(a+b\0c\xff)", 8)},
      {"(a(b)c\\)d)", "(a(b)c)d)"},
      {"(l1\\\r\nl2\\\nl3\\\rl4)", "(l1l2l3l4)"},
      {"(\\n\\r\\t\\b\\f\\q)", "(\n\r\t\b\fq)"},
      {"(unterminated", "(unterminated)"},
      {"<4142 3>", "(AB0)"},
      {"<6a6B zz>", "(jk)"},
      {"-.5", "-0.5"},
      {"+12.5abc", "12.5"},
      {"% comment\n ) ] } 7", "7"},
      {"   % only a comment", "none"},
      {"Tj", "Tj"},
      {"true", "true"},
      {"null", "null"},
      {"12 0 R", "12R"},
      // A repeated key replaces, a non-name key is dropped, "-1 0 R" is no reference.
      {"<< /A 1 0 R /B [1 2 R 3 -1 0 R] /A 5 7 /C << /D (x) >> >>", "<< /A 5 /B [ 1R 3 -1 0 R ] /C << /D (x) >> >>"},
      {"<< /A [1 2", "<< /A [ 1 2 ] >>"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(dump(parse(input)), expected) << input;
  EXPECT_EQ(dump(parse("12 0 R", false)), "12");
}

TEST(Parser, LookAheadAndNestingLimit) {
  // The reference look-ahead gives the second number back, and nesting
  // past the limit becomes null without losing what follows. A number
  // before each array level once cost a look-ahead parse per level.
  std::string text = "4 5 obj 1 ";
  for (int i = 0; i < 70; ++i) text += "[1 ";
  text += std::string(70, ']') + " 9";
  std::size_t pos = 0;
  auto next = [&] { return dump(pdfink::parseValue(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), pos)); };
  std::string first = next(), second = next(), third = next();
  EXPECT_EQ(first + second + third + next(), "45obj1");
  std::string nested;
  for (int i = 0; i < 64; ++i) nested += "[ 1 ";
  nested += "[ null null";
  for (int i = 0; i < 65; ++i) nested += " ]";
  EXPECT_EQ(next(), nested);
  EXPECT_EQ(next(), "9");
}

TEST(Document, OpenAndPageTree) {
  const std::string cat = "<< /Type /Catalog /Pages 2 0 R >>", page = "<< /Type /Page /Parent 2 0 R >>";
  auto tree = [](const std::string& count, const std::string& kids) {
    return "<< /Type /Pages /Kids [" + kids + "] /Count " + count + " >>";
  };
  auto edit = [](std::string pdf, const std::string& from, const std::string& to) {
    return pdf.replace(pdf.rfind(from), from.size(), to);
  };
  struct Case {
    const char* name;
    std::string pdf, error;
    std::size_t pages;
  };
  const std::vector<std::string> four = {cat, tree("2", "3 0 R 4 0 R"), page, page};
  // Object streams the repair scan cannot see: only the index leads there.
  auto hidden = [](std::string pdf) {
    for (std::size_t at; (at = pdf.find("/ObjStm")) != std::string::npos;) pdf[at + 6] = 'M';
    return pdf;
  };
  const Case cases[] = {
      {"plain", buildPdf(four), "", 2},
      {"object stream", hidden(packedPdf(four, {{{1, 2, 3}}})), "", 2},
      {"two object streams, hybrid", hidden(packedPdf(four, {{{1, 2}}, {{3, 4}}}, "", true)), "", 2},
      {"wrong /W, found by the scan", packedPdf(four, {{{1, 2, 3}}}, "/W [1 2 4]"), "", 2},
      {"cut /Prev", packedPdf(four, {{{1, 2, 3}}}, "/Prev 9"), "", 2},
      {"/N says more", hidden(packedPdf(four, {{{1, 2, 3}, "/N 99"}})), "", 2},
      {"/N says fewer", packedPdf(four, {{{1, 2, 3}, "/N 2"}}), "", 1},
      {"/First past the data", packedPdf(four, {{{1, 2, 3}, "/First 999"}}), "no catalog", 0},
      {"found through /Extends", hidden(packedPdf(four, {{{1, 2, 3, 4}}, {{4}, "/Extends 5 0 R", "9 0"}})), "", 2},
      {"loop in /Extends", packedPdf(four, {{{1, 2, 3}}, {{4}, "/Extends 6 0 R", "9 0"}}), "", 1},
      {"kids repeat a page", buildPdf({cat, tree("2", "3 0 R 3 0 R"), page}), "", 1},
      {"kids loop back", buildPdf({cat, tree("2", "3 0 R 2 0 R"), page}), "", 1},
      {"kids behind a reference loop", buildPdf({cat, "<< /Type /Pages /Kids 3 0 R >>", "4 0 R", "3 0 R"}), "", 0},
      {"kids behind a self reference", buildPdf({cat, "<< /Type /Pages /Kids 3 0 R >>", "3 0 R"}), "", 0},
      {"leaf without Type", buildPdf({cat, tree("1", "3 0 R"), "<< >>"}), "", 1},
      {"empty Pages node", buildPdf({cat, tree("0", "3 0 R"), "<< /Type /Pages >>"}), "", 0},
      {"missing xref keyword", edit(buildPdf({cat, tree("1", "3 0 R"), page}), "\nxref", "\nxxxx"), "", 1},
      {"root is not a dictionary", buildPdf({"42", tree("1", "3 0 R"), page}), "no catalog", 0},
      {"no Root, catalog found by Type", edit(buildPdf({tree("1", "3 0 R"), cat, page}), "/Root 1 0 R", ""), "", 1},
      {"no Root and no catalog", edit(buildPdf({tree("1", "2 0 R"), page}), "/Root 1 0 R", ""),
       "no cross-reference table and no objects found", 0},
      {"not a PDF", "%PDX-1.4 hello world and more", "not a PDF", 0},
      {"too short", "%PDF-1.4\n", "not a PDF", 0},
  };
  for (const auto& c : cases) {
    Document doc;
    std::string error;
    EXPECT_EQ(openText(doc, c.pdf, error), c.error.empty()) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (c.error.empty()) EXPECT_EQ(doc.pages().size(), c.pages) << c.name;
  }
}

TEST(Document, StreamLengthAndFilters) {
  const std::string data = "0 0 1 rg 10 10 50 50 re f", packed = zlibCompress(data),
                    twice = zlibCompress(packed);
  // Rows of none, Up, Sub, Average and Paeth.
  const std::string png("\0abc\2\0\0\1\1x\1\1\3\0\0\0\4\1\1\1", 20);
  auto stream = [](const std::string& body, const std::string& dict) {
    return "<< /Length " + std::to_string(body.size()) + " " + dict + " >>\nstream\n" + body + "\nendstream";
  };
  struct Case {
    const char* name;
    std::string object;
    bool ok;
    std::string decoded;
  };
  const Case cases[] = {
      {"plain", stream(data, ""), true, data},
      {"flate", stream(packed, "/Filter /FlateDecode"), true, data},
      {"Length too long", "<< /Length 999 >>\nstream\n" + data + "  \r\nendstream", true, data},
      {"Length zero", "<< /Length 0 >>\nstream\r\n" + data + "\nendstream", true, data},
      {"Length indirect", "<< /Length 5 0 R >>\nstream\n" + data + "\nendstream", true, data},
      {"Length short of endstream", "<< /Length 5 >>\nstream\n" + data + "\nendstream", true, data},
      {"Fl abbreviation", stream(packed, "/Filter /Fl"), true, data},
      {"two FlateDecode", stream(twice, "/Filter [/FlateDecode /FlateDecode]"), true, data},
      {"PNG rows of every type", stream(zlibCompress(png), "/Filter /Fl /DecodeParms << /Predictor 12 /Columns 3 >>"),
       true, "abcabdxyz<Zj=[k"},
      {"TIFF differences", stream(zlibCompress("a\1\1x\1\1"), "/Filter /Fl /DecodeParms << /Predictor 2 /Columns 3 >>"),
       true, "abcxyz"},
      {"PNG parameters per filter", stream(zlibCompress(zlibCompress(png)), "/Filter [/Fl /Fl] /DecodeParms [null"
                                                                          " << /Predictor 15 /Columns 3 >>]"),
       true, "abcabdxyz<Zj=[k"},
      {"TIFF of 16-bit values", stream(packed, "/Filter /Fl /DecodeParms << /Predictor 2 /BitsPerComponent 16 >>"),
       false, ""},
      {"Predictor 5", stream(packed, "/Filter /FlateDecode /DecodeParms << /Predictor 5 >>"), false, ""},
      {"other filter", stream(data, "/Filter /LZWDecode"), false, ""},
      {"flate then other", stream(packed, "/Filter [/FlateDecode /DCTDecode]"), false, ""},
      {"corrupt flate keeps nothing", stream("abcd", "/Filter /FlateDecode"), true, ""},
  };
  for (const auto& c : cases) {
    Document doc;
    std::string error;
    ASSERT_TRUE(openText(doc, buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] >>",
                                        c.object, "<< >>", std::to_string(data.size())}),
                         error))
        << c.name << ": " << error;
    ObjPtr stream = doc.resolve(parse("3 0 R"));
    ASSERT_EQ(stream->kind, pdfink::kStream) << c.name;
    std::vector<std::uint8_t> out;
    EXPECT_EQ(doc.decodeStream(stream, out), c.ok) << c.name;
    if (c.ok) EXPECT_EQ(std::string(out.begin(), out.end()), c.decoded) << c.name;
  }
}

// Page MediaBoxes of a browser or qpdf file as pdfinfo reports them, in
// the number qpdf counts.
std::vector<std::array<double, 4>> referenceBoxes(const std::string& path) {
  std::vector<std::array<double, 4>> boxes;
  std::string info = run("pdfinfo -box -f 1 -l 100000 '" + path + "' 2>/dev/null");
  std::regex line(R"(Page\s+\d+ MediaBox:\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+))");
  for (std::sregex_iterator it(info.begin(), info.end(), line), end; it != end; ++it)
    boxes.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4])});
  EXPECT_EQ(run("qpdf --show-npages '" + path + "' 2>/dev/null"), std::to_string(boxes.size()) + "\n");
  return boxes;
}

std::size_t startxref(const std::string& pdf) { return std::stoul(pdf.substr(pdf.rfind("startxref") + 10)); }

class RealFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!toolAvailable("qpdf") || !toolAvailable("pdfinfo")) GTEST_SKIP() << "qpdf/pdfinfo missing";
    std::string html = "<html><body style='margin:0;font:16px sans-serif'>";
    for (int i = 1; i <= 4; ++i)
      html += "<div style='height:1000px;border-top:4px solid #345'>Section " + std::to_string(i) + "</div>";
    sample_ = browserPdf("sample", html + "<p>Closing words</p><div style='width:200px;height:40px;"
                                          "background:#c33'></div></body></html>");
    if (sample_.empty()) GTEST_SKIP() << "browser unavailable";
  }

  std::string withQpdf(const std::string& name, const std::string& args) {
    std::string out = dir_.file(name + ".pdf");
    int status = 0;
    run("qpdf " + args + " '" + sample_ + "' '" + out + "' 2>&1", &status);
    EXPECT_TRUE(status == 0 || status == 3) << name;
    return out;
  }

  std::string edited(const std::string& name, const std::string& from,
                     const std::function<void(std::string&)>& edit) {
    std::string pdf = readFile(from), out = dir_.file(name + ".pdf");
    edit(pdf);
    writeFile(out, pdf);
    return out;
  }

  // Appends an update with its own xref that gives page 2 a new MediaBox.
  std::string incrementalUpdate(const std::string& base, const std::string& name) {
    std::smatch page, root, size;
    std::string pages = run("qpdf --show-pages '" + base + "'");
    std::string trailer = run("qpdf --show-object=trailer '" + base + "'");
    EXPECT_TRUE(std::regex_search(pages, page, std::regex(R"(page 2: (\d+) 0 R)")) &&
                std::regex_search(trailer, root, std::regex(R"(/Root (\d+ \d+ R))")) &&
                std::regex_search(trailer, size, std::regex(R"(/Size (\d+))")));
    std::string dict = std::regex_replace(run("qpdf --show-object=" + page[1].str() + " '" + base + "'"),
                                          std::regex(R"(/MediaBox \[[^\]]*\])"), "/MediaBox [ 0 0 500 700 ]");
    return edited(name, base, [&](std::string& pdf) {
      std::size_t prev = startxref(pdf);
      if (pdf.back() != '\n') pdf += '\n';
      char entry[32];
      std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
      pdf += page[1].str() + " 0 obj\n" + dict + "\nendobj\n";
      std::size_t xref = pdf.size();
      pdf += "xref\n" + page[1].str() + " 1\n" + entry + "trailer\n<< /Size " + size[1].str() + " /Root " +
             root[1].str() + " /Prev " + std::to_string(prev) + " >>\nstartxref\n" + std::to_string(xref) +
             "\n%%EOF\n";
    });
  }

  std::string sample_;
  TempDir dir_;
};

TEST_F(RealFiles, PagesAndMediaBoxesMatchTheReferenceTools) {
  auto wrongStartxref = [](std::string& p) { p.replace(p.rfind("startxref") + 10, 2, "17"); };
  const std::string incremental = incrementalUpdate(sample_, "incremental"),
                    packed = withQpdf("objstm", "--object-streams=generate"),
                    packedUpdate = incrementalUpdate(packed, "objstm-incremental");
  ASSERT_EQ(referenceBoxes(sample_).size(), 5u);
  ASSERT_EQ(referenceBoxes(incremental).at(1)[3], 700);  // the update took effect
  pdfink::InkResult classic;
  ASSERT_TRUE(pdfink::measureInkGuarded(sample_, pdfink::commandModeOptions(), classic));
  // Damaged copies are compared with what the tools see in the intact file.
  const std::pair<std::string, std::string> variants[] = {
      {packed, sample_},
      {withQpdf("objstm-level9", "--object-streams=generate --recompress-flate --compression-level=9"), sample_},
      {withQpdf("objstm-linearized", "--object-streams=generate --linearize"), sample_},
      {packedUpdate, incremental},
      {edited("objstm-cut-prev", packedUpdate, [](std::string& p) { p.insert(p.rfind("/Prev ") + 6, "99"); }),
       incremental},
      {edited("objstm-wrong-startxref", packed, wrongStartxref), sample_},
      {sample_, sample_},
      {withQpdf("qdf", "--qdf"), ""},
      {withQpdf("linearized", "--linearize"), ""},
      {incremental, incremental},
      {edited("wrong-startxref", sample_, wrongStartxref), sample_},
      {edited("incremental-wrong-startxref", incremental, wrongStartxref), incremental},
      {edited("missing-xref", sample_, [](std::string& p) { p.replace(startxref(p), 4, "xxxx"); }), sample_},
      {edited("truncated", sample_, [](std::string& p) { p.resize(p.rfind("\nxref")); }), sample_},
  };
  for (const auto& [path, intact] : variants) {
    SCOPED_TRACE(path);
    Document doc;
    std::string error;
    ASSERT_TRUE(doc.open(path, error)) << error;
    auto ref = referenceBoxes(intact.empty() ? path : intact);
    ASSERT_EQ(doc.pages().size(), ref.size());
    for (std::size_t i = 0; i < ref.size(); ++i) {
      ObjPtr box = doc.inherited(doc.pages()[i], "MediaBox");
      ASSERT_EQ(box->items.size(), 4u) << "page " << i + 1;
      for (int k = 0; k < 4; ++k) EXPECT_NEAR(doc.number(box->items[k], 0), ref[i][k], 0.01) << "page " << i + 1;
    }
    pdfink::InkResult result;
    EXPECT_TRUE(pdfink::measureInkGuarded(path, pdfink::commandModeOptions(), result));
    EXPECT_EQ(result.lastPage, 5);
    EXPECT_TRUE(result.records.at(0).readable);
    EXPECT_EQ(result.inkEnd, classic.inkEnd);
    EXPECT_EQ(result.inkEndText, classic.inkEndText);
    EXPECT_EQ(result.inkEndGeom, classic.inkEndGeom);
  }
}

TEST_F(RealFiles, TruncatedAnywhereNeverCrashes) {
  for (const std::string& pdf : {readFile(sample_), readFile(withQpdf("objstm", "--object-streams=generate"))}) {
    for (std::size_t keep = 16; keep < pdf.size(); keep += pdf.size() / 37 + 1) {
      pdfink::InkResult result;
      if (!pdfink::measureInkBytes({pdf.begin(), pdf.begin() + keep}, pdfink::commandModeOptions(), result))
        EXPECT_FALSE(result.error.empty()) << keep;
      EXPECT_LE(result.pages, 5) << keep;
    }
  }
}

}  // namespace
