#include "pdfink/pdf_reader.h"

#include <gtest/gtest.h>

#include <regex>

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

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

struct ScalarCase {
  const char* input;
  std::uint32_t kind;
  std::string text;
  double number;
};

TEST(Parser, Scalars) {
  const ScalarCase cases[] = {
      {"/A#20B", pdfink::kName, "A B", 0},
      {"/A#2", pdfink::kName, "A#2", 0},
      {"/Ty#70e/x", pdfink::kName, "Type", 0},
      {"(a\\053b)", pdfink::kString, "a+b", 0},
      {"(x\\0y)", pdfink::kString, std::string("x\0y", 3), 0},
      {"(\\777)", pdfink::kString, "\xff", 0},
      {"(a(b)c)", pdfink::kString, "a(b)c", 0},
      {"(a\\)b)", pdfink::kString, "a)b", 0},
      {"(l1\\\r\nl2\\\nl3\\\rl4)", pdfink::kString, "l1l2l3l4", 0},
      {"(\\n\\r\\t\\b\\f\\q)", pdfink::kString, "\n\r\t\b\fq", 0},
      {"(unterminated", pdfink::kString, "unterminated", 0},
      {"<4142 3>", pdfink::kString, "AB0", 0},
      {"<6a6B zz>", pdfink::kString, "jk", 0},
      {"-.5", pdfink::kNumber, "", -0.5},
      {"+12.5abc", pdfink::kNumber, "", 12.5},
      {"% comment\n 7", pdfink::kNumber, "", 7},
      {") ] } 3", pdfink::kNumber, "", 3},
      {"Tj", pdfink::kKeyword, "Tj", 0},
      {"null", pdfink::kNull, "", 0},
  };
  for (const auto& c : cases) {
    ObjPtr o = parse(c.input);
    ASSERT_TRUE(o) << c.input;
    EXPECT_EQ(o->kind, c.kind) << c.input;
    EXPECT_EQ(o->text, c.text) << c.input;
    EXPECT_DOUBLE_EQ(o->number, c.number) << c.input;
  }
  EXPECT_EQ(parse("true")->boolean, 1);
  EXPECT_EQ(parse("false")->boolean, 0);
  EXPECT_FALSE(parse("   % only a comment"));
}

TEST(Parser, ContainersAndReferences) {
  ObjPtr d = parse("<< /A 1 0 R /B [1 2 R 3 -1 0 R] /A 5 7 /C << /D (x) >> >>");
  ASSERT_EQ(d->kind, pdfink::kDictionary);
  EXPECT_EQ(d->entries.at("A")->kind, pdfink::kNumber);  // repeated key replaces
  EXPECT_EQ(d->entries.at("A")->number, 5);
  EXPECT_FALSE(d->entries.count("7"));  // a non-name key is dropped
  const auto& b = d->entries.at("B")->items;
  ASSERT_EQ(b.size(), 5u);  // "1 2 R" is a reference, "-1 0 R" is not
  EXPECT_EQ(b[0]->kind, pdfink::kReference);
  EXPECT_EQ(b[4]->text, "R");
  EXPECT_EQ(d->entries.at("C")->entries.at("D")->text, "x");

  ObjPtr r = parse("12 0 R");
  ASSERT_EQ(r->kind, pdfink::kReference);
  EXPECT_EQ(r->objectNumber, 12);
  EXPECT_EQ(parse("12 0 R", false)->kind, pdfink::kNumber);

  // The look-ahead gives back the second number when no R follows.
  std::string text = "4 5 obj";
  std::size_t pos = 0;
  auto* buf = reinterpret_cast<const std::uint8_t*>(text.data());
  EXPECT_EQ(pdfink::parseValue(buf, text.size(), pos)->number, 4);
  EXPECT_EQ(pdfink::parseValue(buf, text.size(), pos)->number, 5);
  EXPECT_EQ(pdfink::parseValue(buf, text.size(), pos)->text, "obj");

  ObjPtr open = parse("<< /A [1 2");
  EXPECT_EQ(open->entries.at("A")->items.size(), 2u);
}

