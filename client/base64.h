// Base64 with the standard alphabet (RFC 4648 section 4).
#pragma once

#include <string>
#include <string_view>

// Encodes bytes with '=' padding to a multiple of four characters.
std::string Base64Encode(std::string_view bytes);

// Decodes into *out (replacing its contents). Decoding stops at the first
// '=': whatever follows it is ignored, so missing padding is accepted and
// padding is never counted. Before that point every byte must belong to the
// alphabet (no whitespace or line breaks) and the character count must not
// leave a lone sextet. Unused low bits of a final partial group are dropped
// without checking. Returns false on invalid input; *out is then empty.
bool Base64Decode(std::string_view text, std::string* out);
