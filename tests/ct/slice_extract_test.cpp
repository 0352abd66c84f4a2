// Slices of HR volumes come back bit for bit as written, for every version, brick order and
// resolutions that are not multiples of 32, by every kernel (sparse trees and damaged
// records go through the same engine in the region tests).
#include "ct/slice_extract.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "math/matrix.h"
#include "tests/support/ct_volumes.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;
using QVX::Tools::HRWriteResult;

class SliceExtract : public ::testing::Test {
 protected:
  // Writes the volume (with the writer's account of every voxel) and opens it.
  HRWriteResult open(HRVolume& volume, const HRWriteOptions& options) {
    const HRWriteResult written = ts::write_hr(path_, options, true);
    ts::CaptureStdout quiet;
    EXPECT_TRUE(volume.open_existing(ts::wide(path_)));
    return written;
  }
  ts::TempDir dir_;
  const std::string path_ = dir_.file("volume.hr");
};

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
  EXPECT_FALSE(read_hr_slice(volume, slice.data(), r.y));
}

TEST_F(SliceExtract, EverySliceOfEveryVersionAndBrickPlacementIsBitExact) {
  using QVX::Tools::HRBrickOrder;
  const struct {
    uint32_t nx, ny, nz, version, max_depth;
    HRBrickOrder order = HRBrickOrder::BreadthFirst;
    uint64_t gap = 0;
    bool packed = false;  // version 1 without checksum words
  } cases[] = {{20, 17, 9, 4, 0},
               {32, 32, 32, 1, 0},
               {40, 33, 70, 4, 2},
               {40, 33, 70, 1, 2},
               {100, 37, 129, 4, 3},
               {64, 1, 1, 2, 1},
               {40, 33, 70, 4, 2, HRBrickOrder::ReverseBreadthFirst},
               {40, 33, 70, 4, 2, HRBrickOrder::ChildrenFirst, 3},
               {40, 33, 70, 1, 2, HRBrickOrder::BreadthFirst, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.nx << "x" << c.ny << "x" << c.nz << " v" << c.version);
    HRWriteOptions options = ts::hr_options(c.nx, c.ny, c.nz, c.version);
    options.brick_order = c.order;
    options.brick_gap = c.gap;
    options.pack_without_checksum_word = c.packed;
    HRVolume volume;
    const HRWriteResult written = open(volume, options);
    EXPECT_EQ(volume.max_depth(), c.max_depth);
    expect_all_slices(volume, written);
  }
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

TEST_F(SliceExtract, EveryKernelMatchesTheScalarKernel) {
  // Edge tiles of 2 x 3, 13 x 29 and 6 x 31 samples leave rests beside the 4 x 4 and 8 x 8
  // blocks; the sparse tree has missing bricks and leaves above the finest level.
  const struct {
    uint32_t nx, ny, nz;
    bool sparse;
  } cases[] = {{34, 9, 35, false}, {77, 40, 93, false}, {70, 70, 127, true}};
  const PlaneKernel kernels[] = {PlaneKernel::Best, PlaneKernel::Sse2, PlaneKernel::Avx2};
  constexpr float kUntouched = -7.5f;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nx);
    HRWriteOptions options = ts::hr_options(c.nx, c.ny, c.nz);
    options.voxel = random_voxel;
    if (c.sparse) {
      options.stop_here = [](const HRNodeKey& k) { return k.depth == 1 && k.x == 1 && k.z == 0; };
      options.no_brick = [](const HRNodeKey& k) {
        return k == HRNodeKey{2, 0, 1, 2} || k == HRNodeKey{1, 0, 0, 1};
      };
    }
    HRVolume volume;
    open(volume, options);
    // Slices read at the finest level, regions from the origin and from (32, y, 32).
    for (const uint32_t start : {0u, 32u}) {
      const HRVec3u size{c.nx - start, 1, c.nz - start};
      // Three columns more than the region, so a write past its right edge shows.
      const uint32_t cols = size.z + 3;
      std::vector<float> want(size_t{size.x} * cols), got(want.size());
      Math::Matrix_f want_matrix(want.data(), size.x, cols), got_matrix(got.data(), size.x, cols);
      for (uint32_t y = 0; y < c.ny; y += 3) {
        const HRVec3u origin{start, y, start};
        const uint32_t level = volume.max_depth();
        std::fill(want.begin(), want.end(), kUntouched);
        ASSERT_TRUE(extract_region(volume, want_matrix, origin, size, level, PlaneKernel::Scalar));
        for (const PlaneKernel kernel : kernels) {
          if (!plane_kernel_available(kernel)) continue;
          std::fill(got.begin(), got.end(), kUntouched);
          ASSERT_TRUE(extract_region(volume, got_matrix, origin, size, level, kernel));
          ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0)
              << "kernel " << static_cast<int>(kernel) << ", y " << y << ", start " << start;
        }
      }
    }
  }
}

}  // namespace
}  // namespace QVX::CT