TEST(Parser, NestingBeyondTheLimitBecomesNull) {
  std::string deep = std::string(70, '[') + "1" + std::string(70, ']') + " 9";
  std::size_t pos = 0;
  auto* buf = reinterpret_cast<const std::uint8_t*>(deep.data());
  ObjPtr o = pdfink::parseValue(buf, deep.size(), pos);
  int levels = 0;
  while (o->kind == pdfink::kArray && !o->items.empty()) {
    o = o->items[0];
    ++levels;
  }
  EXPECT_EQ(levels, 65);  // depth 0..64 are arrays, the rest is null
  EXPECT_EQ(o->kind, pdfink::kNull);
  EXPECT_EQ(pdfink::parseValue(buf, deep.size(), pos)->number, 9);  // structure survives
}

// ---------------------------------------------------------------------------

std::string pageTree(const std::string& pages, const std::string& kids) {
  return "<< /Type /Pages /Kids [" + kids + "] /Count " + pages + " >>";
}

struct OpenCase {
  const char* name;
  std::string pdf;
  bool ok;
  std::string error;
  std::size_t pages;
};

std::string withoutXref(std::string pdf) {
  pdf.replace(pdf.rfind("\nxref") + 1, 4, "xxxx");
  return pdf;
}

TEST(Document, OpenAndPageTree) {
  const std::string cat = "<< /Type /Catalog /Pages 2 0 R >>";
  const std::string page = "<< /Type /Page /Parent 2 0 R >>";
  const OpenCase cases[] = {
      {"plain", buildPdf({cat, pageTree("2", "3 0 R 4 0 R"), page, page}), true, "", 2},
      {"kids repeat a page", buildPdf({cat, pageTree("2", "3 0 R 3 0 R"), page}), true, "", 1},
      {"kids loop back", buildPdf({cat, pageTree("2", "3 0 R 2 0 R"), page}), true, "", 1},
      {"leaf without Type", buildPdf({cat, pageTree("1", "3 0 R"), "<< >>"}), true, "", 1},
      {"empty Pages node", buildPdf({cat, pageTree("0", "3 0 R"), "<< /Type /Pages >>"}), true, "", 0},
      {"missing xref keyword", withoutXref(buildPdf({cat, pageTree("1", "3 0 R"), page})), true, "", 1},
      {"root is not a dictionary", buildPdf({"42", pageTree("1", "3 0 R"), page}), false,
       "no catalog", 0},
      {"no trailer Root, catalog by Type",
       [&] {
         std::string p = buildPdf({pageTree("1", "3 0 R"), cat, page});
         p.replace(p.find("/Root 1 0 R"), 11, "           ");
         return p;
       }(),
       true, "", 1},
      {"no trailer Root and no catalog",
       [&] {
         std::string p = buildPdf({pageTree("1", "2 0 R"), page});
         p.replace(p.find("/Root 1 0 R"), 11, "           ");
         return p;
       }(),
       false, "no cross-reference table and no objects found", 0},
      {"not a PDF", "%PDX-1.4 hello world and more", false, "not a PDF", 0},
      {"too short", "%PDF-1.4\n", false, "not a PDF", 0},
  };
  for (const auto& c : cases) {
    Document doc;
    std::string error;
    EXPECT_EQ(doc.openBytes(bytesOf(c.pdf), error), c.ok) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (c.ok) EXPECT_EQ(doc.pages().size(), c.pages) << c.name;
  }
}

