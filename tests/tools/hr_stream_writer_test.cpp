// The streaming HR writer: its bricks against the random-access writer's, its files read
// back through the library bit for bit, subtrees that end early, and refusals.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_file_parser.h"
#include "tests/support/temp_dir.h"
#include "tools/hr_writer/hr_writer.h"

namespace QVX::Tools {
namespace {

namespace ts = QVX::TestSupport;
namespace fs = std::filesystem;

constexpr uint64_t kBrickBytes = 131072;
constexpr uint64_t kRecordBytes = kBrickBytes + 4;

using VoxelFn = std::function<float(uint32_t x, uint32_t y, uint32_t z)>;

float distinct(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x) + 1000.0f * static_cast<float>(y) +
         0.001953125f * static_cast<float>(z);
}

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
  if (x >= 40 && x < 47 && y >= 50 && y < 60 && z >= 3 && z < 9) return distinct(x, y, z);
  if (x == 90 && y == 1 && z == 95) return -2.5f;
  return 0.0f;
}

// Streams the volume slab by slab in the library's slice layout.
void stream(const std::string& path, std::array<uint32_t, 3> res, const VoxelFn& voxel,
            bool stop_uniform, HRStreamWriter* writer) {
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

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

using ts::u32;
using Node = ts::HRParsedNode;
using Parsed = ts::HRParsedFile;

// The node area as a reader walks it: the root, then the tiles breadth first.
Parsed parse(const std::string& path) {
  Parsed p = ts::parse_hr_file(path, false);
  EXPECT_EQ(p.version, 4u);
  EXPECT_EQ(p.checksum_type, 2);  // CRC-32
  EXPECT_EQ(p.brick_size, 32u);
  return p;
}

using KeyTuple = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;
KeyTuple tuple_of(const HRNodeKey& k) { return {k.depth, k.x, k.y, k.z}; }

// The random-access writer's file of the same volume, with a brick for every node.
std::map<KeyTuple, std::string> reference_bricks(const std::string& path,
                                                 std::array<uint32_t, 3> res,
                                                 const VoxelFn& voxel) {
  HRWriteOptions options;
  options.resolution = res;
  options.voxel = voxel;
  HRWriteResult result;
  std::string error;
  EXPECT_TRUE(write_hr_volume(path, options, &result, &error)) << error;
  const std::string bytes = read_bytes(path);
  std::map<KeyTuple, std::string> bricks;
  for (const HRWrittenNode& node : result.nodes) {
    if (node.brick_offset != 0) {
      bricks[tuple_of(node.key)] = bytes.substr(node.brick_offset, kRecordBytes);
    }
  }
  return bricks;
}

// Compares every brick of the streamed file with the reference; returns how many matched.
size_t expect_same_bricks(const Parsed& streamed, const std::map<KeyTuple, std::string>& ref) {
  size_t matched = 0;
  for (const Node& node : streamed.nodes) {
    if (node.brick_offset == 0) continue;
    const auto it = ref.find(tuple_of(node.key));
    if (it == ref.end()) {
      ADD_FAILURE() << "no reference brick at depth " << node.key.depth;
      continue;
    }
    // Compared as one bool: a failure would otherwise print both 128 KiB records.
    const bool same = streamed.bytes.compare(node.brick_offset, kRecordBytes, it->second) == 0;
    EXPECT_TRUE(same) << "brick at depth " << node.key.depth << " code " << node.key.x << ' '
                      << node.key.y << ' ' << node.key.z;
    ++matched;
  }
  return matched;
}

struct Handle {
  Handle() : v(qvx_ozk_volume_create()) {}
  ~Handle() { qvx_ozk_volume_delete(v); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  qvx_ozk_volume* v;
};

// Opens `path` through the library and counts the voxels that differ bit for bit from
// `voxel` (-1 when the file does not open or a slice does not read).
int64_t read_back_mismatches(const std::string& path, std::array<uint32_t, 3> res,
                             const VoxelFn& voxel) {
  Handle h;
  ts::CaptureStdout quiet;
  if (!qvx_ozk_volume_open(h.v, path.c_str())) return -1;
  uint32_t width = 0, height = 0, slices = 0;
  qvx_ozk_volume_slice_width(h.v, &width);
  qvx_ozk_volume_slice_height(h.v, &height);
  qvx_ozk_volume_num_slices(h.v, &slices);
  if (height != res[0] || slices != res[1] || width != res[2]) return -1;
  std::vector<float> slice(size_t{width} * height);
  int64_t mismatches = 0;
  for (uint32_t y = 0; y < slices; ++y) {
    if (!qvx_ozk_volume_read_slice(h.v, slice.data(), y)) return -1;
    for (uint32_t x = 0; x < height; ++x) {
      for (uint32_t z = 0; z < width; ++z) {
        if (std::bit_cast<uint32_t>(slice[size_t{x} * width + z]) !=
            std::bit_cast<uint32_t>(voxel(x, y, z))) {
          ++mismatches;
        }
      }
    }
  }
  return mismatches;
}

TEST(HRStreamWriter, BricksEqualTheRandomAccessWriters) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {40, 33, 70};
  for (const VoxelFn& voxel : {VoxelFn(distinct), VoxelFn(cancelling)}) {
    HRStreamWriter writer;
    stream(dir.file("s.hr"), res, voxel, false, &writer);
    const Parsed streamed = parse(dir.file("s.hr"));
    const auto ref = reference_bricks(dir.file("r.hr"), res, voxel);
    // Depth 2 (70 > 64): 2 x 2 x 3 finest nodes hold voxels, 1 x 1 x 2 at depth 1, the root.
    EXPECT_EQ(expect_same_bricks(streamed, ref), 12u + 2u + 1u);
    EXPECT_EQ(writer.bricks_written(), 15u);
  }
}

TEST(HRStreamWriter, EarlyEndsKeepTheReferenceBricks) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {100, 70, 130};
  HRStreamWriter writer;
  stream(dir.file("s.hr"), res, sparse, true, &writer);
  const Parsed streamed = parse(dir.file("s.hr"));
  const auto ref = reference_bricks(dir.file("r.hr"), res, sparse);
  const size_t bricks = expect_same_bricks(streamed, ref);
  EXPECT_EQ(bricks, writer.bricks_written());
  // A coarse leaf above the finest level stands for a uniform subtree.
  const auto coarse_leaf =
      std::find_if(streamed.nodes.begin(), streamed.nodes.end(), [&](const Node& n) {
        return n.key.depth < streamed.max_depth && n.child_flag == 0 && n.brick_offset != 0;
      });
  ASSERT_NE(coarse_leaf, streamed.nodes.end());
  EXPECT_EQ(coarse_leaf->min, 0.0f);
  EXPECT_EQ(coarse_leaf->max, 0.0f);
  // Depth 3 (130 > 128). The block and the voxel lie in two finest nodes; with their
  // ancestors (2 at depth 2, 1 at depth 1, the root) they have tiles, whose other
  // children are uniform leaves: 7 + 7 + 6 + 1. The full tree would hold 75 bricks.
  EXPECT_EQ(bricks, 6u + 21u);
  // The node area holds 4 tiles of the 1 + 2 + 12 reserved; the bricks follow it, and
  // none was written only to be dropped.
  constexpr uint64_t kReserved = 122 + 20 + 172 * 15;
  EXPECT_EQ(streamed.node_area_end, 122u + 20u + 172u * 4u);
  EXPECT_EQ(streamed.bytes.size(), kReserved + bricks * kRecordBytes + 4u);
}

