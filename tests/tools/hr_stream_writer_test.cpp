// The streaming HR writer (what ozk convert writes with): its files read back through the
// library bit for bit with every check word passing, subtrees that end early, and refusals.
#include "tools/hr_writer/hr_stream_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/hr_files.h"
#include "tests/support/tool_runner.h"

namespace QVX::Tools {
namespace {

namespace ts = QVX::TestSupport;
namespace fs = std::filesystem;

constexpr uint64_t kRecordBytes = 131072 + 4;
using VoxelFn = std::function<float(uint32_t x, uint32_t y, uint32_t z)>;
using Res = std::array<uint32_t, 3>;

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

// Voxels of the file at `path` that differ bit for bit from `voxel` (-1: unreadable or
// a brick failed its check word).
int64_t read_back_mismatches(const std::string& path, Res res, const VoxelFn& voxel) {
  const ts::VolumeRead r = ts::read_volume(path);
  const std::vector<float> all = r.voxels();
  if (r.height != res[0] || r.slices != res[1] || r.width != res[2] || all.empty() ||
      r.log.find("FAILED") != std::string::npos) {
    return -1;
  }
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

TEST(HRStreamWriter, ReadsBackBitForBit) {
  const struct {
    Res res;
    float (*voxel)(uint32_t, uint32_t, uint32_t);
    bool stop_uniform;
    size_t bricks;  // 0: not counted
  } cases[] = {
      // Depth 2 (70 > 64): 2 x 2 x 3 finest nodes hold voxels, 1 x 1 x 2 at depth 1, the root.
      {{40, 33, 70}, ts::hr_voxel, false, 12 + 2 + 1},
      // Depth 3. The block and the voxel lie in two finest nodes; with their ancestors
      // (2 at depth 2, 1 at depth 1, the root) they have tiles, whose other children are
      // uniform leaves: 6 + 7 + 7 + 7. The full tree holds 75 bricks.
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
    if (c.bricks != 0) {
      EXPECT_EQ(writer.bricks_written(), c.bricks);
    }
    if (c.voxel == sparse && c.stop_uniform) {
      // The node area reserves 1 + 2 + 12 tiles; the bricks follow it, none was written
      // only to be dropped, then the info block's 4 bytes.
      EXPECT_EQ(writer.file_size(), 122u + 20u + 172u * 15u + c.bricks * kRecordBytes + 4u);
    }
  }
}

TEST(HRStreamWriter, DataRangeAndCornersAreTheVolumes) {
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

  EXPECT_EQ(read_back_mismatches(dir.file("a.hr"), res, shifted), 0);
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
