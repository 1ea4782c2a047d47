#include "client/page_number.h"

#include <algorithm>
#include <cmath>

double PageNumber(const engine::Json& v, double lo, double hi, double fallback) {
  if (!v.is_number()) return fallback;
  const double d = v.get<double>();
  return std::isfinite(d) ? std::clamp(d, lo, hi) : fallback;
}

double PageNumber(const engine::Json& obj, const char* key, double lo, double hi, double fallback) {
  auto it = obj.is_object() ? obj.find(key) : obj.end();
  return it == obj.end() ? fallback : PageNumber(*it, lo, hi, fallback);
}

long long PageInt(const engine::Json& v, long long lo, long long hi, long long fallback) {
  const double d = PageNumber(v, static_cast<double>(lo), static_cast<double>(hi), NAN);
  return std::isnan(d) ? fallback : static_cast<long long>(std::trunc(d));
}
