#include "pdfink/pdf_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "pdfink/pdf_bytes.h"

namespace pdfink {
namespace {

constexpr int kMaxXrefSections = 32;
constexpr std::size_t kStartxrefWindow = 2048;
constexpr int kMaxScanDigits = 9;
constexpr std::size_t kMaxPages = 100000;
constexpr int kMaxParentChain = 64;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 31;  // 2 GiB
// Objects resolved inside the resolution of another (Length, reference
// chains, object streams) nest at most this deep.
constexpr int kMaxResolveDepth = 64;

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

bool Document::open(const std::string& path, std::string& error) {
  // Non-blocking, so a FIFO without a writer cannot hold the open.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + path;
    return false;
  }
  // Only a regular file has a size to trust: a directory, a FIFO or a device
  // would drive the allocation with nonsense or never end.
  struct stat st {};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size <= 0) {
    ::close(fd);
    error = "empty file";
    return false;
  }
  std::vector<std::uint8_t> data;
  bool ok = regular && static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes;
  if (ok) {
    data.resize(static_cast<std::size_t>(st.st_size));
    for (std::size_t got = 0; ok && got < data.size();) {
      ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) got += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) {
    error = "cannot read " + path;
    return false;
  }
  bytes = std::move(data);
  return index(error);
}

bool Document::openBytes(std::vector<std::uint8_t> data, std::string& error) {
  if (data.empty()) {
    error = "empty file";
    return false;
  }
  bytes = std::move(data);
  return index(error);
}

bool Document::index(std::string& error) {
  const std::size_t size = bytes.size();
  const std::uint8_t* buf = bytes.data();
  if (size < 16 || std::memcmp(buf, "%PDF-", 5) != 0) {
    error = "not a PDF";
    return false;
  }

  bool chainOk = false;
  const std::size_t lowest = size >= kStartxrefWindow ? size - kStartxrefWindow : 0;
  for (std::size_t at = size - 9 + 1; at-- > lowest;) {
    if (buf[at] != 's' || std::memcmp(buf + at, "startxref", 9) != 0) continue;
    std::size_t pos = at + 9;
    skipWhite(buf, size, pos);
    std::uint64_t offset = 0;
    bool overflow = false;
    while (pos < size && isDigit(buf[pos])) {
      if (offset > (UINT64_MAX - 9) / 10) overflow = true;
      offset = offset * 10 + (buf[pos++] - '0');
    }
    if (!overflow && offset != 0 && offset < size && readXrefChain(offset) && trailer &&
        trailer->isDict() && trailer->entries.count("Root"))
      chainOk = true;
    break;
  }
  // An index that cannot find the catalog (a Prev chain cut short) is no
  // better than none; what it resolved on the way is forgotten.
  if (chainOk && !resolve(get(trailer, "Root"))->isDict() && !offsetsFromScan_) {
    chainOk = false;
    cache.clear();
  }

  if (!chainOk) {
    offsets.clear();
    headersStale_ = true;
    packed.clear();
    trailer.reset();
    if (!fallbackScan()) {
      error = "no cross-reference table and no objects found";
      return false;
    }
  }

  ObjPtr root = resolve(get(trailer, "Root"));
  if (!root->isDict()) {
    error = "no catalog";
    return false;
  }
  return true;
}

bool Document::readXrefChain(std::uint64_t offset) {
  const std::size_t size = bytes.size();
  bool found = false;
  // Hidden sections of hybrid files count against the same limit, so no
  // chain of Prev and XRefStm offsets runs longer than it.
  for (int section = 0; section < kMaxXrefSections; ++section) {
    if (offset >= size) return found;
    std::size_t pos = static_cast<std::size_t>(offset);
    skipWhite(bytes.data(), size, pos);
    ObjPtr dict;
    if (startsWith(bytes.data(), size, pos, "xref")) {
      if (!readXrefTable(pos + 4, dict)) return false;
      // The table's own entries come first, then the stream's, then Prev.
      ObjPtr stm = get(dict, "XRefStm");
      ObjPtr hidden;
      if (stm->kind == kNumber && stm->number > 0 && stm->number < static_cast<double>(size) &&
          ++section < kMaxXrefSections)
        readXrefStream(static_cast<std::size_t>(stm->number), hidden);
    } else if (!readXrefStream(pos, dict)) {
      return false;
    }
    if (!found) trailer = dict;
    found = true;
    ObjPtr prev = get(dict, "Prev");
    if (prev->kind != kNumber || !(prev->number > 0 && prev->number < static_cast<double>(size))) return true;
    offset = static_cast<std::uint64_t>(prev->number);
  }
  return found;
}

