// What differs between compilers, in one place.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Lets the compiler check a printf-style format against its arguments.
#define QVX_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define QVX_PRINTF_FORMAT(format_index, first_arg)
#endif

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QVX_PREFETCH_ASM 1
#elif defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#endif

namespace QVX::Base {
// Ask for the cache line holding `address` to be read ahead of use, into the first-level
// cache (prefetch) or only the second (prefetch_l2); hints that never fault, whatever the
// address. On x86 an asm statement: GCC finds a function that only calls
// __builtin_prefetch free of side effects and drops the calls to it at -O2.
inline void prefetch(const void* address) {
#if defined(QVX_PREFETCH_ASM)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#elif defined(_M_X64) || defined(_M_IX86)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 0, 3);
#else
  (void)address;
#endif
}

inline void prefetch_l2(const void* address) {
#if defined(QVX_PREFETCH_ASM)
  asm volatile("prefetcht1 %0" : : "m"(*static_cast<const char*>(address)));
#elif defined(_M_X64) || defined(_M_IX86)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T1);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 0, 2);
#else
  (void)address;
#endif
}
}  // namespace QVX::Base
