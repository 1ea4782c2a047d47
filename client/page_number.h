// Numbers that page scripts return are the page's to choose: NaN, 1e300,
// -Infinity, counts past int. Each one reaches C++ through these, clamped to
// the range its use can hold, so no cast meets a value it cannot represent.
#pragma once

#include "engine/engine.h"

// The longest length in CSS pixels taken from a page: far past anything the
// browser lays out (about 3.4e7 px), far below int.
inline constexpr long long kMaxPagePx = 100000000;

// v clamped to [lo, hi]; fallback when v is no finite number.
double PageNumber(const engine::Json& v, double lo, double hi, double fallback);
// obj[key] the same way; fallback when obj has no such member.
double PageNumber(const engine::Json& obj, const char* key, double lo, double hi, double fallback);
// Truncated toward zero, then clamped; lo and hi within ±2^53.
long long PageInt(const engine::Json& v, long long lo, long long hi, long long fallback);
