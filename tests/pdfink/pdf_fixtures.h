#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pdfink_test {

// A fresh directory under the temporary root, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Runs a shell command; returns its standard output and sets status.
std::string run(const std::string& command, int* status = nullptr);
bool toolAvailable(const std::string& name);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// Builds a PDF with a classic xref table: objects[i] becomes object i + 1
// (the text between "obj" and "endobj"); object 1 must be the catalog.
std::string buildPdf(const std::vector<std::string>& objects, const std::string& trailerExtra = "");

// A stream object body; compressed with zlib when flate is set.
std::string streamObject(const std::string& data, bool flate = false,
                         const std::string& extraDict = "");
std::string zlibCompress(const std::string& data, int level = 6);

// One page document: catalog, pages, page with the given content stream
// and resources; further objects start at number 5.
std::string singlePagePdf(const std::string& content, const std::string& resources = "<<>>",
                          const std::string& mediaBox = "[0 0 612 792]",
                          const std::vector<std::string>& extra = {});

// Prints an HTML document with the installed headless browser.
bool printWithBrowser(const std::string& html, const std::string& pdfPath);
bool browserAvailable();

// Lowest non-white pixel row of one page rendered by pdftoppm, as a
// distance in points from the page top to the bottom of that row; rows
// from limitPt down are ignored. Returns -1 when the page is blank.
double rasterInkEnd(const std::string& pdfPath, int page, int dpi = 144, double limitPt = 1e9);

}  // namespace pdfink_test

namespace pdfink_test {

// A directory that lives until the test process exits.
const TempDir& sharedDir();

// Prints html once per process (keyed by name) and returns the PDF path,
// or an empty string when the browser is missing or fails.
std::string browserPdf(const std::string& name, const std::string& html);

// A five-page browser PDF with text, boxes and a short last page.
std::string browserSamplePdf();

}  // namespace pdfink_test
