// The streaming HR writer (what ozk convert writes with): its files read back through the
// library bit for bit, coarse bricks equal to the reference writer's, subtrees that end
// early, CRC-32 words checked with zlib, and refusals.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/hr_file_parser.h"
#include "tests/support/hr_files.h"
#include "tests/support/tool_runner.h"
#include "tools/hr_writer/hr_writer.h"

namespace QVX::Tools {
namespace {

namespace ts = QVX::TestSupport;
namespace fs = std::filesystem;

constexpr uint64_t kBrickBytes = 131072, kRecordBytes = kBrickBytes + 4;
using VoxelFn = std::function<float(uint32_t x, uint32_t y, uint32_t z)>;
using Res = std::array<uint32_t, 3>;

uint32_t mix(uint32_t x, uint32_t y, uint32_t z) {
  uint32_t h = x * 73856093u ^ y * 19349663u ^ z * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// In each 2x2x2 group two voxels, placed by the group, hold +2^60 and -2^60 and the rest
// small values, which a double sum keeps only when they come after both: any other order
// of the eight terms than the reference's gives other means somewhere.
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

// Zero but for a small block and one voxel: most subtrees are uniform.
float sparse(uint32_t x, uint32_t y, uint32_t z) {
  if (x >= 40 && x < 47 && y >= 50 && y < 60 && z >= 3 && z < 9) return ts::hr_voxel(x, y, z);
  if (x == 90 && y == 1 && z == 95) return -2.5f;
  return 0.0f;
}

float zero(uint32_t, uint32_t, uint32_t) { return 0.0f; }

// Streams the volume slab by slab in the library's slice layout.
void stream(const std::string& path, Res res, const VoxelFn& voxel, bool stop_uniform,
            HRStreamWriter* writer) {
  HRStreamOptions options;
  options.resolution = res;
  options.vmin = {1.0, 2.0, 3.0};
  options.vmax = {1.0 + res[0], 2.0 + 2.0 * res[1], 3.0 + res[2]};
  options.stop_uniform = stop_uniform;
  std::string error;
  ASSERT_TRUE(writer->open(path, options, &error)) << error;
  uint32_t y0 = 0;
  while (const uint32_t n = writer->next_slab_slices()) {
    std::vector<float> slab(size_t{n} * res[0] * res[2]);
    for (uint32_t s = 0; s < n; ++s) {
      for (uint32_t x = 0; x < res[0]; ++x) {
        for (uint32_t z = 0; z < res[2]; ++z) {
          slab[(size_t{s} * res[0] + x) * res[2] + z] = voxel(x, y0 + s, z);
        }
      }
    }
    ASSERT_TRUE(writer->write_slab(slab.data(), &error)) << error;
    y0 += n;
  }
  EXPECT_EQ(y0, res[1]);
  ASSERT_TRUE(writer->finish(&error)) << error;
}

// Voxels of the file at `path` that differ bit for bit from `voxel` (-1: unreadable).
int64_t read_back_mismatches(const std::string& path, Res res, const VoxelFn& voxel) {
  const ts::VolumeRead r = ts::read_volume(path);
  const std::vector<float> all = r.voxels();
  if (r.height != res[0] || r.slices != res[1] || r.width != res[2] || all.empty()) return -1;
  int64_t mismatches = 0;
  for (uint32_t y = 0; y < res[1]; ++y) {
    for (uint32_t x = 0; x < res[0]; ++x) {
      for (uint32_t z = 0; z < res[2]; ++z) {
        mismatches += std::bit_cast<uint32_t>(all[(size_t{y} * res[0] + x) * res[2] + z]) !=
                      std::bit_cast<uint32_t>(voxel(x, y, z));
      }
    }
  }
  return mismatches;
}

using Key = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;

// Every brick of the streamed file against the reference writer's brick of the same node
// (which writes one for every node); returns how many there are.
size_t expect_reference_bricks(const ts::HRParsedFile& streamed, const std::string& path, Res res,
                               const VoxelFn& voxel) {
  HRWriteOptions options;
  options.resolution = res;
  options.voxel = voxel;
  EXPECT_TRUE(write_hr_volume(path, options, nullptr, nullptr));
  const ts::HRParsedFile ref = ts::parse_hr_file(path, false);
  std::map<Key, uint64_t> offsets;
  for (const auto& n : ref.nodes)
    offsets[{n.key.depth, n.key.x, n.key.y, n.key.z}] = n.brick_offset;
  size_t bricks = 0;
  for (const auto& n : streamed.nodes) {
    if (n.brick_offset == 0) continue;
    ++bricks;
    const uint64_t at = offsets[{n.key.depth, n.key.x, n.key.y, n.key.z}];
    // One bool: a failure would otherwise print both 128 KiB records.
    const bool same = at != 0 && streamed.bytes.compare(n.brick_offset, kRecordBytes, ref.bytes, at,
                                                        kRecordBytes) == 0;
    EXPECT_TRUE(same) << "brick at depth " << n.key.depth << " code " << n.key.x << ' ' << n.key.y
                      << ' ' << n.key.z;
  }
  return bricks;
}

TEST(HRStreamWriter, ReadsBackBitForBitWithTheReferenceBricks) {
  const struct {
    Res res;
    float (*voxel)(uint32_t, uint32_t, uint32_t);
    bool stop_uniform;
    size_t bricks;  // 0: not counted
  } cases[] = {
      // Depth 2 (70 > 64): 2 x 2 x 3 finest nodes hold voxels, 1 x 1 x 2 at depth 1, the root.
      {{40, 33, 70}, ts::hr_voxel, false, 12 + 2 + 1},
      {{40, 33, 70}, cancelling, false, 12 + 2 + 1},
      // Depth 3. The block and the voxel lie in two finest nodes; with their ancestors
      // (2 at depth 2, 1 at depth 1, the root) they have tiles, whose other children are
      // uniform leaves: 6 + 7 + 7 + 7. The full tree would hold 75 bricks.
      {{100, 70, 130}, sparse, true, 6 + 21},
      {{100, 70, 130}, sparse, false, 75},
      {{70, 40, 50}, zero, true, 1},
      {{5, 3, 7}, ts::hr_voxel, true, 0},
      {{64, 65, 33}, ts::hr_voxel, true, 0},
      {{1, 100, 2}, ts::hr_voxel, true, 0},
  };
  ts::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.res[0]) + "x" + std::to_string(c.res[1]) + "x" +
                 std::to_string(c.res[2]) + (c.stop_uniform ? " pruned" : ""));
    HRStreamWriter writer;
    stream(dir.file("s.hr"), c.res, c.voxel, c.stop_uniform, &writer);
    EXPECT_EQ(read_back_mismatches(dir.file("s.hr"), c.res, c.voxel), 0);
    EXPECT_EQ(fs::file_size(dir.file("s.hr")), writer.file_size());
    const ts::HRParsedFile streamed = ts::parse_hr_file(dir.file("s.hr"), false);
    EXPECT_EQ(streamed.version, 4u);
    const size_t bricks = expect_reference_bricks(streamed, dir.file("r.hr"), c.res, c.voxel);
    EXPECT_EQ(bricks, writer.bricks_written());
    if (c.bricks != 0) {
      EXPECT_EQ(bricks, c.bricks);
    }
    if (c.voxel == sparse && c.stop_uniform) {
      // 4 tiles of the 1 + 2 + 12 reserved are used; the bricks follow the node area and
      // none was written only to be dropped.
      EXPECT_EQ(streamed.node_area_end, 122u + 20u + 172u * 4u);
      EXPECT_EQ(streamed.bytes.size(), 122u + 20u + 172u * 15u + bricks * kRecordBytes + 4u);
    }
  }
}

