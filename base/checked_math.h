// Overflow-checked arithmetic for sizes read from files.
#pragma once

#include <cstdint>
#include <limits>

namespace QVX::Base {

// a * b into `out`; false (and `out` unchanged) when the product does not fit.
inline bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
  out = a * b;
  return true;
}

// a + b into `out`; false (and `out` unchanged) when the sum does not fit.
inline bool checked_add(uint64_t a, uint64_t b, uint64_t& out) {
  if (b > std::numeric_limits<uint64_t>::max() - a) return false;
  out = a + b;
  return true;
}

}  // namespace QVX::Base
