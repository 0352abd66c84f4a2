#include "volume_formats/text_numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace QVX::VolumeFormats {
namespace {

constexpr int32_t kUnread = -777;
constexpr double kUnreadDouble = -777.5;

TEST(ScanInt32, ReadsLikeScanfAndStopsAtFirstBadNumber) {
  struct Case {
    const char* text;
    int count;
    std::vector<int32_t> expected;  // kUnread where nothing may be written
  };
  const Case cases[] = {
      {"512 512 120", 3, {512, 512, 120}},
      {" \t\n-7\r\n+8\v\f0009", 3, {-7, 8, 9}},
      {"1 2 3 4", 2, {1, 2, kUnread}},
      {"2147483647 -2147483648", 2, {2147483647, INT32_MIN}},
      {"12abc 5", 2, {12, kUnread}},
      {"1.5 2", 2, {1, kUnread}},
      {"1 2147483648 3", 3, {1, kUnread, kUnread}},
      {"-2147483649", 1, {kUnread}},
      {"99999999999999999999", 1, {kUnread}},
      {"1 x 3", 3, {1, kUnread, kUnread}},
      {"4 5", 3, {4, 5, kUnread}},
      {"", 1, {kUnread}},
      {"   ", 1, {kUnread}},
      {"+-5", 1, {kUnread}},
      {"++5", 1, {kUnread}},
      {"+ 5", 1, {kUnread}},
      {"- 5", 1, {kUnread}},
      {"0x10", 2, {0, kUnread}},
      {"7", 0, {kUnread}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<int32_t> out(c.expected.size(), kUnread);
    int read = 0;
    while (read < static_cast<int>(c.expected.size()) && c.expected[read] != kUnread) ++read;
    EXPECT_EQ(scan_int32(c.text, out.data(), c.count), read);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(ScanDouble, ReadsLikeScanfAndStopsAtFirstBadNumber) {
  struct Case {
    const char* text;
    int count;
    std::vector<double> expected;  // kUnreadDouble where nothing may be written
  };
  const Case cases[] = {
      {"1.5 2.5 3.5", 3, {1.5, 2.5, 3.5}},
      {"\t-0.25\n+1e3 .5 7. 2E-2", 5, {-0.25, 1000.0, 0.5, 7.0, 0.02}},
      {"42 x 1", 3, {42.0, kUnreadDouble, kUnreadDouble}},
      {"1.5,2.5", 2, {1.5, kUnreadDouble}},
      {"", 2, {kUnreadDouble, kUnreadDouble}},
      {"+-1.0", 1, {kUnreadDouble}},
      {". 1", 1, {kUnreadDouble}},
      {"0.1 0.2", 1, {0.1, kUnreadDouble}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<double> out(c.expected.size(), kUnreadDouble);
    int read = 0;
    while (read < static_cast<int>(c.expected.size()) && c.expected[read] != kUnreadDouble) ++read;
    EXPECT_EQ(scan_double(c.text, out.data(), c.count), read);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(ScanDouble, ReadsInfinityAndNan) {
  double out[4] = {};
  ASSERT_EQ(scan_double("inf -inf nan INFINITY", out, 4), 4);
  EXPECT_EQ(out[0], INFINITY);
  EXPECT_EQ(out[1], -INFINITY);
  EXPECT_TRUE(std::isnan(out[2]));
  EXPECT_EQ(out[3], INFINITY);
}

}  // namespace
}  // namespace QVX::VolumeFormats