TEST(HRStreamWriter, DataRangeIsTheVolumesAndChecksumsAreCrc32) {
  ts::TempDir dir;
  const Res res = {40, 33, 70};
  const VoxelFn shifted = [](uint32_t x, uint32_t y, uint32_t z) {
    return 5.0f + ts::hr_voxel(x, y, z);
  };
  HRStreamWriter writer;
  stream(dir.file("a.hr"), res, shifted, true, &writer);
  ts::VolumeHandle h;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, dir.file("a.hr").c_str()));
  double lo = 0, hi = 0, x = 0, y = 0, z = 0;
  qvx_ozk_volume_data_min(h.v, &lo);
  qvx_ozk_volume_data_max(h.v, &hi);
  qvx_ozk_volume_vmax(h.v, &x, &y, &z);
  EXPECT_EQ(lo, 5.0);
  EXPECT_EQ(hi, static_cast<double>(shifted(39, 32, 69)));
  EXPECT_EQ(y, 2.0 + 66.0);

  const ts::HRParsedFile p = ts::parse_hr_file(dir.file("a.hr"), false);
  EXPECT_EQ(p.checksum_type, 2);
  for (const auto& node : p.nodes) {
    if (node.brick_offset == 0) continue;
    const auto* data = reinterpret_cast<const Bytef*>(p.bytes.data() + node.brick_offset);
    EXPECT_EQ(p.word(node), static_cast<uint32_t>(crc32(0L, data, kBrickBytes)));
  }
}

TEST(HRStreamWriter, NothingIsLeftBehindWhenUnfinishedOrRefused) {
  ts::TempDir dir;
  const std::string path = dir.file("u.hr");
  HRStreamOptions options;
  options.resolution = {8, 70, 8};
  std::string error;
  {
    HRStreamWriter writer;
    ASSERT_TRUE(writer.open(path, options, &error)) << error;
    EXPECT_TRUE(fs::exists(path + ".partial"));
    const std::vector<float> slab(32 * 8 * 8, 1.0f);
    ASSERT_TRUE(writer.write_slab(slab.data(), &error)) << error;
    EXPECT_EQ(writer.next_slab_slices(), 32u);
  }
  EXPECT_FALSE(fs::exists(path + ".partial"));

  HRStreamWriter writer;
  ASSERT_TRUE(writer.open(path, options, &error)) << error;
  EXPECT_FALSE(writer.finish(&error));
  EXPECT_NE(error.find("missing 3 of its 3 slabs"), std::string::npos) << error;
  EXPECT_EQ(writer.next_slab_slices(), 0u);
  EXPECT_FALSE(writer.write_slab(nullptr, &error));

  options.resolution = {8, 0, 8};
  EXPECT_FALSE(writer.open(dir.file("e.hr"), options, &error));
  EXPECT_NE(error.find("at least one voxel"), std::string::npos) << error;
  // A path through a regular file cannot be created, even by root.
  ts::write_file(dir.file("plain"), "x");
  options.resolution = {8, 8, 8};
  EXPECT_FALSE(writer.open(dir.file("plain/v.hr"), options, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // "plain" alone
}

}  // namespace
}  // namespace QVX::Tools
