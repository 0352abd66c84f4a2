// Numbers in header text, read the way scanf's "%d" and "%lf" read them, but independent
// of the process locale and without undefined behaviour on overflow.
#pragma once

#include <cstdint>

namespace QVX::VolumeFormats {

// Reads up to `count` white-space separated decimal integers from `text` into `out` and
// returns how many were read; reading stops at the first that is missing, malformed or
// outside the 32-bit signed range. Values not read stay unchanged.
int scan_int32(const char* text, int32_t* out, int count);

// The same for floating-point numbers (decimal, exponent, inf, nan).
int scan_double(const char* text, double* out, int count);

}  // namespace QVX::VolumeFormats
