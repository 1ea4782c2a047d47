// Finding objects without a cross-reference table: the scan for object
// headers and trailers, and the order of headers that bounds every parse.
#include <algorithm>
#include <set>

#include "pdfink/pdf_bytes.h"
#include "pdfink/pdf_reader.h"

namespace pdfink {
namespace {

constexpr int kMaxScanDigits = 9;

// "N G obj" at offset, after optional white space.
bool isHeader(const std::uint8_t* buf, std::size_t size, std::uint64_t offset) {
  std::size_t pos = offset < size ? static_cast<std::size_t>(offset) : size;
  skipWhite(buf, size, pos);
  for (int part = 0; part < 2; ++part) {
    const std::size_t digits = pos;
    while (pos < size && isDigit(buf[pos])) ++pos;
    if (pos == digits || (part == 0 && (pos >= size || !isWhite(buf[pos])))) return false;
    while (pos < size && isWhite(buf[pos])) ++pos;
  }
  return startsWith(buf, size, pos, "obj");
}

}  // namespace

bool Document::fallbackScan() {
  const std::size_t size = bytes.size();
  const std::uint8_t* buf = bytes.data();
  offsetsFromScan_ = true;

  for (std::size_t at = findBytes(buf, size, 0, "obj"); at != std::string::npos;
       at = findBytes(buf, size, at + 1, "obj")) {
    if (at + 3 < size && !isWhite(buf[at + 3]) && !isDelim(buf[at + 3])) continue;
    std::size_t p = at;
    while (p > 0 && isWhite(buf[p - 1])) --p;
    std::size_t genEnd = p;
    while (p > 0 && isDigit(buf[p - 1])) --p;
    if (p == genEnd) continue;
    std::size_t wsEnd = p;
    while (p > 0 && isWhite(buf[p - 1])) --p;
    if (p == wsEnd) continue;
    std::size_t numEnd = p;
    while (p > 0 && isDigit(buf[p - 1]) && numEnd - p <= kMaxScanDigits) --p;
    std::size_t digits = numEnd - p;
    if (digits == 0 || digits > kMaxScanDigits) continue;
    if (p > 0 && !isWhite(buf[p - 1]) && !isDelim(buf[p - 1])) continue;
    std::int32_t number = 0;
    for (std::size_t i = p; i < numEnd; ++i) number = number * 10 + (buf[i] - '0');
    offsets[number] = p;
  }
  headersStale_ = true;

  // A trailer's dictionary ends before the next trailer; parsing no further
  // keeps the scan linear when every one of them is left open.
  for (std::size_t at = findBytes(buf, size, 0, "trailer"), next; at != std::string::npos; at = next) {
    next = findBytes(buf, size, at + 1, "trailer");
    std::size_t pos = at + 7;
    ObjPtr dict = parseObject(buf, next == std::string::npos ? size : next, pos);
    if (dict && dict->kind == kDictionary && dict->entries.count("Root")) trailer = dict;
  }

  scanObjectStreams();

  if (!trailer) {
    std::set<std::int32_t> numbers;
    for (const auto& entry : offsets) numbers.insert(entry.first);
    for (const auto& entry : packed) numbers.insert(entry.first);
    for (std::int32_t number : numbers) {
      auto ref = makeObj(kReference);
      ref->objectNumber = number;
      ObjPtr obj = resolve(ref);
      if (obj->isDict()) {
        auto type = obj->entries.find("Type");
        if (type != obj->entries.end() && type->second->isName("Catalog")) {
          trailer = makeObj(kDictionary);
          trailer->entries["Root"] = ref;
          break;
        }
      }
    }
  }
  return trailer != nullptr && !offsets.empty();
}

// Where the next object header after offset lies (the file's end when none
// does): an object's value cannot reach past it, and stopping there keeps a
// file of objects left open from costing a parse to the end for each one.
// A table entry that points at no header is no bound: it would cut short
// the object it points into.
std::size_t Document::nextHeader(std::uint64_t offset) {
  if (headersStale_) {
    headers_.clear();
    for (const auto& entry : offsets)
      if (isHeader(bytes.data(), bytes.size(), entry.second)) headers_.push_back(entry.second);
    std::sort(headers_.begin(), headers_.end());
    headersStale_ = false;
  }
  auto next = std::upper_bound(headers_.begin(), headers_.end(), offset);
  return next == headers_.end() || *next > bytes.size() ? bytes.size() : static_cast<std::size_t>(*next);
}

}  // namespace pdfink
