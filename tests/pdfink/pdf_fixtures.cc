#include "pdf_fixtures.h"

#include <zlib.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#ifndef PDFINK_TEST_BROWSER
#define PDFINK_TEST_BROWSER "/usr/lib/chromium/chromium-headless-shell"
#endif

namespace pdfink_test {

TempDir::TempDir() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root && *root ? root : "/tmp") + "/pdfink_test_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    if (status) *status = -1;
    return out;
  }
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

bool toolAvailable(const std::string& name) {
  int status = 0;
  run("command -v " + name + " >/dev/null 2>&1", &status);
  return status == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string buildPdf(const std::vector<std::string>& objects, const std::string& trailerExtra) {
  std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t off : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R " +
         trailerExtra + ">>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

std::string zlibCompress(const std::string& data, int level) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(data.data()), data.size(), level);
  out.resize(size);
  return out;
}

std::string streamObject(const std::string& data, bool flate, const std::string& extraDict) {
  std::string body = flate ? zlibCompress(data) : data;
  return "<< /Length " + std::to_string(body.size()) + (flate ? " /Filter /FlateDecode" : "") +
         " " + extraDict + " >>\nstream\n" + body + "\nendstream";
}

std::string singlePagePdf(const std::string& content, const std::string& resources,
                          const std::string& mediaBox, const std::vector<std::string>& extra) {
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox " + mediaBox + " /Resources " + resources +
          " /Contents 4 0 R >>",
      streamObject(content, true)};
  objs.insert(objs.end(), extra.begin(), extra.end());
  return buildPdf(objs);
}

bool browserAvailable() { return std::filesystem::exists(PDFINK_TEST_BROWSER); }

bool printWithBrowser(const std::string& html, const std::string& pdfPath) {
  TempDir dir;
  std::string page = dir.file("page.html");
  writeFile(page, html);
  std::string profile = dir.file("profile");
  std::string cmd = std::string("timeout 90 ") + PDFINK_TEST_BROWSER +
                    " --no-sandbox --disable-gpu --no-zygote --disable-dev-shm-usage"
                    " --user-data-dir='" + profile + "' --no-pdf-header-footer '--print-to-pdf=" +
                    pdfPath + "' 'file://" + page + "' >/dev/null 2>&1";
  int status = 0;
  run(cmd, &status);
  return status == 0 && std::filesystem::exists(pdfPath);
}

double rasterInkEnd(const std::string& pdfPath, int page, int dpi, double limitPt) {
  TempDir dir;
  std::string prefix = dir.file("r");
  std::string cmd = "pdftoppm -gray -r " + std::to_string(dpi) + " -f " + std::to_string(page) +
                    " -l " + std::to_string(page) + " -singlefile '" + pdfPath + "' '" + prefix + "'";
  int status = 0;
  run(cmd, &status);
  std::string pgm = readFile(prefix + ".pgm");
  if (status != 0 || pgm.size() < 2 || pgm[0] != 'P' || pgm[1] != '5') return -2;
  std::istringstream header(pgm);
  std::string magic;
  int w = 0, h = 0, maxv = 0;
  header >> magic >> w >> h >> maxv;
  std::size_t start = static_cast<std::size_t>(header.tellg()) + 1;
  int lowest = -1;
  int limitRow = static_cast<int>(limitPt * dpi / 72.0);
  for (int y = 0; y < h && y < limitRow; ++y) {
    const auto* row = reinterpret_cast<const unsigned char*>(pgm.data() + start) +
                      static_cast<std::size_t>(y) * w;
    for (int x = 0; x < w; ++x) {
      if (row[x] < 250) {
        lowest = y;
        break;
      }
    }
  }
  return lowest < 0 ? -1 : (lowest + 1) * 72.0 / dpi;
}

}  // namespace pdfink_test

#include <map>
#include <memory>

namespace pdfink_test {

const TempDir& sharedDir() {
  static TempDir dir;
  return dir;
}

std::string browserPdf(const std::string& name, const std::string& html) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  std::string path;
  if (browserAvailable()) {
    std::string out = sharedDir().file(name + ".pdf");
    if (printWithBrowser(html, out)) path = out;
  }
  made[name] = path;
  return path;
}

std::string browserSamplePdf() {
  std::string html =
      "<html><body style='margin:0;font:16px sans-serif'>";
  for (int i = 0; i < 4; ++i)
    html += "<div style='height:1000px;border-top:4px solid #345'>Section " +
            std::to_string(i + 1) + " with some text</div>";
  html += "<p>Closing words</p><div style='width:200px;height:40px;background:#c33'></div>"
          "</body></html>";
  return browserPdf("sample", html);
}

}  // namespace pdfink_test
