// Conversions between UTF-8 and the platform's wide strings (UTF-16 where wchar_t has
// 16 bits, UTF-32 where it has 32). Paths travel through the library as wide strings.
#pragma once

#include <string>
#include <string_view>

namespace QVX::Base {

// Strict conversions: ill-formed input (truncated or overlong sequences, surrogates
// encoded in UTF-8, lone or misordered surrogates, code points above U+10FFFF) throws
// std::range_error("bad conversion"). No byte-order mark is read or written.
std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);

// For diagnostics only: never throws, writes U+FFFD for what cannot be converted.
std::string wide_to_utf8_lossy(std::wstring_view wide);

}  // namespace QVX::Base
