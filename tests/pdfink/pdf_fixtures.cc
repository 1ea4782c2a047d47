#include "pdf_fixtures.h"

#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace pdfink_test {

TempDir::TempDir() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root && *root ? root : "/tmp") + "/pdfink_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

bool toolAvailable(const std::string& name) { return !run("command -v " + name).empty(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string buildPdf(const std::vector<std::string>& objects) {
  std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n", table;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", pdf.size());
    table += line;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::string size = std::to_string(objects.size() + 1);
  return pdf + "xref\n0 " + size + "\n0000000000 65535 f \n" + table + "trailer\n<< /Size " + size +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

std::string packedPdf(const std::vector<std::string>& objects, const std::vector<ObjStm>& streams,
                      const std::string& xrefExtra, bool hybrid) {
  const std::size_t xrefNumber = objects.size() + streams.size() + 1;
  std::map<std::size_t, std::pair<std::size_t, std::size_t>> where;  // number -> stream, index
  for (std::size_t k = 0; k < streams.size(); ++k)
    for (std::size_t i = 0; i < streams[k].numbers.size(); ++i)
      where[streams[k].numbers[i]] = {objects.size() + 1 + k, i};
  std::string pdf = "%PDF-1.5\n", table, rows;
  std::vector<std::size_t> at(xrefNumber + 1, 0);
  auto add = [&](std::size_t n, const std::string& body) {
    at[n] = pdf.size();
    pdf += std::to_string(n) + " 0 obj\n" + body + "\nendobj\n";
  };
  for (std::size_t n = 1; n <= objects.size(); ++n)
    if (!where.count(n)) add(n, objects[n - 1]);
  for (std::size_t k = 0; k < streams.size(); ++k) {
    std::string header, body;
    for (int n : streams[k].numbers) {
      header += std::to_string(n) + " " + std::to_string(body.size()) + " ";
      body += objects[n - 1] + "\n";
    }
    if (!streams[k].header.empty()) header = streams[k].header + " ";
    add(objects.size() + 1 + k, "<< /Type /ObjStm /N " + std::to_string(streams[k].numbers.size()) + " /First " +
                                    std::to_string(header.size()) + " /Length " + std::to_string(header.size() + body.size()) +
                                    " " + streams[k].extra + " >>\nstream\n" + header + body + "\nendstream");
  }
  at[xrefNumber] = pdf.size();
  for (std::size_t n = 0; n <= xrefNumber; ++n) {
    auto packed = where.find(n);
    std::size_t type = n == 0 ? 0 : packed != where.end() ? 2 : 1;
    std::size_t a = type == 2 ? packed->second.first : at[n], b = type == 2 ? packed->second.second : 0;
    rows += {char(type), char(a >> 24), char(a >> 16), char(a >> 8), char(a), char(b >> 8), char(b)};
    char line[32];
    std::snprintf(line, sizeof line, type == 1 ? "%010zu 00000 n \n" : "0000000000 65535 f \n", at[n]);
    table += line;
  }
  const std::string size = std::to_string(xrefNumber + 1);
  add(xrefNumber, "<< /Type /XRef /Size " + size + " /W [1 4 2] /Index [0 2 2 " + std::to_string(xrefNumber - 1) +
                      "] /Root 1 0 R /Length " + std::to_string(rows.size()) + " " + xrefExtra + " >>\nstream\n" +
                      rows + "\nendstream");
  if (!hybrid) return pdf + "startxref\n" + std::to_string(at[xrefNumber]) + "\n%%EOF\n";
  return pdf + "xref\n0 " + size + "\n" + table + "trailer\n<< /Size " + size + " /Root 1 0 R /XRefStm " +
         std::to_string(at[xrefNumber]) + " >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

std::string zlibCompress(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
            data.size(), 6);
  out.resize(size);
  return out;
}

std::string streamObject(const std::string& data, bool flate, const std::string& extraDict) {
  std::string body = flate ? zlibCompress(data) : data;
  return "<< /Length " + std::to_string(body.size()) + (flate ? " /Filter /FlateDecode" : "") + " " +
         extraDict + " >>\nstream\n" + body + "\nendstream";
}

std::string pagesPdf(const std::vector<PageSpec>& pages, const std::string& pagesExtra,
                     const std::vector<std::string>& extra) {
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (const auto& p : pages) {
    std::string number = std::to_string(objs.size() + 1);
    kids += number + " 0 R ";
    objs.push_back("<< /Type /Page /Parent 2 0 R" + (p.mediaBox.empty() ? "" : " /MediaBox " + p.mediaBox) +
                   (p.resources.empty() ? "" : " /Resources " + p.resources) + " /Contents " +
                   std::to_string(objs.size() + 2) + " 0 R >>");
    objs.push_back(streamObject(p.content, true));
  }
  objs[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " " +
            pagesExtra + " >>";
  objs.insert(objs.end(), extra.begin(), extra.end());
  return buildPdf(objs);
}

bool browserAvailable() { return std::filesystem::exists(PDFINK_TEST_BROWSER); }

std::string browserPdf(const std::string& name, const std::string& html) {
  static TempDir shared;
  static std::map<std::string, std::string> made;
  if (auto it = made.find(name); it != made.end()) return it->second;
  std::string& result = made[name];
  if (!browserAvailable()) return result;
  TempDir dir;
  std::string page = dir.file("page.html"), out = shared.file(name + ".pdf");
  writeFile(page, html);
  int status = 0;
  run("timeout 90 " PDFINK_TEST_BROWSER " --no-sandbox --disable-gpu --no-zygote --disable-dev-shm-usage"
      " --user-data-dir='" + dir.file("profile") + "' --no-pdf-header-footer '--print-to-pdf=" + out +
          "' 'file://" + page + "' >/dev/null 2>&1",
      &status);
  if (status == 0 && std::filesystem::exists(out)) result = out;
  return result;
}

double rasterInkEnd(const std::string& pdfPath, int page) {
  const int dpi = 144;
  TempDir dir;
  std::string n = std::to_string(page);
  run("pdftoppm -gray -r " + std::to_string(dpi) + " -f " + n + " -l " + n + " -singlefile '" + pdfPath +
      "' '" + dir.file("r") + "'");
  std::string pgm = readFile(dir.file("r.pgm"));
  if (pgm.rfind("P5", 0) != 0) return -2;
  std::istringstream header(pgm);
  std::string magic;
  int w = 0, h = 0, maxv = 0;
  header >> magic >> w >> h >> maxv;
  const auto* pixels = reinterpret_cast<const unsigned char*>(pgm.data()) + header.tellg() + 1;
  int lowest = -1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (pixels[static_cast<std::size_t>(y) * w + x] < 250) {
        lowest = y;
        break;
      }
  return lowest < 0 ? -1 : (lowest + 1) * 72.0 / dpi;
}

}  // namespace pdfink_test