TEST(Document, ResolveInheritAndCycles) {
  std::string pdf = buildPdf({"<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [3 0 R] /MediaBox [0 0 100 200] /Resources 6 0 R >>",
                              "<< /Type /Page /Parent 2 0 R /Rotate 4 0 R >>", "4 0 R", "5 0 R",
                              "<< /Font << >> >>", "7 0 R"});
  Document doc;
  std::string error;
  ASSERT_TRUE(doc.openBytes(bytesOf(pdf), error)) << error;
  const ObjPtr& page = doc.pages().at(0);
  EXPECT_EQ(doc.inherited(page, "MediaBox")->items.size(), 4u);
  EXPECT_EQ(doc.number(doc.inherited(page, "MediaBox")->items[3], 0), 200);
  EXPECT_TRUE(doc.inherited(page, "Resources")->isDict());
  EXPECT_EQ(doc.inherited(page, "CropBox")->kind, pdfink::kNull);
  EXPECT_EQ(doc.resolve(doc.get(page, "Rotate"))->kind, pdfink::kNull);  // 4 -> 5 -> 4 cycle
  auto self = std::make_shared<pdfink::Obj>();
  self->kind = pdfink::kReference;
  self->objectNumber = 7;
  EXPECT_EQ(doc.resolve(self)->kind, pdfink::kNull);  // 7 0 obj 7 0 R
  self->objectNumber = 99;
  EXPECT_EQ(doc.resolve(self)->kind, pdfink::kNull);
  EXPECT_EQ(doc.resolve(nullptr)->kind, pdfink::kNull);
}

TEST(Document, IncrementalUpdateNewestWins) {
  std::string base = buildPdf({"<< /Type /Catalog /Pages 2 0 R >>",
                               "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"});
  std::size_t firstXref = std::stoul(base.substr(base.rfind("startxref") + 10));
  std::size_t at = base.size();
  std::string update = "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 400] >>\nendobj\n";
  std::size_t xref = at + update.size();
  char entry[32];
  std::snprintf(entry, sizeof entry, "%010zu 00000 n\r\n", at);
  update += "xref\n3 1\n" + std::string(entry) + "trailer\n<< /Size 4 /Root 1 0 R /Prev " +
            std::to_string(firstXref) + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  std::string pdf = base + update;

  for (bool damage : {false, true}) {
    std::string input = pdf;
    if (damage) input.replace(input.rfind("startxref") + 10, 3, "999");  // forces the scan
    Document doc;
    std::string error;
    ASSERT_TRUE(doc.openBytes(bytesOf(input), error)) << error;
    ASSERT_EQ(doc.pages().size(), 1u);
    EXPECT_EQ(doc.number(doc.inherited(doc.pages()[0], "MediaBox")->items[2], 0), 300) << damage;
  }
}

TEST(Document, StreamLengthAndFilters) {
  const std::string data = "0 0 1 rg 10 10 50 50 re f";
  const std::string packed = zlibCompress(data);
  const std::string twice = zlibCompress(packed);
  struct Case {
    const char* name;
    std::string object;
    bool ok;
    std::string decoded;
  };
  const Case cases[] = {
      {"plain", streamObject(data), true, data},
      {"flate", streamObject(data, true), true, data},
      {"Length too long",
       "<< /Length 999 >>\nstream\n" + data + "  \r\nendstream", true, data},
      {"Length zero", "<< /Length 0 >>\nstream\r\n" + data + "\nendstream", true, data},
      {"Length indirect", "<< /Length 5 0 R >>\nstream\n" + data + "\nendstream", true, data},
      {"Length short of endstream", "<< /Length 5 >>\nstream\n" + data + "\nendstream", true, data},
      {"Fl abbreviation", "<< /Length " + std::to_string(packed.size()) +
           " /Filter /Fl >>\nstream\n" + packed + "\nendstream", true, data},
      {"two FlateDecode", "<< /Length " + std::to_string(twice.size()) +
           " /Filter [/FlateDecode /FlateDecode] >>\nstream\n" + twice + "\nendstream", true, data},
      {"Predictor 12", streamObject(data, true, "/DecodeParms << /Predictor 12 >>"), false, ""},
      {"Predictor 1", streamObject(data, true, "/DecodeParms << /Predictor 1 >>"), true, data},
      {"DecodeParms array not examined",
       streamObject(data, true, "/DecodeParms [<< /Predictor 12 >>]"), true, data},
      {"other filter", streamObject(data, false, "/Filter /LZWDecode"), false, ""},
      {"flate then other", streamObject(data, true, "").replace(
           streamObject(data, true, "").find("/FlateDecode"), 12, "[/FlateDecode /DCTDecode]"),
       false, ""},
      {"corrupt flate keeps nothing", "<< /Length 4 /Filter /FlateDecode >>\nstream\nabcd\nendstream",
       true, ""},
  };
  for (const auto& c : cases) {
    std::string pdf = buildPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] >>",
                                c.object, "<< >>", std::to_string(data.size())});
    Document doc;
    std::string error;
    ASSERT_TRUE(doc.openBytes(bytesOf(pdf), error)) << c.name << ": " << error;
    auto ref = std::make_shared<pdfink::Obj>();
    ref->kind = pdfink::kReference;
    ref->objectNumber = 3;
    ObjPtr stream = doc.resolve(ref);
    ASSERT_EQ(stream->kind, pdfink::kStream) << c.name;
    std::vector<std::uint8_t> out;
    EXPECT_EQ(doc.decodeStream(stream, out), c.ok) << c.name;
    if (c.ok) EXPECT_EQ(std::string(out.begin(), out.end()), c.decoded) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Files written by the browser and by qpdf, compared with qpdf and pdfinfo.

