// What differs between compilers, in one place.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Lets the compiler check a printf-style format against its arguments.
#define QVX_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define QVX_PRINTF_FORMAT(format_index, first_arg)
#endif
