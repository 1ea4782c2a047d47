#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pdfink {

// Largest output inflate() produces before giving up on a stream.
inline constexpr std::size_t kInflateOutputLimit = 128u * 1024u * 1024u;

// Decodes a raw deflate stream or one wrapped in a zlib header (the
// Adler-32 trailer is ignored). Appends to `out`; returns true only when
// the final block was decoded completely. On false, `out` keeps whatever
// was decoded before the error. Decoding stops, false, once `out` holds
// more than `limit` bytes (past it by one match or stored block at most).
bool inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out,
             std::size_t limit = kInflateOutputLimit);

}  // namespace pdfink
