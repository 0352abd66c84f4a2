// The coarse bricks of the streaming HR writer (what ozk convert writes with), which no
// slice read shows: every level the library reads from its file equals the same level of
// the reference writer's file. Its files' voxels, check words, early ends and failures
// are checked through ozk convert.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/temp_dir.h"
#include "tools/hr_writer/hr_writer.h"

namespace QVX::Tools {
namespace {

namespace ts = QVX::TestSupport;

uint32_t mix(uint32_t x, uint32_t y, uint32_t z) {
  uint32_t h = x * 73856093u ^ y * 19349663u ^ z * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// In each 2x2x2 group two voxels, placed by the group, hold +2^60 and -2^60 and the rest
// small values, which a double sum keeps only when they come after both: any other order
// or placement of the eight terms than the reference's gives other means somewhere.
float cancelling(uint32_t x, uint32_t y, uint32_t z) {
  const uint32_t group = mix(x >> 1, y >> 1, z >> 1);
  const uint32_t plus = group % 8, minus = (plus + 1 + (group >> 3) % 7) % 8;
  const uint32_t at = (x & 1) + 2 * (y & 1) + 4 * (z & 1);
  if (at == plus) return 0x1p60f;
  if (at == minus) return -0x1p60f;
  const uint32_t h = mix(x, y, z);
  return std::ldexp(1.0f + static_cast<float>(h & 0xFFFF) / 65536.0f,
                    static_cast<int>((h >> 16) % 16) - 10);
}

// Every level of the volume at `path`, whole, as the library reads it.
std::vector<std::vector<float>> levels_of(const std::string& path) {
  std::vector<std::vector<float>> levels;
  qvx_ozk_volume* v = qvx_ozk_volume_create();
  uint32_t count = 0, w = 0, h = 0, n = 0;
  if (qvx_ozk_volume_open(v, path.c_str())) qvx_ozk_volume_num_levels(v, &count);
  for (uint32_t k = 0; k < count && qvx_ozk_volume_level_shape(v, k, &w, &h, &n); ++k) {
    levels.emplace_back(size_t{w} * h * n);
    if (!qvx_ozk_volume_read_region(v, k, 0, 0, 0, h, n, w, levels.back().data())) levels.clear();
  }
  qvx_ozk_volume_delete(v);
  return levels;
}

TEST(HRStreamWriter, BricksEqualTheReferenceWritersOfTheSameNodes) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {40, 33, 70};
  HRStreamOptions options;
  options.resolution = res;
  options.stop_uniform = false;
  HRStreamWriter writer;
  std::string error;
  ASSERT_TRUE(writer.open(dir.file("s.hr"), options, &error)) << error;
  for (uint32_t y0 = 0; const uint32_t n = writer.next_slab_slices(); y0 += n) {
    std::vector<float> slab;
    for (uint32_t y = y0; y < y0 + n; ++y) {
      for (uint32_t x = 0; x < res[0]; ++x) {
        for (uint32_t z = 0; z < res[2]; ++z) slab.push_back(cancelling(x, y, z));
      }
    }
    ASSERT_TRUE(writer.write_slab(slab.data(), &error)) << error;
  }
  ASSERT_TRUE(writer.finish(&error)) << error;
  HRWriteOptions reference;
  reference.resolution = res;
  reference.voxel = cancelling;
  ASSERT_TRUE(write_hr_volume(dir.file("r.hr"), reference, nullptr, &error)) << error;

  const auto streamed = levels_of(dir.file("s.hr")), ref = levels_of(dir.file("r.hr"));
  // Depth 2 (70 > 64): three levels, the coarse ones made of the writers' means.
  ASSERT_EQ(streamed.size(), 3u);
  for (size_t k = 0; k < ref.size(); ++k) {
    // One bool: a failure would otherwise print both levels.
    const bool same = k < streamed.size() && streamed[k] == ref[k];
    EXPECT_TRUE(same) << "level " << k;
  }
}

}  // namespace
}  // namespace QVX::Tools
