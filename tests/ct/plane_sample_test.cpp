// Planes through HR levels against a trilinear interpolation of what read_hr_region
// reads, with pools of every size, sparse trees, corrupt bricks, the preload and threads.
#include "ct/plane_sample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "ct/brick_pool.h"
#include "ct/loader.h"
#include "ct/region_extract.h"
#include "tests/support/ct_volumes.h"
#include "tests/support/hr_sparse.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRChecksumWord;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;

struct Plane {
  PlaneGrid grid;
  bool exact;  // along the axes at whole samples: read_hr_region's values themselves
};

// Along each axis through the middle, obliques across brick faces, edges and corners
// reaching past the level on every side, and the upper faces just inside and just outside.
std::vector<Plane> planes_of(const HRVec3u& e) {
  const double mx = e.x / 2, my = e.y / 2, mz = e.z / 2;
  auto plane = [](std::vector<double> s, uint32_t w, uint32_t h, bool exact) {
    Plane p{{{s[0], s[1], s[2]}, {s[3], s[4], s[5]}, {s[6], s[7], s[8]}, w, h, -9.0f}, exact};
    return p;
  };
  return {plane({mx, 0, 0, 0, 0, 1, 0, 1, 0}, e.z, e.y, true),
          plane({0, my, 0, 0, 0, 1, 1, 0, 0}, e.z, e.x, true),
          plane({0, 0, mz, 1, 0, 0, 0, 1, 0}, e.x, e.y, true),
          plane({-3.3, -1.7, -2.1, 0.61, 0.37, 0.9, 0.2, 0.83, -0.31}, 140, 90, false),
          plane({28.25, 29.5, 30.75, 0.5, 0.5, 0.5, 0.5, -0.25, 0.125}, 60, 40, false),
          plane({e.x - 1.0, 0, 0, 0, 0, 0.75, 0, 0.5, 0}, e.z + 2, e.y + 2, false),
          plane({e.x - 1 + 1e-9, 0, 0, 0, 0, 1, 0, 1, 0}, 5, 5, false)};
}

// Trilinear interpolation of the whole level, read as a region: sum of weight products.
std::vector<float> reference(const HRVolume& volume, uint32_t level, const PlaneGrid& s) {
  const HRVec3u e = hr_level_shape(volume, level);
  std::vector<float> a(size_t{e.x} * e.y * e.z);
  EXPECT_TRUE(read_hr_region(volume, level, {0, 0, 0}, e, a.data()));
  const int64_t n[3] = {e.x, e.y, e.z};
  std::vector<float> out;
  for (uint32_t r = 0; r < s.height; ++r) {
    for (uint32_t c = 0; c < s.width; ++c) {
      double p[3], sum = 0.0;
      bool in = true;
      for (int k = 0; k < 3; ++k) {
        p[k] = s.origin[k] + c * s.u[k] + r * s.v[k];
        in = in && p[k] >= 0 && p[k] <= n[k] - 1;
      }
      for (int corner = 0; in && corner < 8; ++corner) {
        double w = 1.0;
        int64_t i[3];
        for (int k = 0; k < 3; ++k) {
          const double f = p[k] - std::floor(p[k]);
          i[k] = static_cast<int64_t>(std::floor(p[k])) + ((corner >> k) & 1);
          w *= (corner >> k) & 1 ? f : 1.0 - f;
        }
        if (w != 0.0) sum += w * a[static_cast<size_t>((i[1] * n[0] + i[0]) * n[2] + i[2])];
      }
      out.push_back(in ? static_cast<float>(sum) : s.outside);
    }
  }
  return out;
}

// Samples every plane of every level and compares; returns the mismatches.
int expect_planes(HRVolume& volume) {
  int bad = 0;
  for (uint32_t level = 0; level < hr_level_count(volume); ++level) {
    for (const Plane& plane : planes_of(hr_level_shape(volume, level))) {
      const std::vector<float> want = reference(volume, level, plane.grid);
      std::vector<float> got(want.size() + 1, 7.0f);
      if (!sample_hr_plane(volume, level, plane.grid, got.data())) return -1;
      bad += got.back() != 7.0f;
      for (size_t i = 0; i < want.size(); ++i) {
        const double tolerance = plane.exact ? 0.0 : std::max(1e-6, 1e-5 * std::fabs(want[i]));
        if (!(std::fabs(got[i] - want[i]) <= tolerance) && ++bad < 4) {
          ADD_FAILURE() << "level " << level << " sample " << i << ": " << got[i]
                        << " != " << want[i];
        }
      }
    }
  }
  return bad;
}

class PlaneSampleTest : public ::testing::Test {
 protected:
  void write(const HRWriteOptions& options) { ts::write_hr(path_, options); }
  void open(HRVolume& volume) {
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume.open_existing(ts::wide(path_)));
  }
  ts::TempDir dir_;
  const std::string path_ = dir_.file("v.hr");
};

