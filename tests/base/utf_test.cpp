#include "base/utf.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace QVX::Base {
namespace {

struct RoundTrip {
  const char* what;
  std::string utf8;
  std::wstring wide;
};

TEST(Utf, WellFormedTextRoundTrips) {
  const RoundTrip cases[] = {
      {"empty", "", L""},
      {"ASCII", "vol_01.hdr", L"vol_01.hdr"},
      {"two-byte sequence", "\xC3\xA4", L"\u00E4"},
      {"three-byte sequence", "\xE2\x82\xAC", L"\u20AC"},
      {"four-byte sequence", "\xF0\x9F\xA6\xB4", L"\U0001F9B4"},
      {"highest code point", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
      {"lowest of each length", std::string("\x00\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80", 10),
       std::wstring(L"\0\u0080\u0800\U00010000", sizeof(wchar_t) == 2 ? 5 : 4)},
      {"non-ASCII path", "/data/Schädel_μCT_頭部_🦴",
       L"/data/Sch\u00E4del_\u03BCCT_\u982D\u90E8_\U0001F9B4"},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(utf8_to_wide(c.utf8), c.wide);
    EXPECT_EQ(wide_to_utf8(c.wide), c.utf8);
    EXPECT_EQ(wide_to_utf8_lossy(c.wide), c.utf8);
  }
}

TEST(Utf, IllFormedUtf8IsRejected) {
  struct Case {
    const char* what;
    std::string utf8;
  };
  const Case cases[] = {
      {"truncated two-byte sequence", "ab\xC3"},
      {"truncated four-byte sequence", "\xF0\x9F\xA6"},
      {"sequence cut by an ASCII byte", "\xE2\x82z"},
      {"lone continuation byte", "a\x80z"},
      {"overlong two-byte slash", "\xC0\xAF"},
      {"overlong three-byte slash", "\xE0\x80\xAF"},
      {"overlong four-byte form", "\xF0\x8F\xBF\xBF"},
      {"encoded high surrogate", "\xED\xA0\x80"},
      {"encoded low surrogate", "\xED\xBF\xBF"},
      {"code point above U+10FFFF", "\xF4\x90\x80\x80"},
      {"lead byte 0xF8", "\xF8\x88\x80\x80\x80"},
      {"byte 0xFF", "a\xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      utf8_to_wide(c.utf8);
      ADD_FAILURE() << "accepted";
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
}

TEST(Utf, IllFormedWideTextIsRejectedStrictlyAndReplacedLossily) {
  struct Case {
    const char* what;
    std::wstring wide;
    std::string lossy;
  };
  const Case cases[] = {
      {"lone high surrogate", std::wstring{L'a', static_cast<wchar_t>(0xD800), L'z'},
       "a\xEF\xBF\xBDz"},
      {"lone low surrogate at the end", std::wstring{L'a', static_cast<wchar_t>(0xDC00)},
       "a\xEF\xBF\xBD"},
      {"misordered surrogates",
       std::wstring{static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800)},
       "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high surrogate at the end", std::wstring{static_cast<wchar_t>(0xDBFF)}, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(wide_to_utf8(c.wide), std::range_error);
    EXPECT_EQ(wide_to_utf8_lossy(c.wide), c.lossy);
  }
}

TEST(Utf, WideValueAboveUnicodeRangeIsRejected) {
  if constexpr (sizeof(wchar_t) == 2) GTEST_SKIP() << "16-bit wchar_t holds no such value";
  const std::wstring above{L'x', static_cast<wchar_t>(0x110000)};
  const std::wstring negative{static_cast<wchar_t>(-1)};
  EXPECT_THROW(wide_to_utf8(above), std::range_error);
  EXPECT_THROW(wide_to_utf8(negative), std::range_error);
  EXPECT_EQ(wide_to_utf8_lossy(above), "x\xEF\xBF\xBD");
  EXPECT_EQ(wide_to_utf8_lossy(negative), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace QVX::Base