TEST(HRStreamWriter, ReadsBackBitForBitThroughTheLibrary) {
  ts::TempDir dir;
  for (const auto& res :
       {std::array<uint32_t, 3>{40, 33, 70}, std::array<uint32_t, 3>{5, 3, 7},
        std::array<uint32_t, 3>{64, 65, 33}, std::array<uint32_t, 3>{1, 100, 2}}) {
    SCOPED_TRACE(std::to_string(res[0]) + "x" + std::to_string(res[1]) + "x" +
                 std::to_string(res[2]));
    HRStreamWriter writer;
    stream(dir.file("a.hr"), res, distinct, true, &writer);
    EXPECT_EQ(read_back_mismatches(dir.file("a.hr"), res, distinct), 0);
    EXPECT_EQ(fs::file_size(dir.file("a.hr")), writer.file_size());
  }
}

TEST(HRStreamWriter, UniformSubtreesReadBackExactly) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {100, 70, 130};
  HRStreamWriter full, pruned;
  stream(dir.file("full.hr"), res, sparse, false, &full);
  stream(dir.file("pruned.hr"), res, sparse, true, &pruned);
  EXPECT_LT(pruned.file_size() * 2, full.file_size());
  EXPECT_EQ(read_back_mismatches(dir.file("full.hr"), res, sparse), 0);
  EXPECT_EQ(read_back_mismatches(dir.file("pruned.hr"), res, sparse), 0);
}