bool Document::readXrefTable(std::size_t pos, ObjPtr& dict) {
  const std::size_t size = bytes.size();
  const std::uint8_t* buf = bytes.data();
  for (;;) {
    skipWhite(buf, size, pos);
    if (startsWith(buf, size, pos, "trailer")) break;
    ObjPtr first = parseObject(buf, size, pos);
    ObjPtr count = parseObject(buf, size, pos);
    if (!first || !count || first->kind != kNumber || count->kind != kNumber) return false;
    if (!(first->number >= 0 && first->number <= kMaxFirstObject && count->number >= 0 &&
          count->number <= kMaxSubsection))
      return false;
    auto firstNum = static_cast<std::int64_t>(first->number);
    auto n = static_cast<std::int64_t>(count->number);
    skipWhite(buf, size, pos);
    for (std::int64_t k = 0; k < n; ++k) {
      if (size - pos < 18) return false;
      std::uint64_t value = 0;
      for (std::size_t i = pos; i < pos + 17 && isDigit(buf[i]); ++i) value = value * 10 + (buf[i] - '0');
      if (buf[pos + 17] == 'n') record(static_cast<std::int32_t>(firstNum + k), value);
      pos += 18;
      while (pos < size && isWhite(buf[pos])) ++pos;
    }
  }
  pos += 7;
  dict = parseObject(buf, size, pos);
  return dict && dict->kind == kDictionary;
}

// The newest section is read first and wins. The index stops growing at
// one object per byte of the file: compressed index data cannot make a
// small file cost a large map.
bool Document::indexFull() const {
  return offsets.size() + packed.size() >= std::min(kMaxIndexed, bytes.size());
}

bool Document::record(std::int32_t number, std::uint64_t offset) {
  if (packed.count(number) || indexFull()) return false;
  headersStale_ = true;
  return offsets.emplace(number, offset).second;
}

bool Document::recordPacked(std::int32_t number, Packed where) {
  if (offsets.count(number) || indexFull()) return false;
  return packed.emplace(number, where).second;
}

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

ObjPtr Document::parseIndirect(std::int32_t number) {
  auto it = offsets.find(number);
  if (it != offsets.end()) return parseAt(it->second, number, true);
  return packed.count(number) ? parsePacked(number) : nullptr;
}

// A negative number accepts any object header. Without resolveLength an
// indirect Length is not followed (cross-reference streams are read before
// there is an index to follow it with).
ObjPtr Document::parseAt(std::uint64_t offset, std::int32_t number, bool resolveLength) {
  const std::size_t size = bytes.size();
  const std::uint8_t* buf = bytes.data();
  if (offset >= size) return nullptr;
  std::size_t pos = static_cast<std::size_t>(offset);
  const std::size_t end = number >= 0 ? nextHeader(offset) : size;
  ObjPtr num = parseObject(buf, end, pos);
  ObjPtr gen = parseObject(buf, end, pos);
  ObjPtr kw = parseObject(buf, end, pos);
  if (!num || !gen || !kw || num->kind != kNumber || gen->kind != kNumber || kw->kind != kKeyword ||
      kw->text != "obj" || (number >= 0 && num->number != static_cast<double>(number)))
    return nullptr;
  ObjPtr value = parseValue(buf, end, pos);
  if (!value || (value->kind == kKeyword && value->text == "endobj")) return makeObj(kNull);
  if (value->kind != kDictionary) return value;

  skipWhite(buf, size, pos);
  if (!startsWith(buf, size, pos, "stream")) return value;
  pos += 6;
  if (pos < size && buf[pos] == '\r') ++pos;
  if (pos < size && buf[pos] == '\n') ++pos;
  value->kind = kStream;
  value->streamOffset = pos;

  // Keep the placeholder for this object in the cache while Length is
  // resolved, so a Length pointing back at the stream resolves to null.
  ObjPtr length = resolveLength ? resolve(get(value, "Length")) : get(value, "Length");
  bool lengthOk = false;
  if (length->kind == kNumber && length->number > 0 &&
      length->number <= static_cast<double>(size - pos)) {
    auto len = static_cast<std::size_t>(length->number);
    std::size_t after = pos + len;
    skipWhite(buf, size, after);
    if (len != 0 && startsWith(buf, size, after, "endstream")) {
      value->streamLength = len;
      lengthOk = true;
    }
  }
  if (!lengthOk) {
    // The next endstream after pos is the same for every pos up to it, so
    // streams that all lack a usable Length share one search.
    std::size_t end;
    if (endstreamFrom_ != std::string::npos && pos >= endstreamFrom_ && pos <= endstreamAt_) {
      end = endstreamAt_;
    } else {
      end = findBytes(buf, size, pos, "endstream");
      if (end == std::string::npos) end = size;
      endstreamFrom_ = pos;
      endstreamAt_ = end;
    }
    while (end > pos && isWhite(buf[end - 1])) --end;
    value->streamLength = end - pos;
  }
  return value;
}

