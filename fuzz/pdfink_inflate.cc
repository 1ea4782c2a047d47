// Inflate arbitrary bytes; partial output must stay within the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pdfink/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  pdfink::inflate(data, size, out);
  if (out.size() > pdfink::kInflateOutputLimit + 258) std::abort();
  return 0;
}
