#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pdfink_test {

// A fresh directory under the temporary root, removed on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::filesystem::path path;
};

// Standard output of a shell command.
std::string run(const std::string& command, int* status = nullptr);
bool toolAvailable(const std::string& name);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// Classic xref table; objects[i] becomes object i + 1, object 1 the catalog.
std::string buildPdf(const std::vector<std::string>& objects);
// Like buildPdf, but each group's objects go, in order, into an uncompressed
// object stream (numbered after the objects) and the index is an
// uncompressed cross-reference stream, /W [1 4 2], in two /Index ranges.
// Extra text ends a dictionary (a repeated key replaces); a header replaces
// the stream's number/offset pairs. Hybrid: a classic table lists the
// direct objects, its trailer's /XRefStm the stream.
struct ObjStm {
  std::vector<int> numbers;
  std::string extra, header;
};
std::string packedPdf(const std::vector<std::string>& objects, const std::vector<ObjStm>& streams,
                      const std::string& xrefExtra = "", bool hybrid = false);
std::string zlibCompress(const std::string& data);
std::string streamObject(const std::string& data, bool flate = false, const std::string& extraDict = "");

// Objects 1 catalog, 2 pages, then page and flate content pairs; extra
// objects follow. Empty fields are left out of the page dictionary.
struct PageSpec {
  std::string content, mediaBox, resources;
};
std::string pagesPdf(const std::vector<PageSpec>& pages, const std::string& pagesExtra = "",
                     const std::vector<std::string>& extra = {});

bool browserAvailable();
// Prints html once per process per name; empty when the browser is missing or fails.
std::string browserPdf(const std::string& name, const std::string& html);

// Points from the page top to the bottom of the lowest non-white row of a
// 144 dpi pdftoppm rendering; -1 blank.
double rasterInkEnd(const std::string& pdfPath, int page);

}  // namespace pdfink_test
