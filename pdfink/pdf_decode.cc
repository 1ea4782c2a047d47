// Stream data: the filter chain and the row predictors that may follow
// a FlateDecode pass.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "pdfink/inflate.h"
#include "pdfink/pdf_bytes.h"
#include "pdfink/pdf_reader.h"

namespace pdfink {
namespace {

constexpr double kMaxColors = 32;
constexpr double kMaxColumns = 1 << 24;

std::uint8_t paeth(int a, int b, int c) {
  int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

}  // namespace

bool Document::charge(std::size_t bytes) {
  if (bytes > decodeLeft_) {
    decodeLeft_ = 0;
    budgetSpent_ = true;
    return false;
  }
  decodeLeft_ -= bytes;
  return true;
}

bool Document::decodeStream(const ObjPtr& stream, std::vector<std::uint8_t>& out) {
  if (!stream || stream->kind != kStream) return false;
  if (stream->streamOffset > bytes.size() ||
      stream->streamLength > bytes.size() - stream->streamOffset)
    return false;

  std::vector<std::string> filters;
  ObjPtr filter = resolve(get(stream, "Filter"));
  if (filter->kind == kName) {
    filters.push_back(filter->text);
  } else if (filter->kind == kArray) {
    for (const auto& item : filter->items) {
      ObjPtr f = resolve(item);
      if (f->kind == kName) filters.push_back(f->text);
    }
  }

  const std::uint8_t* data = bytes.data() + stream->streamOffset;
  if (filters.empty()) {
    if (!charge(stream->streamLength)) return false;
    out.assign(data, data + stream->streamLength);
    return true;
  }
  std::vector<std::uint8_t> work(data, data + stream->streamLength);
  ObjPtr allParms = resolve(get(stream, "DecodeParms"));
  for (std::size_t i = 0; i < filters.size(); ++i) {
    if (filters[i] != "FlateDecode" && filters[i] != "Fl") return false;
    std::vector<std::uint8_t> next;
    // Partial output of a corrupt stream is still worth measuring; output
    // cut short by the budget is not.
    inflate(work.data(), work.size(), next, std::min(decodeLeft_, kInflateOutputLimit));
    if (!charge(next.size())) return false;
    work = std::move(next);
    ObjPtr parms = allParms;
    if (allParms->kind == kArray) parms = i < allParms->items.size() ? resolve(allParms->items[i]) : makeObj(kNull);
    if (parms->isDict() && !unpredict(parms, work)) return false;
  }
  out = std::move(work);
  return true;
}

std::shared_ptr<const std::vector<std::uint8_t>> Document::decodedContent(const ObjPtr& stream) {
  auto known = contents_.find(stream);
  if (known != contents_.end()) return charge(known->second->size()) ? known->second : nullptr;
  auto data = std::make_shared<std::vector<std::uint8_t>>();
  if (!decodeStream(stream, *data)) return nullptr;
  contents_.emplace(stream, data);
  return data;
}

bool Document::unpredict(const ObjPtr& parms, std::vector<std::uint8_t>& data) {
  auto param = [&](const char* key, double fallback) {
    ObjPtr v = resolve(get(parms, key));
    return v->kind == kNumber ? v->number : fallback;
  };
  // 2 is TIFF, 10 and up PNG (each row names its own filter); every other
  // value, and a predictor that is not an integer, means none.
  const double predictor = param("Predictor", 1), colors = param("Colors", 1),
               bits = param("BitsPerComponent", 8), columns = param("Columns", 1);
  if (predictor != 2 && !(predictor >= 10 && predictor == std::floor(predictor))) return true;
  if (!(colors >= 1 && colors <= kMaxColors && columns >= 1 && columns <= kMaxColumns) ||
      !(bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16))
    return false;
  const std::size_t bitsPerPixel = static_cast<std::size_t>(colors) * static_cast<std::size_t>(bits);
  const std::size_t bpp = bitsPerPixel < 8 ? 1 : bitsPerPixel / 8;
  const std::size_t rowBytes = (bitsPerPixel * static_cast<std::size_t>(columns) + 7) / 8;

  if (predictor == 2) {
    // TIFF differencing, byte-sized components only.
    if (bits != 8) return false;
    for (std::size_t row = 0; row < data.size(); row += rowBytes)
      for (std::size_t i = row + bpp; i < row + rowBytes && i < data.size(); ++i) data[i] += data[i - bpp];
    return true;
  }

  // PNG rows: a filter-type byte, then the row. Decoding in place is safe
  // because each output row ends before the input row it came from. No row
  // is longer than the data, whatever the parameters claim.
  std::vector<std::uint8_t> prior(std::min(rowBytes, data.size()), 0);
  std::size_t in = 0, out = 0;
  while (in < data.size()) {
    const std::uint8_t type = data[in++];
    const std::size_t n = std::min(rowBytes, data.size() - in);
    for (std::size_t i = 0; i < n; ++i) {
      const int left = i >= bpp ? data[out + i - bpp] : 0, up = prior[i], upLeft = i >= bpp ? prior[i - bpp] : 0;
      std::uint8_t x = data[in + i];
      switch (type) {
        case 1: x += left; break;
        case 2: x += up; break;
        case 3: x += (left + up) / 2; break;
        case 4: x += paeth(left, up, upLeft); break;
        default: break;
      }
      data[out + i] = x;
    }
    std::copy(data.begin() + out, data.begin() + out + n, prior.begin());
    in += n;
    out += n;
  }
  data.resize(out);
  return true;
}

}  // namespace pdfink