struct PageBoxes {
  std::size_t count = 0;
  std::vector<std::array<double, 4>> media;
};

PageBoxes readWithReference(const std::string& path) {
  PageBoxes ref;
  ref.count = std::stoul(run("qpdf --show-npages '" + path + "' 2>/dev/null"));
  std::string info = run("pdfinfo -box -f 1 -l 100000 '" + path + "' 2>/dev/null");
  std::regex line(R"(Page\s+\d+ MediaBox:\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+))");
  for (std::sregex_iterator it(info.begin(), info.end(), line), end; it != end; ++it)
    ref.media.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]),
                         std::stod((*it)[4])});
  return ref;
}

bool readWithPdfink(const std::string& path, PageBoxes& mine, std::string& error) {
  Document doc;
  if (!doc.open(path, error)) return false;
  mine.count = doc.pages().size();
  for (const auto& page : doc.pages()) {
    ObjPtr box = doc.inherited(page, "MediaBox");
    std::array<double, 4> b{};
    for (std::size_t i = 0; i < 4 && i < box->items.size(); ++i) b[i] = doc.number(box->items[i], 0);
    mine.media.push_back(b);
  }
  return true;
}

class RealFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!toolAvailable("qpdf") || !toolAvailable("pdfinfo")) GTEST_SKIP() << "qpdf/pdfinfo missing";
    sample_ = browserSamplePdf();
    if (sample_.empty()) GTEST_SKIP() << "browser unavailable";
  }

  std::string variant(const std::string& name, const std::string& qpdfArgs) {
    std::string out = dir_.file(name + ".pdf");
    int status = 0;
    run("qpdf " + qpdfArgs + " '" + sample_ + "' '" + out + "' 2>&1", &status);
    EXPECT_TRUE(status == 0 || status == 3) << name;
    return out;
  }

  // Gives page 2 a new MediaBox in an appended update with its own xref.
  std::string incrementalUpdate() {
    std::string pdf = readFile(sample_);
    std::string pages = run("qpdf --show-pages '" + sample_ + "'");
    std::smatch m;
    std::regex page2(R"(page 2: (\d+) 0 R)");
    EXPECT_TRUE(std::regex_search(pages, m, page2));
    int number = std::stoi(m[1]);
    std::string dict = run("qpdf --show-object=" + std::to_string(number) + " '" + sample_ + "'");
    dict = std::regex_replace(dict, std::regex(R"(/MediaBox \[[^\]]*\])"), "/MediaBox [ 0 0 500 700 ]");
    std::string trailer = run("qpdf --show-object=trailer '" + sample_ + "'");
    std::regex rootRe(R"(/Root (\d+ \d+ R))"), sizeRe(R"(/Size (\d+))");
    std::smatch root, size;
    EXPECT_TRUE(std::regex_search(trailer, root, rootRe) && std::regex_search(trailer, size, sizeRe));
    std::size_t prev = std::stoul(pdf.substr(pdf.rfind("startxref") + 10));
    if (pdf.back() != '\n') pdf += '\n';
    std::size_t at = pdf.size();
    pdf += std::to_string(number) + " 0 obj\n" + dict + "\nendobj\n";
    std::size_t xref = pdf.size();
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", at);
    pdf += "xref\n" + std::to_string(number) + " 1\n" + entry + "trailer\n<< /Size " +
           size[1].str() + " /Root " + root[1].str() + " /Prev " + std::to_string(prev) +
           " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    std::string out = dir_.file("incremental.pdf");
    writeFile(out, pdf);
    return out;
  }

  std::string damaged(const std::string& name, const std::function<void(std::string&)>& edit) {
    std::string pdf = readFile(sample_);
    edit(pdf);
    std::string out = dir_.file(name + ".pdf");
    writeFile(out, pdf);
    return out;
  }

  std::string sample_;
  TempDir dir_;
};

