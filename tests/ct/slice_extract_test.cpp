// Slices of HR volumes come back bit for bit as written, for every version, resolutions
// that are not multiples of 32, sparse trees and damaged brick records.
#include "ct/slice_extract.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "math/matrix.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;
using QVX::Tools::HRWriteResult;

struct Written {
  HRWriteResult result;
  std::wstring path;
};

Written write(const ts::TempDir& dir, HRWriteOptions options, const std::string& name) {
  options.want_expected = true;
  Written written;
  std::string error;
  const std::string path = dir.file(name);
  EXPECT_TRUE(QVX::Tools::write_hr_volume(path, options, &written.result, &error)) << error;
  written.path.assign(path.begin(), path.end());
  return written;
}

// Every slice of the volume, compared bit for bit with what the writer expects.
void expect_all_slices(const HRVolume& volume, const HRWriteResult& written) {
  const HRVec3u& r = volume.resolution();
  std::vector<float> slice(size_t{r.x} * r.z);
  uint64_t mismatches = 0;
  for (uint32_t y = 0; y < r.y; ++y) {
    std::fill(slice.begin(), slice.end(), -12345.0f);
    ASSERT_TRUE(read_hr_slice(volume, slice.data(), y)) << "slice " << y;
    for (uint32_t x = 0; x < r.x; ++x) {
      for (uint32_t z = 0; z < r.z; ++z) {
        const float want = written.expected[x + size_t{r.x} * (y + size_t{r.y} * z)];
        const float got = slice[size_t{x} * r.z + z];
        if (std::bit_cast<uint32_t>(want) != std::bit_cast<uint32_t>(got) && ++mismatches < 5) {
          ADD_FAILURE() << "voxel " << x << "," << y << "," << z << ": " << got << " != " << want;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(SliceExtract, EverySliceOfEveryVersionIsBitExact) {
  ts::TempDir dir;
  const struct {
    uint32_t nx, ny, nz;
    uint32_t version;
    uint32_t max_depth;
  } cases[] = {
      {20, 17, 9, 4, 0},  {32, 32, 32, 1, 0}, {40, 33, 70, 4, 2},   {40, 33, 70, 1, 2},
      {40, 33, 70, 2, 2}, {40, 33, 70, 3, 2}, {100, 37, 129, 4, 3}, {64, 1, 1, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.nx << "x" << c.ny << "x" << c.nz << " v" << c.version);
    const Written written = write(dir, ts::hr_options(c.nx, c.ny, c.nz, c.version), "full.hr");
    ASSERT_EQ(written.result.max_depth, c.max_depth);
    HRVolume volume;
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume.open_existing(written.path));
    EXPECT_EQ(volume.max_depth(), c.max_depth);
    expect_all_slices(volume, written.result);
    EXPECT_FALSE(read_hr_slice(volume, std::vector<float>(size_t{c.nx} * c.nz).data(), c.ny));
  }
}

TEST(SliceExtract, SparseTreesReadZerosAndUpsampleEarlyLeaves) {
  ts::TempDir dir;
  HRWriteOptions options = ts::hr_options(100, 70, 129);
  // Depth 3 is the finest. The depth-2 octant at the origin stops there (a leaf whose
  // coarse samples stand for 2^3 voxels); another depth-2 leaf has no brick; so has one
  // finest node, and a depth-1 node that still has children.
  options.stop_here = [](const HRNodeKey& k) {
    return k.depth == 2 &&
           ((k.x == 0 && k.y == 0 && k.z == 0) || (k.x == 1 && k.y == 0 && k.z == 1));
  };
  options.no_brick = [](const HRNodeKey& k) {
    return (k.depth == 1 && k.x == 0 && k.y == 0 && k.z == 1) ||
           (k.depth == 2 && k.x == 1 && k.y == 0 && k.z == 1) ||
           (k.depth == 3 && k.x == 2 && k.y == 1 && k.z == 0);
  };
  const Written written = write(dir, options, "sparse.hr");
  ASSERT_EQ(written.result.max_depth, 3u);
  HRVolume volume;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(volume.open_existing(written.path));
  expect_all_slices(volume, written.result);

  // Spot checks that do not depend on the writer's expectation: voxels under nodes without
  // a brick are 0, and inside the early leaf each coarse sample covers 2 voxels per axis.
  std::vector<float> slice(100 * 129);
  ASSERT_TRUE(read_hr_slice(volume, slice.data(), 40));
  EXPECT_EQ(slice[70 * 129 + 5], 0.0f);  // finest node (2, 1, 0)
  ASSERT_TRUE(read_hr_slice(volume, slice.data(), 9));
  EXPECT_EQ(slice[70 * 129 + 70], 0.0f);  // depth-2 leaf (1, 0, 1)
  EXPECT_EQ(slice[0 * 129 + 0], slice[1 * 129 + 1]);
  EXPECT_NE(slice[0 * 129 + 0], slice[2 * 129 + 0]);
  EXPECT_NE(slice[0 * 129 + 128], 0.0f);  // under the depth-1 node without a brick
}

TEST(SliceExtract, AcrossBrickPlacements) {
  ts::TempDir dir;
  struct Case {
    const char* name;
    void (*apply)(HRWriteOptions&);
  };
  const Case cases[] = {
      {"reverse order",
       [](HRWriteOptions& o) { o.brick_order = QVX::Tools::HRBrickOrder::ReverseBreadthFirst; }},
      {"odd gaps", [](HRWriteOptions& o) { o.brick_gap = 3; }},
      {"children first",
       [](HRWriteOptions& o) { o.brick_order = QVX::Tools::HRBrickOrder::ChildrenFirst; }},
      {"version 1 packed",
       [](HRWriteOptions& o) {
         o.version = 1;
         o.pack_without_checksum_word = true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HRWriteOptions options = ts::hr_options(40, 33, 70);
    c.apply(options);
    const Written written = write(dir, options, "placed.hr");
    HRVolume volume;
    ts::CaptureStdout capture;
    ASSERT_TRUE(volume.open_existing(written.path));
    EXPECT_EQ(capture.text().find("WARNING"), std::string::npos) << capture.text();
    expect_all_slices(volume, written.result);
  }
}

TEST(SliceExtract, ABrickBeyondTheFileFailsOnlyTheSlicesThatNeedIt) {
  ts::TempDir dir;
  HRWriteOptions options = ts::hr_options(40, 70, 40);  // max_depth 2
  options.brick_past_end = [](const HRNodeKey& k) {
    return k.depth == 2 && k.x == 0 && k.y == 1 && k.z == 0;
  };
  const Written written = write(dir, options, "past_end.hr");
  uint64_t offset = 0;
  for (const auto& node : written.result.nodes) {
    if (node.key == HRNodeKey{2, 0, 1, 0}) offset = node.brick_offset;
  }
  ASSERT_EQ(offset, written.result.file_size);
  const std::string name(written.path.begin(), written.path.end());

  HRVolume volume;
  ts::CaptureStdout capture;
  ASSERT_TRUE(volume.open_existing(written.path));
  EXPECT_NE(
      ts::strip_timestamps(capture.text())
          .find("WARNING brick record at offset " + std::to_string(offset) +
                " lies beyond the end of '" + name + "' (" + std::to_string(offset) + " bytes)\n"),
      std::string::npos)
      << capture.text();

  std::vector<float> slice(40 * 40);
  ts::CaptureStdout reads;
  EXPECT_TRUE(read_hr_slice(volume, slice.data(), 31));
  EXPECT_FALSE(read_hr_slice(volume, slice.data(), 32));
  EXPECT_TRUE(read_hr_slice(volume, slice.data(), 64));
  EXPECT_EQ(ts::strip_timestamps(reads.text()),
            "FAILED to read brick at offset " + std::to_string(offset) + " (E)\n");
}

// Random bits, NaN and infinity patterns among them: a kernel that moves a sample through
// arithmetic or takes it from the wrong place shows.
float random_voxel(uint32_t x, uint32_t y, uint32_t z) {
  uint64_t h = (uint64_t{x} * 0x9E3779B97F4A7C15u) ^ (uint64_t{y} * 0xC2B2AE3D27D4EB4Fu) ^
               (uint64_t{z} * 0x165667B19E3779F9u);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9u;
  h ^= h >> 32;
  return std::bit_cast<float>(static_cast<uint32_t>(h));
}

TEST(SliceExtract, EveryKernelMatchesTheScalarKernel) {
  ts::TempDir dir;
  struct Case {
    const char* name;
    uint32_t nx, ny, nz;
    bool sparse;
  };
  // Edge tiles of 2 x 3, 13 x 29 and 6 x 31 samples leave rests beside the 4 x 4 and 8 x 8
  // blocks; the sparse tree has missing bricks and leaves above the finest level.
  const Case cases[] = {
      {"small edges", 34, 9, 35, false},
      {"wide edges", 77, 40, 93, false},
      {"sparse", 70, 70, 127, true},
  };
  const PlaneKernel kernels[] = {PlaneKernel::Best, PlaneKernel::Sse2, PlaneKernel::Avx2};
  constexpr float kUntouched = -7.5f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HRWriteOptions options = ts::hr_options(c.nx, c.ny, c.nz);
    options.voxel = random_voxel;
    if (c.sparse) {
      options.stop_here = [](const HRNodeKey& k) { return k.depth == 1 && k.x == 1 && k.z == 0; };
      options.no_brick = [](const HRNodeKey& k) {
        return (k.depth == 2 && k.x == 0 && k.y == 1 && k.z == 2) ||
               (k.depth == 1 && k.x == 0 && k.y == 0 && k.z == 1);
      };
    }
    const Written written = write(dir, options, "random.hr");
    HRVolume volume;
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume.open_existing(written.path));
    const uint32_t depth = volume.max_depth();
    for (uint32_t level = 0; level <= depth; ++level) {
      // The volume's size at this level, and regions from the origin and from (32, y, 32).
      const uint32_t shift = depth - level;
      const uint32_t lx = ((c.nx - 1) >> shift) + 1, ly = ((c.ny - 1) >> shift) + 1;
      const uint32_t lz = ((c.nz - 1) >> shift) + 1;
      for (const uint32_t start : {0u, 32u}) {
        if (start >= lx || start >= lz) continue;
        const HRVec3u size{lx - start, 1, lz - start};
        // Three columns more than the region, so a write past its right edge shows.
        const uint32_t cols = size.z + 3;
        std::vector<float> want(size_t{size.x} * cols), got(want.size());
        Math::Matrix_f want_matrix(want.data(), size.x, cols);
        Math::Matrix_f got_matrix(got.data(), size.x, cols);
        for (uint32_t y = 0; y < ly; y += 3) {
          const HRVec3u origin{start, y, start};
          std::fill(want.begin(), want.end(), kUntouched);
          ASSERT_TRUE(
              extract_region(volume, want_matrix, origin, size, level, PlaneKernel::Scalar));
          if (level == depth && start == 0) {
            // The scalar kernel against the writer's own account of every voxel.
            for (uint32_t x = 0; x < size.x; ++x) {
              for (uint32_t z = 0; z < size.z; ++z) {
                const float expected =
                    written.result.expected[x + size_t{c.nx} * (y + size_t{c.ny} * z)];
                ASSERT_EQ(std::bit_cast<uint32_t>(want[size_t{x} * cols + z]),
                          std::bit_cast<uint32_t>(expected))
                    << x << "," << y << "," << z;
              }
            }
          }
          for (const PlaneKernel kernel : kernels) {
            if (!plane_kernel_available(kernel)) continue;
            std::fill(got.begin(), got.end(), kUntouched);
            ASSERT_TRUE(extract_region(volume, got_matrix, origin, size, level, kernel));
            ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0)
                << "kernel " << static_cast<int>(kernel) << ", level " << level << ", y " << y
                << ", start " << start;
          }
        }
      }
    }
  }
}

TEST(SliceExtract, FindNodeDescendsToTheNodeHoldingAPosition) {
  ts::TempDir dir;
  const Written written = write(dir, ts::hr_options(100, 100, 100), "find.hr");  // depth 2
  HRVolume volume;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(volume.open_existing(written.path));
  const struct {
    HRVec3u position;
    uint32_t level;
    uint32_t depth;
    uint32_t code[3];
  } cases[] = {
      {{0, 0, 0}, 0, 0, {0, 0, 0}},     {{0, 0, 0}, 2, 2, {0, 0, 0}},
      {{33, 64, 127}, 2, 2, {1, 2, 3}}, {{33, 64, 127}, 1, 1, {0, 1, 1}},
      {{500, 0, 0}, 2, 2, {3, 0, 0}},  // beyond the extent: the upper child
  };
  for (const auto& c : cases) {
    const NodeLocation found = locate_node(volume, c.position, c.level);
    EXPECT_EQ(found.depth, c.depth);
    EXPECT_EQ(found.code[0], c.code[0]);
    EXPECT_EQ(found.code[1], c.code[1]);
    EXPECT_EQ(found.code[2], c.code[2]);
    EXPECT_EQ(find_node(volume, c.position, c.level), found.node);
  }
}

TEST(SliceExtract, CoarserLevelsAndEmptyRegions) {
  ts::TempDir dir;
  const Written written = write(dir, ts::hr_options(64, 64, 64), "levels.hr");  // depth 1
  HRVolume volume;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(volume.open_existing(written.path));
  Math::Matrix_f matrix;
  ASSERT_TRUE(matrix.resize(32, 32));
  // Level 0 is the root brick: sample (x, 5, z) of the 2x2x2 means.
  ASSERT_TRUE(extract_region(volume, matrix, {0, 5, 0}, {32, 1, 32}, 0));
  const float* root = volume.root().brick->samples;
  for (uint32_t x = 0; x < 32; ++x) {
    for (uint32_t z = 0; z < 32; ++z) {
      ASSERT_EQ(matrix(x, z), root[PoolBrick::index(x + 1, 6, z + 1)]) << x << "," << z;
    }
  }
  matrix(0, 0) = 42.0f;
  EXPECT_TRUE(extract_region(volume, matrix, {0, 5, 0}, {32, 1, 0}, 1));
  EXPECT_EQ(matrix(0, 0), 42.0f);
  ts::CaptureStdout capture;
  EXPECT_FALSE(extract_region(volume, matrix, {0, 5, 0}, {32, 1, 32}, 2));
  EXPECT_FALSE(extract_region(volume, matrix, {0, 5, 0}, {33, 1, 32}, 1));
  EXPECT_FALSE(extract_region(volume, matrix, {16, 5, 0}, {32, 1, 32}, 1));   // off the grid
  EXPECT_FALSE(extract_region(volume, matrix, {32, 5, 64}, {32, 1, 32}, 1));  // beyond the root
  EXPECT_FALSE(extract_region(volume, matrix, {0, 64, 0}, {32, 1, 32}, 1));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to extract region at level 2: the finest level is 1\n"
            "FAILED to extract region of 33 x 32 into a matrix of 32 x 32\n"
            "FAILED to extract region at 16,5,0 of 32 x 32 at level 1\n"
            "FAILED to extract region at 32,5,64 of 32 x 32 at level 1\n"
            "FAILED to extract region at 0,64,0 of 32 x 32 at level 1\n");
}

}  // namespace
}  // namespace QVX::CT
