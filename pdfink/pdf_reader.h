#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pdfink {

// Bytes of decoded stream data one document hands out, all streams and
// every use together: far more than the pages the browser prints need, and
// it keeps a small file from costing gigabytes. Every token the interpreter
// reads is one of these bytes, so it bounds the interpreter's work as well
// (about a second at worst).
inline constexpr std::size_t kDecodeBudget = 32u * 1024u * 1024u;

enum ObjKind : std::uint32_t {
  kNull = 0,
  kBoolean = 1,
  kNumber = 2,
  kString = 3,
  kName = 4,
  kArray = 5,
  kDictionary = 6,
  kStream = 7,
  kReference = 8,
  kKeyword = 9,
};

struct Obj;
using ObjPtr = std::shared_ptr<Obj>;

// One parsed PDF object. Stream data is never copied: a stream is a
// dictionary that remembers where its bytes lie in the file.
struct Obj {
  std::uint32_t kind = kNull;
  std::uint8_t boolean = 0;
  double number = 0;
  std::string text;
  std::vector<ObjPtr> items;
  std::map<std::string, ObjPtr> entries;
  std::uint64_t streamOffset = 0;
  std::uint64_t streamLength = 0;
  std::int32_t objectNumber = 0;
  std::int32_t generation = 0;

  bool isDict() const { return kind == kDictionary || kind == kStream; }
  bool isName(const char* name) const { return kind == kName && text == name; }
};

// Lexer/parser over any byte buffer. Returns nullptr when no object is
// left (end of buffer). parseValue also turns "N G R" into a reference.
ObjPtr parseObject(const std::uint8_t* buf, std::size_t size, std::size_t& pos, int depth = 0);
ObjPtr parseValue(const std::uint8_t* buf, std::size_t size, std::size_t& pos, int depth = 0);

// One opened PDF file, read into memory once.
class Document {
 public:
  bool open(const std::string& path, std::string& error);
  // Opens from a buffer already in memory (tests, fuzzing).
  bool openBytes(std::vector<std::uint8_t> data, std::string& error);

  ObjPtr resolve(const ObjPtr& obj);
  ObjPtr get(const ObjPtr& container, const std::string& key) const;
  double number(const ObjPtr& element, double fallback);
  ObjPtr inherited(const ObjPtr& page, const std::string& key);
  // Fails for an unsupported filter or predictor, a stream outside the
  // file, or when the decode budget runs out.
  bool decodeStream(const ObjPtr& stream, std::vector<std::uint8_t>& out);
  // Content to interpret: decoded on first use and kept; every use counts
  // against the budget, since reading it again costs as much. nullptr when
  // it cannot be decoded.
  std::shared_ptr<const std::vector<std::uint8_t>> decodedContent(const ObjPtr& stream);
  // Some decoding failed because the budget ran out.
  bool decodeBudgetSpent() const { return budgetSpent_; }
  // Undoes a DecodeParms predictor in place; false for one not supported.
  bool unpredict(const ObjPtr& parms, std::vector<std::uint8_t>& data);
  const std::vector<ObjPtr>& pages();

  // Where an object sits inside an object stream.
  struct Packed {
    std::int32_t stream;
    std::uint32_t index;
  };

  std::vector<std::uint8_t> bytes;
  std::map<std::int32_t, std::uint64_t> offsets;
  std::map<std::int32_t, Packed> packed;
  std::map<std::int32_t, ObjPtr> cache;
  ObjPtr trailer;
  std::vector<ObjPtr> pageList;
  bool pagesLoaded = false;

 private:
  bool index(std::string& error);
  struct ObjectStream {
    std::vector<std::uint8_t> data;
    std::vector<std::pair<std::int32_t, std::size_t>> objects;  // number, offset in data
    std::map<std::int32_t, std::size_t> byNumber;               // built on the first index miss
    std::vector<std::size_t> starts;                            // object offsets, ascending
    std::int32_t extends = -1;
  };

  bool readXrefChain(std::uint64_t offset);
  bool readXrefTable(std::size_t pos, ObjPtr& dict);
  bool readXrefStream(std::size_t pos, ObjPtr& dict);
  bool indexFull() const;
  bool record(std::int32_t number, std::uint64_t offset);
  bool recordPacked(std::int32_t number, Packed where);
  bool fallbackScan();
  void scanObjectStreams();
  ObjPtr parseIndirect(std::int32_t number);
  ObjPtr parseAt(std::uint64_t offset, std::int32_t number, bool resolveLength);
  ObjPtr parsePacked(std::int32_t number);
  std::size_t nextHeader(std::uint64_t offset);
  bool charge(std::size_t bytes);
  ObjectStream* objectStream(std::int32_t number);
  void walkPages(const ObjPtr& node, int depth, std::set<const Obj*>& visited);

  // Set once the offset table comes from a full scan: a repair would only
  // rebuild the same table.
  bool offsetsFromScan_ = false;
  int resolveDepth_ = 0;
  bool readingIndex_ = false;
  std::map<std::int32_t, std::shared_ptr<ObjectStream>> objectStreams_;
  // Object header offsets in file order, rebuilt after the table changes.
  std::vector<std::uint64_t> headers_;
  bool headersStale_ = true;
  std::size_t decodeLeft_ = kDecodeBudget;
  bool budgetSpent_ = false;
  std::map<ObjPtr, std::shared_ptr<const std::vector<std::uint8_t>>> contents_;
  std::size_t endstreamFrom_ = std::string::npos;
  std::size_t endstreamAt_ = 0;
};

}  // namespace pdfink
