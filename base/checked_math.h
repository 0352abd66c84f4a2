// Overflow-checked arithmetic for sizes read from files.
#pragma once

#include <cstdint>

namespace QVX::Base {

// a * b into `out`; false (and `out` unspecified) when the product does not fit.
inline bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

inline bool checked_add(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}

}  // namespace QVX::Base
