// The reader and the measurement entry on the PDF files under data/ as the
// rows of files.json list them, and the parser on the rows of parser.json.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

#include "pdfink/ink_measure.h"
#include "support.h"

namespace {

using namespace pdfink_test;
using pdfink::ObjPtr;

// Every value in text, written back in one canonical form, " | " between.
std::string dumpAll(const std::string& text, bool objects = false) {
  std::function<std::string(const ObjPtr&)> dump = [&](const ObjPtr& o) {
    std::ostringstream s;
    switch (o->kind) {
      case pdfink::kNull: return std::string("null");
      case pdfink::kBoolean: return std::string(o->boolean ? "true" : "false");
      case pdfink::kNumber: s << o->number; return s.str();
      case pdfink::kName: return "/" + o->text;
      case pdfink::kReference: return std::to_string(o->objectNumber) + "R";
      case pdfink::kString:
        for (unsigned char c : o->text) (c < 32 || c > 126) ? s << "\\x" << std::hex << (c >> 4) << (c & 15) : s << c;
        return "(" + s.str() + ")";
      case pdfink::kArray:
        for (const auto& item : o->items) s << " " << dump(item);
        return "[" + s.str() + " ]";
      case pdfink::kDictionary:
        for (const auto& [key, value] : o->entries) s << " /" << key << " " << dump(value);
        return "<<" + s.str() + " >>";
      default: return o->text;
    }
  };
  std::string out;
  auto* buf = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t pos = 0;
  while (ObjPtr o = objects ? pdfink::parseObject(buf, text.size(), pos) : pdfink::parseValue(buf, text.size(), pos))
    out += (out.empty() ? "" : " | ") + dump(o);
  return out;
}

TEST(Parser, Values) {
  for (const json& row : loadData("parser.json")) EXPECT_EQ(dumpAll(row[0], row.size() > 2), row[1]) << row[0];
}

// Page MediaBoxes as pdfinfo reports them, in the number qpdf counts.
std::vector<std::array<double, 4>> referenceBoxes(const std::string& path) {
  std::vector<std::array<double, 4>> boxes;
  std::string info = run("pdfinfo -box -f 1 -l 100000 '" + path + "' 2>/dev/null");
  std::regex line(R"(Page\s+\d+ MediaBox:\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+))");
  for (std::sregex_iterator it(info.begin(), info.end(), line), end; it != end; ++it)
    boxes.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4])});
  EXPECT_EQ(run("qpdf --show-npages '" + path + "' 2>/dev/null"), std::to_string(boxes.size()) + "\n");
  return boxes;
}

bool needsTools(const json& c) { return c.contains("qpdf") || c.contains("reference"); }

// A row names a file, optionally rewritten by qpdf and then edited (bytes
// from the last occurrence of a text replaced), and what to check.
void checkFile(const json& c) {
  TempDir dir;
  std::string path = c["file"];
  if (c.contains("qpdf")) {
    int status = -1;
    run("qpdf " + c["qpdf"].get<std::string>() + " '" + path + "' '" + dir.File("q.pdf") + "' 2>&1", &status);
    EXPECT_TRUE(status == 0 || status == 3) << status;  // 3: warnings only
    path = dir.File("q.pdf");
  }
  if (c.contains("edit")) {
    const json& e = c["edit"];
    std::string pdf = ReadFile(path);
    WriteFile(path = dir.File("e.pdf"), pdf.replace(pdf.rfind(e[0].get<std::string>()), e[1], e[2]));
  }

  pdfink::InkResult r;
  bool ok = pdfink::measureInkGuarded(path, inkOptions(c.value("options", json::object())), r);
  json got = json::parse(pdfink::formatInkResultLine(ok, r));
  if (!r.records.empty()) got.update({{"remeasured", r.records[0].measuredWithoutRule}, {"skipped", r.records[0].fixedSkipped}});
  const json expect = c.value("expect", json::object());
  for (const auto& [key, value] : expect.items()) EXPECT_EQ(got[key], value) << key;
  if (c.contains("line")) EXPECT_EQ(pdfink::InkMeasureCommandLine(path), c["line"]);
  if (c.contains("cli")) {
    int status = -1;
    EXPECT_EQ(run("HALVERN_INK_TRACE=1 " PDFINK_CLI " '--ink-measure=" + path + "'", &status), c["cli"]);
    EXPECT_EQ(status, 0);
  }

  pdfink::Document doc;
  std::string error;
  if (c.contains("stream")) {  // object 3, decoded; null when it cannot be
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    ASSERT_TRUE(doc.open(path, error)) << error;
    ObjPtr ref = pdfink::parseValue(reinterpret_cast<const std::uint8_t*>("3 0 R"), 5, at);
    bool decoded = doc.decodeStream(doc.resolve(ref), out);
    EXPECT_EQ(decoded ? json(std::string(out.begin(), out.end())) : json(), c["stream"]);
  }
  // Damaged or rewritten copies read like the intact file the reference tools see.
  if (c.contains("reference")) {
    const std::string reference = c["reference"];
    EXPECT_EQ(pdfink::InkMeasureCommandLine(path), pdfink::InkMeasureCommandLine(reference));
    ASSERT_TRUE(doc.open(path, error)) << error;
    auto boxes = referenceBoxes(reference);
    ASSERT_EQ(doc.pages().size(), boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      ObjPtr box = doc.inherited(doc.pages()[i], "MediaBox");
      for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(doc.number(box->items.at(k), 0), boxes[i][k], 0.01) << i;
    }
  }
  if (c.contains("truncate")) {  // cut anywhere: a clear error or a partial read, never more pages
    std::string pdf = ReadFile(path);
    for (std::size_t keep = 16; keep < pdf.size(); keep += pdf.size() / 37 + 1) {
      pdfink::InkResult cut;
      if (!pdfink::measureInkBytes({pdf.begin(), pdf.begin() + keep}, pdfink::commandModeOptions(), cut))
        EXPECT_FALSE(cut.error.empty()) << keep;
      EXPECT_LE(cut.pages, c["truncate"].get<int>()) << keep;
    }
  }
}

void checkFiles(bool withTools) {
  std::filesystem::current_path(PDFINK_DATA);
  for (const json& c : loadData("files.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    if (needsTools(c) == withTools) checkFile(c);
  }
}

TEST(Files, ReadAndMeasure) { checkFiles(false); }

TEST(Files, ReadLikeTheReferenceTools) {
  if (!toolAvailable("qpdf") || !toolAvailable("pdfinfo")) GTEST_SKIP() << "qpdf/pdfinfo missing";
  checkFiles(true);
}

}  // namespace
