// Open and measure arbitrary bytes as a PDF. Inputs that are not PDFs
// get a minimal header so the fuzzer spends its time past the first check.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pdfink/ink_measure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes;
  if (size < 5 || std::memcmp(data, "%PDF-", 5) != 0) {
    static const char header[] = "%PDF-1.4\n";
    bytes.assign(header, header + sizeof header - 1);
  }
  bytes.insert(bytes.end(), data, data + size);
  pdfink::InkOptions options = pdfink::commandModeOptions();
  if (size > 0 && (data[size - 1] & 1)) {
    options.skipCanvas = true;
    options.fixedRects = {{0, 700, 612, 792}};
  }
  pdfink::InkResult result;
  pdfink::measureInkBytes(std::move(bytes), options, result);
  return 0;
}
