// The coarse bricks of the streaming HR writer (what ozk convert writes with), which no
// slice read shows: each equals the reference writer's brick of the same node. Its files'
// voxels, check words, early ends and failures are checked through ozk convert.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/hr_file_parser.h"
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

  const ts::HRParsedFile streamed = ts::parse_hr_file(dir.file("s.hr"), false),
                         ref = ts::parse_hr_file(dir.file("r.hr"), false);
  std::map<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>, uint64_t> at;
  for (const auto& n : ref.nodes) at[{n.key.depth, n.key.x, n.key.y, n.key.z}] = n.brick_offset;
  size_t bricks = 0;
  for (const auto& n : streamed.nodes) {
    if (n.brick_offset == 0) continue;  // no voxels below
    const uint64_t r = at[{n.key.depth, n.key.x, n.key.y, n.key.z}];
    // One bool: a failure would otherwise print both 128 KiB records.
    const bool same =
        r != 0 && streamed.bytes.compare(n.brick_offset, 131076, ref.bytes, r, 131076) == 0;
    EXPECT_TRUE(same) << "depth " << n.key.depth << " code " << n.key.x << ' ' << n.key.y << ' '
                      << n.key.z;
    bricks += same;
  }
  // Depth 2 (70 > 64): 2 x 2 x 3 finest nodes hold voxels, 1 x 1 x 2 at depth 1, the root.
  EXPECT_EQ(bricks, 12u + 2u + 1u);
}

}  // namespace
}  // namespace QVX::Tools
