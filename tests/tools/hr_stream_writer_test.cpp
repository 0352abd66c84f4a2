// The coarse bricks of the streaming HR writer (what ozk convert writes with), which no
// slice read shows: each equals the reference writer's brick of the same node. Its files'
// voxels, check words, early ends and failures are checked through ozk convert.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

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

uint64_t le(const std::string& b, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(at + i));
  return v;
}

using Key = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // depth, x, y, z

// The brick offset of each node, read from the file layout alone (sharing nothing with the
// library's reader): the header by version, then the node records breadth-first, a tile of
// eight below each node with a child flag above the finest depth.
std::map<Key, uint64_t> brick_offsets(const std::string& b) {
  const uint32_t version = static_cast<uint32_t>(le(b, 8, 4));
  uint64_t at = 16 + (version == 4) + (version >= 2 ? 8 : 0) + 1 + 12;  // to the HR resolution
  uint32_t largest = 0, finest = 0;
  for (int i = 0; i < 3; ++i)
    largest = std::max(largest, static_cast<uint32_t>(le(b, at + 4 * i, 4)));
  while ((32u << finest) < largest) ++finest;
  at += 12 + 72;
  std::vector<std::pair<Key, bool>> nodes;
  std::map<Key, uint64_t> offsets;
  auto read_node = [&](const Key& key) {
    nodes.push_back({key, le(b, at, 4) != 0});
    offsets[key] = le(b, at + 4, 8);
    at += 20;
  };
  read_node({0, 0, 0, 0});
  for (size_t i = 0; i < nodes.size(); ++i) {
    const auto [d, x, y, z] = nodes[i].first;
    if (!nodes[i].second || d >= finest) continue;
    EXPECT_EQ(Key(d, le(b, at, 4), le(b, at + 4, 4), le(b, at + 8, 4)), nodes[i].first);
    at += 12;
    for (uint32_t c = 0; c < 8; ++c) {
      read_node({d + 1, 2 * x + (c & 1), 2 * y + ((c >> 1) & 1), 2 * z + ((c >> 2) & 1)});
    }
  }
  return offsets;
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

  const std::string streamed = ts::read_file(dir.file("s.hr")),
                    ref = ts::read_file(dir.file("r.hr"));
  std::map<Key, uint64_t> at = brick_offsets(ref);
  size_t bricks = 0;
  for (const auto& [key, offset] : brick_offsets(streamed)) {
    if (offset == 0) continue;  // no voxels below
    const uint64_t r = at[key];
    // One bool: a failure would otherwise print both 128 KiB records.
    const bool same = r != 0 && streamed.compare(offset, 131076, ref, r, 131076) == 0;
    EXPECT_TRUE(same) << "node (depth, x, y, z) " << ::testing::PrintToString(key);
    bricks += same;
  }
  // Depth 2 (70 > 64): 2 x 2 x 3 finest nodes hold voxels, 1 x 1 x 2 at depth 1, the root.
  EXPECT_EQ(bricks, 12u + 2u + 1u);
}

}  // namespace
}  // namespace QVX::Tools
