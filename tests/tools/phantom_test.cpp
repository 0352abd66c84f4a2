// The Shepp-Logan phantom: known values, the orientation of its slices and the mirror
// symmetry of the slices above its inner ellipsoids.
#include "tools/ozk/phantom.h"

#include <gtest/gtest.h>

#include <vector>

namespace QVX::Ozk {
namespace {

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
}

TEST(Phantom, TopRowsAreTheFrontOfTheHeadAndUpperSlicesMirrorSymmetric) {
  // In the slice through the ellipsoid at (0, 0.35, -0.15), it shows in the upper half.
  constexpr uint32_t n = 64;
  const std::vector<float> s = slice(n, static_cast<uint32_t>((-0.15 + 1.0) * n / 2));
  const uint32_t upper = static_cast<uint32_t>((1.0 - 0.35) * n / 2), lower = n - 1 - upper;
  EXPECT_EQ(s[upper * n + n / 2], 0.3f);
  EXPECT_EQ(s[lower * n + n / 2], 0.2f);
  // Above z = 0.31 only the two outer ellipsoids remain, both symmetric in x; lower down
  // the ventricles differ.
  const auto symmetric = [](uint32_t y) {
    const std::vector<float> t = slice(n, y);
    for (uint32_t i = 0; i < n * n; ++i) {
      if (t[i] != t[(i / n) * n + n - 1 - i % n]) return false;
    }
    return true;
  };
  for (uint32_t y = 43; y < n; ++y) EXPECT_TRUE(symmetric(y)) << "slice " << y;
  EXPECT_FALSE(symmetric(n / 2));
}

}  // namespace
}  // namespace QVX::Ozk
