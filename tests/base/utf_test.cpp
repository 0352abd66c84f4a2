// UTF-8 and wide text, and the directory part of a path.
#include "base/utf.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "base/path.h"

namespace QVX::Base {
namespace {

TEST(Utf, WellFormedTextRoundTrips) {
  const std::pair<std::string, std::wstring> cases[] = {
      // The lowest code point of each sequence length and the highest; a path.
      {std::string("\x00\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 14),
       std::wstring(L"\0\u0080\u0800\U00010000\U0010FFFF", sizeof(wchar_t) == 2 ? 7 : 5)},
      {"/data/Schädel_μCT_頭部_🦴", L"/data/Sch\u00E4del_\u03BCCT_\u982D\u90E8_\U0001F9B4"}};
  for (const auto& [utf8, wide] : cases) {
    EXPECT_EQ(utf8_to_wide(utf8), wide) << utf8;
    EXPECT_EQ(wide_to_utf8(wide), utf8);
    EXPECT_EQ(wide_to_utf8_lossy(wide), utf8);
  }
}

TEST(Utf, IllFormedUtf8IsRejected) {
  // Truncated, cut by ASCII, stray continuation, overlong (2, 3, 4 bytes), encoded
  // surrogate, above U+10FFFF, invalid lead bytes.
  for (const char* utf8 :
       {"ab\xC3", "\xE2\x82z", "a\x80z", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF",
        "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xFF"})
    EXPECT_THROW(utf8_to_wide(utf8), std::range_error) << testing::PrintToString(utf8);
}

TEST(Utf, IllFormedWideTextIsRejectedStrictlyAndReplacedLossily) {
  const wchar_t high = 0xD800, low = 0xDC00;
  // Above U+10FFFF and negative; where wchar_t has 16 bits, lone low surrogates instead.
  const auto above = static_cast<wchar_t>(sizeof(wchar_t) == 2 ? 0xDFFF : 0x110000);
  const auto negative = static_cast<wchar_t>(sizeof(wchar_t) == 2 ? 0xDFFF : -1);
  // A high surrogate before a non-surrogate; a lone low surrogate, then a high one at the end.
  const std::pair<std::wstring, std::string> cases[] = {
      {{L'a', high, L'z'}, "a\xEF\xBF\xBDz"},
      {{low, high}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {{L'x', above, negative}, "x\xEF\xBF\xBD\xEF\xBF\xBD"}};
  for (const auto& [wide, lossy] : cases) {
    EXPECT_THROW(wide_to_utf8(wide), std::range_error) << lossy;
    EXPECT_EQ(wide_to_utf8_lossy(wide), lossy);
  }
}

TEST(Path, DirectoryPrefixKeepsDirectoryAndSeparator) {
  const std::pair<std::wstring, std::wstring> cases[] = {{L"/data/vol.hdr", L"/data/"},
                                                         {L"vol.hdr", L"./"},
                                                         {L"", L"./"},
                                                         {L"/vol.hdr", L"/"},
                                                         {L"scans/a.b/vol", L"scans/a.b/"}};
  for (const auto& [path, prefix] : cases)
    EXPECT_EQ(directory_prefix(path), prefix) << testing::PrintToString(path);
}

}  // namespace
}  // namespace QVX::Base
