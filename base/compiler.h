// What differs between compilers, in one place.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Lets the compiler check a printf-style format against its arguments.
#define QVX_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define QVX_PRINTF_FORMAT(format_index, first_arg)
#endif

namespace QVX::Base {
// Asks for the cache line holding `address` to be read ahead of use; a hint that never
// faults, whatever the address.
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}
}  // namespace QVX::Base