ObjPtr Document::resolve(const ObjPtr& obj) {
  if (!obj) return makeObj(kNull);
  if (obj->kind != kReference || readingIndex_) return obj->kind == kReference ? makeObj(kNull) : obj;
  const std::int32_t number = obj->objectNumber;
  auto cached = cache.find(number);
  if (cached != cache.end()) return cached->second;
  // Too deep is null for this caller only: not cached, so a shallower
  // path still finds the object.
  if (resolveDepth_ >= kMaxResolveDepth) return makeObj(kNull);
  struct Nest {
    int& depth;
    explicit Nest(int& d) : depth(++d) {}
    ~Nest() { --depth; }
  } nest(resolveDepth_);
  cache[number] = makeObj(kNull);

  ObjPtr result;
  bool known = offsets.count(number) != 0 || packed.count(number) != 0;
  if (known) {
    result = parseIndirect(number);
    static thread_local bool repairing = false;
    if (!result && !repairing && !offsetsFromScan_) {
      repairing = true;
      offsets.clear();
      headersStale_ = true;
      packed.clear();
      ObjPtr oldTrailer = trailer;
      trailer.reset();
      fallbackScan();
      if (!trailer || !trailer->entries.count("Root")) trailer = oldTrailer;
      result = parseIndirect(number);
      repairing = false;
    }
  }
  if (!result) result = makeObj(kNull);
  if (result->kind == kReference) result = resolve(result);
  cache[number] = result;
  return result;
}

ObjPtr Document::get(const ObjPtr& container, const std::string& key) const {
  if (!container || !container->isDict()) return makeObj(kNull);
  auto it = container->entries.find(key);
  return it == container->entries.end() ? makeObj(kNull) : it->second;
}

double Document::number(const ObjPtr& element, double fallback) {
  ObjPtr v = resolve(element);
  return v->kind == kNumber ? v->number : fallback;
}

ObjPtr Document::inherited(const ObjPtr& page, const std::string& key) {
  ObjPtr node = page;
  for (int i = 0; i < kMaxParentChain && node && node->isDict(); ++i) {
    auto it = node->entries.find(key);
    if (it != node->entries.end()) return resolve(it->second);
    node = resolve(get(node, "Parent"));
  }
  return makeObj(kNull);
}

const std::vector<ObjPtr>& Document::pages() {
  if (pagesLoaded) return pageList;
  pagesLoaded = true;
  ObjPtr root = resolve(get(trailer, "Root"));
  ObjPtr tree = resolve(get(root, "Pages"));
  std::set<const Obj*> visited;
  walkPages(tree, 0, visited);
  return pageList;
}

void Document::walkPages(const ObjPtr& node, int depth, std::set<const Obj*>& visited) {
  if (!node || !node->isDict() || depth > kMaxDepth || pageList.size() > kMaxPages) return;
  if (!visited.insert(node.get()).second) return;
  ObjPtr type = resolve(get(node, "Type"));
  ObjPtr kids = resolve(get(node, "Kids"));
  if (kids->kind == kArray) {
    for (const auto& kid : kids->items) walkPages(resolve(kid), depth + 1, visited);
    return;
  }
  if (!type->isName("Pages")) pageList.push_back(node);
}

}  // namespace pdfink
