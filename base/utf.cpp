#include "base/utf.h"

#include <climits>
#include <cstdint>
#include <stdexcept>

namespace QVX::Base {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWide16 = WCHAR_MAX <= 0xFFFF;

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

[[noreturn]] void bad_conversion() { throw std::range_error("bad conversion"); }

void append_wide(std::wstring& out, char32_t cp) {
  if (kWide16 && cp > 0xFFFF) {
    cp -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(cp));
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes the code point that starts at wide[i] and advances i; returns false for a lone
// or misordered surrogate or a value above U+10FFFF.
bool next_wide(std::wstring_view wide, size_t& i, char32_t& cp) {
  const auto unit = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i++]));
  if (kWide16 && unit >= 0xD800 && unit <= 0xDBFF) {
    if (i == wide.size()) return false;
    const auto low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
    if (low < 0xDC00 || low > 0xDFFF) return false;
    ++i;
    cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    return true;
  }
  cp = unit;
  return !is_surrogate(unit) && unit <= 0x10FFFF;
}

std::string to_utf8(std::wstring_view wide, bool strict) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size();) {
    char32_t cp = 0;
    if (!next_wide(wide, i, cp)) {
      if (strict) bad_conversion();
      cp = kReplacement;
    }
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace

std::wstring utf8_to_wide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
      bad_conversion();  // a continuation byte or 0xF8..0xFF where a sequence must start
    }
    if (n - i - 1 < extra) bad_conversion();  // truncated sequence
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char c = s[i + k];
      if ((c & 0xC0) != 0x80) bad_conversion();
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || is_surrogate(cp)) bad_conversion();
    append_wide(out, cp);
    i += extra + 1;
  }
  return out;
}

std::string wide_to_utf8(std::wstring_view wide) { return to_utf8(wide, true); }

std::string wide_to_utf8_lossy(std::wstring_view wide) { return to_utf8(wide, false); }

}  // namespace QVX::Base
