#include "volume_formats/text_numbers.h"

#include <charconv>
#include <cstring>

namespace QVX::VolumeFormats {
namespace {

const char* skip_space(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  return p;
}

// from_chars takes no '+'; scanf does.
const char* skip_plus(const char* p) { return (*p == '+' && p[1] != '-') ? p + 1 : p; }

template <typename T>
int scan(const char* text, T* out, int count) {
  const char* p = text;
  const char* const end = text + std::strlen(text);
  for (int i = 0; i < count; ++i) {
    p = skip_plus(skip_space(p));
    T value{};
    const auto [next, error] = std::from_chars(p, end, value);
    if (error != std::errc() || next == p) return i;
    out[i] = value;
    p = next;
  }
  return count;
}

}  // namespace

int scan_int32(const char* text, int32_t* out, int count) { return scan(text, out, count); }

int scan_double(const char* text, double* out, int count) { return scan(text, out, count); }

}  // namespace QVX::VolumeFormats