TEST_F(PlaneSampleTest, PlanesEqualTheInterpolatedRegionsForEveryPool) {
  // Early leaves with and without a brick, nodes without a brick above bricks, and a
  // branch without any, as the region reads meet them.
  const HRWriteOptions volumes[] = {ts::hr_options(70, 37, 45, 1), ts::sparse_hr_options()};
  // Bricks: none (regions only), 3 (chunks that evict each other), plenty.
  const uint64_t pools[] = {0, 3, 600};
  for (const HRWriteOptions& options : volumes) {
    ASSERT_NO_FATAL_FAILURE(write(options));
    for (const uint64_t bricks : pools) {
      SCOPED_TRACE(::testing::Message() << options.resolution[0] << ", pool " << bricks);
      HRVolume volume;
      ASSERT_NO_FATAL_FAILURE(open(volume));
      ASSERT_TRUE(volume.set_pool_capacity(bricks));
      EXPECT_EQ(expect_planes(volume), 0);
      EXPECT_EQ(volume.loader().running(), bricks != 0);
      // The planes went through the pool.
      if (bricks == 3) {
        EXPECT_GT(volume.brick_pool().load_count(), 3u);
      }
    }
  }
}

TEST_F(PlaneSampleTest, CorruptPoolBrickFailsThePlanesThatMeetIt) {
  HRWriteOptions options = ts::hr_options(64, 64, 64);
  options.checksum_word = [](const HRNodeKey& k) {
    return ts::key_is(k, 1, 1, 0, 0) ? HRChecksumWord::Wrong : HRChecksumWord::Correct;
  };
  ASSERT_NO_FATAL_FAILURE(write(options));
  HRVolume volume;
  ASSERT_NO_FATAL_FAILURE(open(volume));
  // From before the pool has room: the preload may meet the brick first and warn.
  ts::CaptureStdout capture;
  ASSERT_TRUE(volume.set_pool_capacity(16));
  const std::string offset = std::to_string(volume.root().children->nodes[1].brick_offset);
  PlaneGrid clean{{10, 0, 0}, {0, 0, 1}, {0, 1, 0}, 64, 64, 0.0f};
  PlaneGrid through = clean;
  through.origin[0] = 40;
  std::vector<float> out(64 * 64);
  EXPECT_TRUE(sample_hr_plane(volume, 0, clean, out.data()));
  EXPECT_FALSE(sample_hr_plane(volume, 0, through, out.data()));
  EXPECT_FALSE(sample_hr_plane(volume, 0, through, out.data()));  // again, not cached
  const std::string log = ts::strip_timestamps(capture.text());
  const std::string failed =
      "FAILED to sample plane: brick at offset " + offset + " failed verification\n";
  // Each failed call names the brick once; the preload, running meanwhile, may log
  // between and after them.
  size_t named = 0;
  for (size_t at = log.find(failed); at != std::string::npos; at = log.find(failed, at + 1))
    ++named;
  EXPECT_EQ(named, 2u) << log;
  EXPECT_NE(log.find("WARNING data verification for brick at " + offset + " FAILED"), log.npos);
}

// Once a preload pass has filled the pool (the force pass, whose end is an event), a plane
// of the coarsest level below the root loads nothing.
TEST_F(PlaneSampleTest, PreloadedPoolServesCoarsePlanesWithoutLoads) {
  ASSERT_NO_FATAL_FAILURE(write(ts::hr_options(128, 128, 128)));  // 8 + 64 bricks
  HRVolume volume;
  ASSERT_NO_FATAL_FAILURE(open(volume));
  ts::CaptureStdout quiet;
  volume.loader().set_force_preload(true);
  ASSERT_TRUE(volume.set_pool_capacity(100));
  volume.loader().force_done().wait();
  EXPECT_EQ(volume.brick_pool().load_count(), 72u);
  PlaneGrid oblique{{-1, 2, 0}, {0.7, 0.2, 0.5}, {0.1, 0.6, -0.3}, 64, 64, 0.0f};
  std::vector<float> out(64 * 64);
  EXPECT_TRUE(sample_hr_plane(volume, volume.max_depth() - 1, oblique, out.data()));
  EXPECT_EQ(volume.brick_pool().load_count(), 72u);
}

// Two volumes on one file sample at once, one of them while its preload runs, the other
// through a pool too small for a plane.
TEST_F(PlaneSampleTest, VolumesOfOneFileSampleFromTwoThreads) {
  ASSERT_NO_FATAL_FAILURE(write(ts::hr_options(100, 90, 80)));
  HRVolume volumes[2];
  int bad[2] = {-2, -2};
  ts::CaptureStdout quiet;
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    ASSERT_NO_FATAL_FAILURE(open(volumes[i]));
    threads.emplace_back([&, i] {
      volumes[i].set_pool_capacity(i == 0 ? 1000 : 4);
      bad[i] = expect_planes(volumes[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad[0], 0);
  EXPECT_EQ(bad[1], 0);
}

}  // namespace
}  // namespace QVX::CT