TEST_F(RealFiles, PagesAndMediaBoxesMatchTheReferenceTools) {
  PageBoxes original = readWithReference(sample_);
  ASSERT_EQ(original.count, 5u);
  struct Variant {
    std::string name, path;
    bool referenceReadsIt;
  };
  const std::vector<Variant> variants = {
      {"browser", sample_, true},
      {"qdf", variant("qdf", "--qdf"), true},
      {"linearized", variant("linearized", "--linearize"), true},
      {"incremental", incrementalUpdate(), true},
      {"wrong startxref", damaged("wrong-startxref", [](std::string& p) {
         p.replace(p.rfind("startxref") + 10, 2, "17");
       }), false},
      {"missing xref keyword", damaged("missing-xref", [](std::string& p) {
         std::size_t at = std::stoul(p.substr(p.rfind("startxref") + 10));
         p.replace(at, 4, "xxxx");
       }), false},
      {"truncated before xref", damaged("truncated", [](std::string& p) {
         p.resize(p.rfind("\nxref"));
       }), false},
  };
  for (const auto& v : variants) {
    PageBoxes mine;
    std::string error;
    ASSERT_TRUE(readWithPdfink(v.path, mine, error)) << v.name << ": " << error;
    // Damaged copies are compared with what the tools see in the intact file.
    PageBoxes ref = v.referenceReadsIt ? readWithReference(v.path) : original;
    EXPECT_EQ(mine.count, ref.count) << v.name;
    ASSERT_EQ(mine.media.size(), ref.media.size()) << v.name;
    for (std::size_t i = 0; i < ref.media.size(); ++i)
      for (int k = 0; k < 4; ++k) EXPECT_NEAR(mine.media[i][k], ref.media[i][k], 0.01) << v.name << " page " << i + 1;

    pdfink::InkResult result;
    EXPECT_TRUE(pdfink::measureInkGuarded(v.path, pdfink::commandModeOptions(), result)) << v.name;
    EXPECT_EQ(result.lastPage, 5) << v.name;
    EXPECT_TRUE(result.records.at(0).readable) << v.name;
  }
  PageBoxes incremental = readWithReference(dir_.file("incremental.pdf"));
  EXPECT_EQ(incremental.media.at(1)[3], 700);  // the update really took effect
}

TEST_F(RealFiles, ObjectStreamsOpenThroughTheScanOrFailCleanly) {
  std::string path = variant("objstm", "--object-streams=generate");
  Document doc;
  std::string error;
  if (doc.open(path, error)) {
    EXPECT_LE(doc.pages().size(), 5u);
  } else {
    EXPECT_TRUE(error == "no cross-reference table and no objects found" || error == "no catalog")
        << error;
  }
  pdfink::InkResult result;
  pdfink::measureInkGuarded(path, pdfink::commandModeOptions(), result);
  EXPECT_EQ(result.error.find("exception"), std::string::npos);
}

TEST_F(RealFiles, TruncatedAnywhereNeverCrashes) {
  std::string pdf = readFile(sample_);
  for (std::size_t keep = 16; keep < pdf.size(); keep += pdf.size() / 37 + 1) {
    pdfink::InkResult result;
    bool ok = pdfink::measureInkBytes({pdf.begin(), pdf.begin() + keep}, pdfink::commandModeOptions(), result);
    if (!ok) EXPECT_FALSE(result.error.empty()) << keep;
    EXPECT_LE(result.pages, 5) << keep;
  }
}

}  // namespace
