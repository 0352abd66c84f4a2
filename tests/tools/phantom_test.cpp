// The Shepp-Logan phantom: known values, range, orientation of its slices and the mirror
// symmetry of the slices above its inner ellipsoids.
#include "tools/ozk/phantom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace QVX::Ozk {
namespace {

double centre(uint32_t i, uint32_t size) {
  return (2.0 * i + 1.0 - static_cast<double>(size)) / static_cast<double>(size);
}

std::vector<float> slice(uint32_t size, uint32_t index) {
  std::vector<float> out(size_t{size} * size, -1.0f);
  phantom_slice(size, index, out.data());
  return out;
}

TEST(Phantom, KnownValues) {
  EXPECT_DOUBLE_EQ(shepp_logan(0, 0, 0), 0.2);           // brain: 1 - 0.8
  EXPECT_DOUBLE_EQ(shepp_logan(0, 0.9, 0), 1.0);         // skull, above the brain
  EXPECT_DOUBLE_EQ(shepp_logan(0.95, 0.95, 0.95), 0.0);  // outside the head
  EXPECT_DOUBLE_EQ(shepp_logan(0.22, 0, 0), 0.0);        // right ventricle: 0.2 - 0.2
  EXPECT_DOUBLE_EQ(shepp_logan(0, 0.35, -0.15), 0.3);    // the ellipsoid above them
  EXPECT_DOUBLE_EQ(shepp_logan(0, -0.606, 0), 0.3);      // the smallest one, at the bottom
  EXPECT_DOUBLE_EQ(shepp_logan(0, 0, 0.85), 0.0);        // above the skull
}

TEST(Phantom, VoxelsSampleTheirCentres) {
  constexpr uint32_t n = 24;
  for (uint32_t y = 0; y < n; y += 5) {
    const std::vector<float> s = slice(n, y);
    for (uint32_t row = 0; row < n; ++row) {
      for (uint32_t column = 0; column < n; ++column) {
        const double want = shepp_logan(centre(column, n), -centre(row, n), centre(y, n));
        ASSERT_EQ(s[row * n + column], static_cast<float>(want))
            << "slice " << y << " row " << row << " column " << column;
      }
    }
  }
}

TEST(Phantom, ValuesSpanZeroToOne) {
  constexpr uint32_t n = 48;
  float lo = 1.0f, hi = 0.0f;
  for (uint32_t y = 0; y < n; ++y) {
    const std::vector<float> s = slice(n, y);
    const auto [a, b] = std::minmax_element(s.begin(), s.end());
    lo = std::min(lo, *a);
    hi = std::max(hi, *b);
  }
  EXPECT_EQ(lo, 0.0f);
  EXPECT_EQ(hi, 1.0f);
}

TEST(Phantom, CentreVoxelOfAnOddVolumeIsBrain) { EXPECT_EQ(slice(33, 16)[16 * 33 + 16], 0.2f); }

TEST(Phantom, TopRowsAreTheFrontOfTheHead) {
  // In the slice through the ellipsoid at (0, 0.35, -0.15), it shows in the upper half.
  constexpr uint32_t n = 64;
  const uint32_t y = static_cast<uint32_t>((-0.15 + 1.0) * n / 2);
  const std::vector<float> s = slice(n, y);
  const uint32_t upper = static_cast<uint32_t>((1.0 - 0.35) * n / 2), lower = n - 1 - upper;
  EXPECT_EQ(s[upper * n + n / 2], 0.3f);
  EXPECT_EQ(s[lower * n + n / 2], 0.2f);
}

TEST(Phantom, SlicesAboveTheVentriclesAreMirrorSymmetric) {
  // Above z = 0.31 only the two outer ellipsoids remain, both symmetric in x.
  constexpr uint32_t n = 64;
  for (uint32_t y = 43; y < n; ++y) {
    const std::vector<float> s = slice(n, y);
    for (uint32_t row = 0; row < n; ++row) {
      for (uint32_t column = 0; column < n / 2; ++column) {
        ASSERT_EQ(s[row * n + column], s[row * n + n - 1 - column])
            << "slice " << y << " row " << row << " column " << column;
      }
    }
  }
  // Lower down the ventricles differ, so the test above can tell.
  const std::vector<float> middle = slice(n, n / 2);
  bool asymmetric = false;
  for (uint32_t i = 0; i < n * n; ++i) {
    asymmetric |= middle[i] != middle[(i / n) * n + n - 1 - i % n];
  }
  EXPECT_TRUE(asymmetric);
}

}  // namespace
}  // namespace QVX::Ozk
