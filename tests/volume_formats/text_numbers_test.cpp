#include "volume_formats/text_numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

using namespace QVX::VolumeFormats;

constexpr int32_t kUnread = -777;  // in the expectations: nothing may be written there

TEST(TextNumbers, ReadsLikeScanfAndStopsAtFirstBadNumber) {
  // Text, how many numbers are read, the array after reading into an array of kUnread.
  const std::tuple<const char*, int, std::vector<int32_t>> cases[] = {
      {" \t\n-7\r\n+8\v\f09 2147483647 -2147483648", 5, {-7, 8, 9, INT32_MAX, INT32_MIN, kUnread}},
      {"1 2147483648 3", 1, {1, kUnread, kUnread}},
      {"-2147483649", 0, {kUnread}},
      {"99999999999999999999", 0, {kUnread}},
      {"12abc 5", 1, {12, kUnread}},
      {"+-5", 0, {kUnread}},
      {"0x10", 1, {0, kUnread}}};
  for (const auto& [text, read, expected] : cases) {
    std::vector<int32_t> out(expected.size(), kUnread);
    EXPECT_EQ(scan_int32(text, out.data(), static_cast<int>(out.size())), read) << text;
    EXPECT_EQ(out, expected) << text;
  }
  // Reads no more than asked.
  double out[5] = {0, 0, 0, 0, kUnread};
  EXPECT_EQ(scan_double("-0.25\n+1e3 .5e1 -inf 2", out, 4), 4);
  EXPECT_EQ(std::vector(out, out + 5), (std::vector<double>{-0.25, 1e3, 5, -INFINITY, kUnread}));
}
