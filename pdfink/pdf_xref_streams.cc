// Compressed indexes: cross-reference streams, and object streams whose
// objects are found by number like any other.
#include <algorithm>
#include <set>

#include "pdfink/pdf_bytes.h"
#include "pdfink/pdf_reader.h"

namespace pdfink {
namespace {

constexpr int kFieldCount = 3;
constexpr double kMaxFieldWidth = 8;
constexpr std::size_t kMaxExtends = 64;

}  // namespace

bool Document::readXrefStream(std::size_t pos, ObjPtr& dict) {
  ObjPtr stream = parseAt(pos, -1, false);
  if (!stream || stream->kind != kStream || !get(stream, "Type")->isName("XRef")) return false;
  ObjPtr w = get(stream, "W");
  if (w->kind != kArray || w->items.size() < kFieldCount) return false;
  std::size_t widths[kFieldCount], entry = 0;
  for (int f = 0; f < kFieldCount; ++f) {
    const ObjPtr& v = w->items[f];
    if (v->kind != kNumber || !(v->number >= 0 && v->number <= kMaxFieldWidth)) return false;
    widths[f] = static_cast<std::size_t>(v->number);
    entry += widths[f];
  }
  if (entry == 0) return false;

  std::vector<double> ranges;
  ObjPtr index = get(stream, "Index");
  if (index->kind == kArray) {
    for (const auto& v : index->items) {
      if (v->kind != kNumber) return false;
      ranges.push_back(v->number);
    }
  } else {
    ObjPtr count = get(stream, "Size");
    if (count->kind != kNumber) return false;
    ranges = {0, count->number};
  }

  // Nothing is indexed yet, so nothing the decoder looks up can resolve.
  std::vector<std::uint8_t> data;
  readingIndex_ = true;
  bool decoded = decodeStream(stream, data);
  readingIndex_ = false;
  if (!decoded) return false;

  dict = stream;
  std::size_t at = 0;
  for (std::size_t r = 0; r + 1 < ranges.size() && !indexFull(); r += 2) {
    const double first = ranges[r], count = ranges[r + 1];
    if (!(first >= 0 && first <= kMaxFirstObject && count >= 0 && count <= kMaxSubsection)) return false;
    for (std::int64_t k = 0; k < static_cast<std::int64_t>(count) && !indexFull(); ++k) {
      if (data.size() - at < entry) return false;
      std::uint64_t field[kFieldCount] = {};
      for (int f = 0; f < kFieldCount; ++f)
        for (std::size_t b = 0; b < widths[f]; ++b) field[f] = field[f] << 8 | data[at++];
      if (widths[0] == 0) field[0] = 1;
      const auto number = static_cast<std::int32_t>(static_cast<std::int64_t>(first) + k);
      if (field[0] == 1) {
        record(number, field[1]);
      } else if (field[0] == 2 && field[1] <= static_cast<std::uint64_t>(kMaxFirstObject) &&
                 field[2] <= UINT32_MAX) {
        recordPacked(number, {static_cast<std::int32_t>(field[1]), static_cast<std::uint32_t>(field[2])});
      }
    }
  }
  return true;
}

Document::ObjectStream* Document::objectStream(std::int32_t number) {
  auto known = objectStreams_.find(number);
  if (known != objectStreams_.end()) return known->second.get();
  // Reached again while it loads (a Length inside itself): missing.
  objectStreams_[number] = nullptr;
  auto ref = makeObj(kReference);
  ref->objectNumber = number;
  ObjPtr stream = resolve(ref);
  ObjPtr n = resolve(get(stream, "N")), first = resolve(get(stream, "First"));
  if (stream->kind != kStream || n->kind != kNumber || first->kind != kNumber || !(first->number >= 0))
    return nullptr;
  std::vector<std::uint8_t> data;
  if (!decodeStream(stream, data) || first->number > static_cast<double>(data.size())) return nullptr;

  auto s = std::make_shared<ObjectStream>();
  const auto firstAt = static_cast<std::size_t>(first->number);
  const double room = static_cast<double>(data.size() - firstAt);
  std::size_t pos = 0;
  // N only bounds the pairs read: the header itself says how many there are.
  for (double k = 0; k < n->number; ++k) {
    ObjPtr num = parseObject(data.data(), firstAt, pos), off = parseObject(data.data(), firstAt, pos);
    if (!num || !off || num->kind != kNumber || off->kind != kNumber || !(num->number >= 0) ||
        num->number > kMaxFirstObject || !(off->number >= 0) || off->number >= room)
      break;
    s->objects.emplace_back(static_cast<std::int32_t>(num->number), firstAt + static_cast<std::size_t>(off->number));
  }
  for (const auto& object : s->objects) s->starts.push_back(object.second);
  std::sort(s->starts.begin(), s->starts.end());
  ObjPtr extends = get(stream, "Extends");
  if (extends->kind == kReference) s->extends = extends->objectNumber;
  s->data = std::move(data);
  objectStreams_[number] = s;
  return s.get();
}

ObjPtr Document::parsePacked(std::int32_t number) {
  auto it = packed.find(number);
  if (it == packed.end()) return nullptr;
  std::int32_t streamNumber = it->second.stream;
  std::size_t index = it->second.index;
  // An object missing from the stream its entry names may sit in one
  // that stream extends.
  std::set<std::int32_t> seen;
  while (streamNumber >= 0 && seen.size() < kMaxExtends && seen.insert(streamNumber).second) {
    ObjectStream* s = objectStream(streamNumber);
    if (s == nullptr) return nullptr;
    std::size_t at = std::string::npos;
    if (index < s->objects.size() && s->objects[index].first == number) {
      at = s->objects[index].second;
    } else {
      if (s->byNumber.empty())
        for (const auto& [n, offset] : s->objects) s->byNumber.emplace(n, offset);
      auto hit = s->byNumber.find(number);
      if (hit != s->byNumber.end()) at = hit->second;
    }
    if (at != std::string::npos) {
      // An object ends where the next begins, so that objects left open
      // cannot make every one of them a parse to the end of the stream.
      auto next = std::upper_bound(s->starts.begin(), s->starts.end(), at);
      ObjPtr value = parseValue(s->data.data(), next == s->starts.end() ? s->data.size() : *next, at);
      return value ? value : makeObj(kNull);
    }
    streamNumber = s->extends;
    index = SIZE_MAX;
  }
  return nullptr;
}

// Every "/ObjStm" belongs to the object whose header comes last before
// it; that object's stream, when it is one, adds its objects. Between a
// direct and a packed definition, the one later in the file wins.
void Document::scanObjectStreams() {
  const std::size_t size = bytes.size();
  const std::uint8_t* buf = bytes.data();
  std::vector<std::pair<std::uint64_t, std::int32_t>> headers;
  for (const auto& [number, offset] : offsets) headers.emplace_back(offset, number);
  std::sort(headers.begin(), headers.end());
  std::set<std::int32_t> done;
  for (std::size_t at = findBytes(buf, size, 0, "/ObjStm"); at != std::string::npos;
       at = findBytes(buf, size, at + 1, "/ObjStm")) {
    auto h = std::upper_bound(headers.begin(), headers.end(), std::make_pair(std::uint64_t{at}, INT32_MAX));
    if (h == headers.begin()) continue;
    const auto [streamAt, streamNumber] = *--h;
    if (!done.insert(streamNumber).second) continue;
    ObjectStream* s = objectStream(streamNumber);
    if (s == nullptr) continue;
    for (std::size_t i = 0; i < s->objects.size(); ++i) {
      const std::int32_t number = s->objects[i].first;
      auto direct = offsets.find(number);
      if (direct != offsets.end()) {
        if (direct->second >= streamAt) continue;
        offsets.erase(direct);
      }
      if (packed.count(number) == 0 && indexFull()) return;
      packed[number] = {streamNumber, static_cast<std::uint32_t>(i)};
    }
  }
}

}  // namespace pdfink
