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
constexpr std::size_t kMaxPages = 100000;
constexpr int kMaxParentChain = 64;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 31;  // 2 GiB
// Objects resolved inside the resolution of another (Length, reference
// chains, object streams) nest at most this deep.
constexpr int kMaxResolveDepth = 64;

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