TEST(HRStreamWriter, ConstantVolumeIsTheRootAlone) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {70, 40, 50};
  const VoxelFn constant = [](uint32_t, uint32_t, uint32_t) { return 0.0f; };
  HRStreamWriter writer;
  stream(dir.file("c.hr"), res, constant, true, &writer);
  const Parsed p = parse(dir.file("c.hr"));
  ASSERT_EQ(p.nodes.size(), 1u);
  EXPECT_EQ(p.nodes[0].child_flag, 0u);
  EXPECT_EQ(writer.bricks_written(), 1u);
  EXPECT_EQ(read_back_mismatches(dir.file("c.hr"), res, constant), 0);
}

TEST(HRStreamWriter, DataRangeIsTheVolumesAndChecksumsAreCrc32) {
  ts::TempDir dir;
  const std::array<uint32_t, 3> res = {40, 33, 70};
  const VoxelFn shifted = [](uint32_t x, uint32_t y, uint32_t z) {
    return 5.0f + distinct(x, y, z);
  };
  HRStreamWriter writer;
  stream(dir.file("a.hr"), res, shifted, true, &writer);
  Handle h;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, dir.file("a.hr").c_str()));
  double lo = 0, hi = 0;
  qvx_ozk_volume_data_min(h.v, &lo);
  qvx_ozk_volume_data_max(h.v, &hi);
  EXPECT_EQ(lo, 5.0);
  EXPECT_EQ(hi, static_cast<double>(shifted(39, 32, 69)));
  double x = 0, y = 0, z = 0;
  qvx_ozk_volume_vmax(h.v, &x, &y, &z);
  EXPECT_EQ(y, 2.0 + 66.0);

  const Parsed p = parse(dir.file("a.hr"));
  for (const Node& node : p.nodes) {
    if (node.brick_offset == 0) continue;
    const auto* data = reinterpret_cast<const Bytef*>(p.bytes.data() + node.brick_offset);
    EXPECT_EQ(u32(p.bytes, node.brick_offset + kBrickBytes),
              static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(kBrickBytes))));
  }
}

TEST(HRStreamWriter, NothingIsLeftBehindWhenUnfinished) {
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
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(path + ".partial"));
  EXPECT_EQ(writer.next_slab_slices(), 0u);
  EXPECT_FALSE(writer.write_slab(nullptr, &error));
}

TEST(HRStreamWriter, RefusesEmptyVolumesAndUncreatableFiles) {
  ts::TempDir dir;
  HRStreamOptions options;
  options.resolution = {8, 0, 8};
  std::string error;
  HRStreamWriter writer;
  EXPECT_FALSE(writer.open(dir.file("e.hr"), options, &error));
  EXPECT_NE(error.find("at least one voxel"), std::string::npos) << error;

  // A path through a regular file cannot be created, even by root.
  ts::write_file(dir.file("plain"), "x");
  options.resolution = {8, 8, 8};
  EXPECT_FALSE(writer.open(dir.file("plain/v.hr"), options, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
}  // namespace QVX::Tools
