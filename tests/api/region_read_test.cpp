// Regions and resolution levels through the public interface, against samples computed
// from the writers' own data: every kind of volume, planes along each axis, boxes off the
// brick grid and in corners, sparse HR trees, refused and damaged reads.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_sparse.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"
#include "tools/hr_writer/hr_stream_writer.h"

namespace {

namespace ts = QVX::TestSupport;
namespace ozk = QVX::ozK;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;

struct Box {
  uint32_t x0, y0, z0, nx, ny, nz;
};
using Sample = std::function<float(uint32_t x, uint32_t y, uint32_t z)>;

// Planes along each axis, the whole level, a box off the brick grid that reaches the far
// corner, and the one sample in that corner.
std::vector<Box> boxes_of(uint32_t lx, uint32_t ly, uint32_t lz) {
  return {{0, 0, 0, lx, ly, lz},
          {lx - 1, 0, 0, 1, ly, lz},
          {0, ly / 2, 0, lx, 1, lz},
          {0, 0, lz / 2, lx, ly, 1},
          {lx / 3, ly / 3, lz / 3, lx - lx / 3, ly - ly / 3, lz - lz / 3},
          {lx - 1, ly - 1, lz - 1, 1, 1, 1}};
}

// Reads every box of the level and compares it bit for bit with `want`; a float past the
// end of the box must stay untouched.
void expect_level(ozk::Volume& v, uint32_t level, const Sample& want) {
  uint32_t width = 0, height = 0, slices = 0;
  ASSERT_TRUE(ozk::level_shape(v, level, width, height, slices));
  for (const Box& b : boxes_of(height, slices, width)) {
    SCOPED_TRACE(::testing::Message() << "level " << level << ", box " << b.x0 << "," << b.y0 << ","
                                      << b.z0 << " of " << b.nx << "x" << b.ny << "x" << b.nz);
    const size_t n = size_t{b.nx} * b.ny * b.nz;
    std::vector<float> out(n + 1, -7.5f);
    ASSERT_TRUE(ozk::read_region(v, level, b.x0, b.y0, b.z0, b.nx, b.ny, b.nz, out.data()));
    EXPECT_EQ(out[n], -7.5f);
    size_t i = 0, mismatches = 0;
    for (uint32_t y = b.y0; y < b.y0 + b.ny; ++y) {
      for (uint32_t x = b.x0; x < b.x0 + b.nx; ++x) {
        for (uint32_t z = b.z0; z < b.z0 + b.nz; ++z, ++i) {
          const float w = want(x, y, z);
          if (std::bit_cast<uint32_t>(out[i]) != std::bit_cast<uint32_t>(w) && ++mismatches < 4) {
            ADD_FAILURE() << x << "," << y << "," << z << ": " << out[i] << " != " << w;
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// The writer's levels over the root's cube: level 0 the voxels (0 beyond the volume),
// each coarser one the 2x2x2 means of the one below, summed in double in the writer's
// order (x fastest, then y, then z).
struct Pyramid {
  uint32_t edge;  // of level 0
  std::vector<std::vector<float>> levels;
  float at(uint32_t k, uint32_t x, uint32_t y, uint32_t z) const {
    const size_t e = edge >> k;
    return levels[k][x + e * (y + e * z)];
  }
};

Pyramid pyramid(const HRWriteOptions& o, uint32_t max_depth) {
  Pyramid p{32u << max_depth, {}};
  const size_t e = p.edge;
  std::vector<float>& voxels = p.levels.emplace_back(e * e * e, 0.0f);
  for (uint32_t z = 0; z < o.resolution[2]; ++z) {
    for (uint32_t y = 0; y < o.resolution[1]; ++y) {
      for (uint32_t x = 0; x < o.resolution[0]; ++x) voxels[x + e * (y + e * z)] = o.voxel(x, y, z);
    }
  }
  for (size_t h = e / 2; h >= 32; h /= 2) {
    std::vector<float> coarse(h * h * h);
    const std::vector<float>& fine = p.levels.back();
    for (size_t i = 0; i < coarse.size(); ++i) {
      const size_t x = 2 * (i % h), y = 2 * (i / h % h), z = 2 * (i / (h * h));
      double sum = fine[x + 2 * h * (y + 2 * h * z)];
      for (size_t c = 1; c < 8; ++c) {
        sum += fine[(x + (c & 1)) + 2 * h * ((y + (c >> 1 & 1)) + 2 * h * (z + (c >> 2)))];
      }
      coarse[i] = static_cast<float>(sum / 8.0);
    }
    p.levels.push_back(std::move(coarse));
  }
  return p;
}

// The level rule, walked over the writer's tree options: from the root towards the
// sample's voxel, the first node with a brick at or below the level's depth, or a leaf
// above it; 0.0 where a leaf without a brick ends the way.
Sample hr_sample(const Pyramid& p, const HRWriteOptions& o, uint32_t max_depth, uint32_t level) {
  return [&p, &o, max_depth, level](uint32_t i, uint32_t j, uint32_t l) {
    const uint32_t v[3] = {i << level, j << level, l << level};
    for (uint32_t depth = 0;; ++depth) {
      const uint32_t k = max_depth - depth;
      const HRNodeKey key{depth, v[0] >> (k + 5), v[1] >> (k + 5), v[2] >> (k + 5)};
      const bool leaf = depth == max_depth || (o.stop_here && o.stop_here(key));
      const bool brick = !(o.no_brick && o.no_brick(key));
      if (brick && (k <= level || leaf)) return p.at(k, v[0] >> k, v[1] >> k, v[2] >> k);
      if (leaf) return 0.0f;
    }
  };
}

uint32_t mix(uint32_t x, uint32_t y, uint32_t z) {
  uint32_t h = x * 73856093u ^ y * 19349663u ^ z * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// In each 2x2x2 group two voxels, placed by the group, hold +2^60 and -2^60 and the rest
// small values, which a double sum keeps only when they come after both: any other order
// or placement of the eight terms than the pyramid's gives other means somewhere.
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

// The voxels of `o` written slab by slab by the streaming writer (ozk convert's), every
// subtree kept.
bool write_streamed(const std::string& path, const HRWriteOptions& o, std::string* error) {
  QVX::Tools::HRStreamOptions options;
  options.resolution = o.resolution;
  options.stop_uniform = false;
  QVX::Tools::HRStreamWriter writer;
  if (!writer.open(path, options, error)) return false;
  for (uint32_t y0 = 0; const uint32_t n = writer.next_slab_slices(); y0 += n) {
    std::vector<float> slab;
    for (uint32_t y = y0; y < y0 + n; ++y) {
      for (uint32_t x = 0; x < o.resolution[0]; ++x) {
        for (uint32_t z = 0; z < o.resolution[2]; ++z) slab.push_back(o.voxel(x, y, z));
      }
    }
    if (!writer.write_slab(slab.data(), error)) return false;
  }
  return writer.finish(error);
}

TEST(RegionRead, HRLevelsFollowTheLevelRule) {
  HRWriteOptions streamed = ts::hr_options(40, 33, 70);
  streamed.voxel = cancelling;
  const struct {
    const char* name;
    HRWriteOptions options;
    uint32_t max_depth;
    bool stream = false;
  } cases[] = {
      {"one brick", ts::hr_options(20, 17, 9), 0},
      {"full, odd sizes", ts::hr_options(33, 64, 50), 1},
      {"full, version 1", ts::hr_options(70, 37, 45, 1), 2},
      {"sparse", ts::sparse_hr_options(), 2},
      {"streamed, sums that cancel", streamed, 2, true},
  };
  ts::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    ASSERT_TRUE(c.stream
                    ? write_streamed(dir.file("v.hr"), c.options, &error)
                    : QVX::Tools::write_hr_volume(dir.file("v.hr"), c.options, nullptr, &error))
        << error;
    const Pyramid p = pyramid(c.options, c.max_depth);
    const std::unique_ptr<ozk::Volume> h(ozk::Volume::Create());
    ts::CaptureStdout quiet;
    ASSERT_TRUE(h->open(dir.file("v.hr").c_str()));
    ASSERT_EQ(ozk::num_levels(*h), c.max_depth + 1);
    for (uint32_t level = 0; level <= c.max_depth; ++level) {
      uint32_t width = 0, height = 0, slices = 0;
      ASSERT_TRUE(ozk::level_shape(*h, level, width, height, slices));
      const auto ceil = [level](uint32_t n) { return (n + (1u << level) - 1) >> level; };
      const std::array<uint32_t, 3>& r = c.options.resolution;
      EXPECT_TRUE(height == ceil(r[0]) && slices == ceil(r[1]) && width == ceil(r[2]));
      expect_level(*h, level, hr_sample(p, c.options, c.max_depth, level));
    }
  }
}

// Packed volumes of each sample width, plain and gzip, and a header volume split over a
// plain and a gzip slice file: one level, read box by box.
TEST(RegionRead, PackedAndHeaderVolumesReadTheirVoxels) {
  const uint32_t nx = 37, ny = 11, nz = 45;
  const auto code = [](uint32_t x, uint32_t y, uint32_t z, int bits) {
    return (x * 300 + y * 7 + z * 1000) % (1u << bits);
  };
  const struct {
    const char* name;
    int bits;
    bool gz;
  } cases[] = {{"u16 gzip", 16, true},
               {"f32 gzip", 32, true},
               {"u8", 8, false},
               {"f32", 32, false},
               {"header", 0, false}};
  ts::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file("v.pvol");
    Sample want = ts::voxel_value;
    if (c.bits == 0) {
      const std::vector<float> all = ts::generated_volume(nx, ny, nz);
      const size_t first = size_t{4} * nx * nz;
      ts::write_file(dir.file("a.raw"), ts::f32_bytes({all.begin(), all.begin() + first}));
      ts::write_gzip_file(dir.file("b.raw.gz"), ts::f32_bytes({all.begin() + first, all.end()}));
      path = dir.file("v.hdr");
      ts::write_file(path, ts::header_volume_text(nx, ny, nz, {{"a.raw", 4}, {"b.raw.gz", 7}}));
    } else {
      std::string bytes = ts::f32_bytes(ts::generated_volume(nx, ny, nz));
      if (c.bits < 32) {  // integer samples read as code / (2^bits - 1), z fastest, then x
        bytes.clear();
        for (uint32_t i = 0; i < nx * ny * nz; ++i) {
          const uint32_t v = code(i / nz % nx, i / (nx * nz), i % nz, c.bits);
          for (int b = 0; b < c.bits; b += 8) bytes.push_back(static_cast<char>(v >> b));
        }
        want = [&](uint32_t x, uint32_t y, uint32_t z) {
          return static_cast<float>(code(x, y, z, c.bits)) * (1.0f / ((1u << c.bits) - 1));
        };
      }
      const std::string file = ts::packed_header(nx, ny, nz, c.bits) + bytes;
      c.gz ? ts::write_gzip_file(path, file) : ts::write_file(path, file);
    }
    const std::unique_ptr<ozk::Volume> h(ozk::Volume::Create());
    ASSERT_TRUE(h->open(path.c_str()));
    EXPECT_EQ(ozk::num_levels(*h), 1u);
    expect_level(*h, 0, want);
  }
  // A plain packed file cut while mapped for a z-plane fails the next one cleanly; only
  // the slice files a box meets are opened.
  const std::unique_ptr<ozk::Volume> h(ozk::Volume::Create());
  std::vector<float> out(size_t{nx} * 2 * nz);
  ts::CaptureStdout capture;
  ASSERT_TRUE(h->open(dir.file("v.pvol").c_str()));
  EXPECT_TRUE(ozk::read_region(*h, 0, 0, 0, 5, nx, ny, 1, out.data()));
  std::filesystem::resize_file(dir.file("v.pvol"), 5000);
  EXPECT_FALSE(ozk::read_region(*h, 0, 0, 0, 5, nx, ny, 1, out.data()));
  std::filesystem::remove(dir.file("b.raw.gz"));
  ASSERT_TRUE(h->open(dir.file("v.hdr").c_str()));
  EXPECT_TRUE(ozk::read_region(*h, 0, 0, 2, 0, nx, 2, nz, out.data()));
  EXPECT_FALSE(ozk::read_region(*h, 0, 0, 3, 0, nx, 2, nz, out.data()));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to read region at 0,0,5 of 37 x 11 x 1: short or damaged data\n"
            "FAILED to read region at 0,3,0 of 37 x 2 x 45: short or damaged data\n");
}

TEST(RegionRead, RefusedLevelsAndBoxesLogOneLine) {
  ts::TempDir dir;
  ASSERT_TRUE(QVX::Tools::write_hr_volume(dir.file("v.hr"), ts::hr_options(70, 40, 33), nullptr,
                                          nullptr));  // levels 0..2, level 1: 35 x 20 x 17
  const std::unique_ptr<ozk::Volume> h(ozk::Volume::Create());
  std::vector<float> out(8, 3.0f);
  uint32_t w = 0, hgt = 0, s = 0;
  {
    ts::CaptureStdout quiet;
    ASSERT_TRUE(h->open(dir.file("v.hr").c_str()));
  }
  const struct {
    uint32_t level;
    Box box;
    std::string log;  // after "FAILED to read region "; empty: the read succeeds
  } cases[] = {
      {1, {0, 0, 0, 0, 5, 5}, ""},
      {1, {99, 99, 99, 2, 0, 2}, ""},
      {3, {0, 0, 0, 0, 0, 0}, "at level 3: the volume has 3 levels"},
      {1, {34, 0, 0, 2, 1, 1}, "at 34,0,0 of 2 x 1 x 1: level 1 holds 35 x 20 x 17"},
      {1, {0, 20, 0, 1, 1, 1}, "at 0,20,0 of 1 x 1 x 1: level 1 holds 35 x 20 x 17"},
      {2, {0, 0, ~0u, 1, 1, 2}, "at 0,0,4294967295 of 1 x 1 x 2: level 2 holds 18 x 10 x 9"},
      {0, {0, 0, 0, 1, 2, 3}, "of 1 x 2 x 3: no output buffer"},
  };
  for (const auto& c : cases) {
    const Box& b = c.box;
    ts::CaptureStdout capture;
    EXPECT_EQ(ozk::read_region(*h, c.level, b.x0, b.y0, b.z0, b.nx, b.ny, b.nz,
                               c.log.ends_with("buffer") ? nullptr : out.data()),
              c.log.empty());
    EXPECT_EQ(ts::strip_timestamps(capture.text()),
              c.log.empty() ? "" : "FAILED to read region " + c.log + "\n");
  }
  EXPECT_EQ(out, std::vector<float>(8, 3.0f));
  ts::CaptureStdout capture;
  EXPECT_FALSE(ozk::level_shape(*h, 3, w, hgt, s));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to get the shape of level 3: the volume has 3 levels\n");
}

// A brick past the end of the file fails the reads that need it, at its own level and
// from above a node without a brick; a file cut while mapped fails instead of crashing.
TEST(RegionRead, DamagedAndTruncatedHRFilesFailCleanly) {
  ts::TempDir dir;
  HRWriteOptions options = ts::hr_options(70, 40, 40);  // depth 2
  options.no_brick = [](const HRNodeKey& k) { return ts::key_is(k, 1, 0, 0, 0); };
  options.brick_past_end = [](const HRNodeKey& k) { return ts::key_is(k, 2, 0, 0, 0); };
  const std::string path = dir.file("v.hr");
  QVX::Tools::HRWriteResult written;
  ASSERT_TRUE(QVX::Tools::write_hr_volume(path, options, &written, nullptr));
  const std::unique_ptr<ozk::Volume> h(ozk::Volume::Create());
  ts::CaptureStdout capture;
  ASSERT_TRUE(h->open(path.c_str()));
  std::vector<float> out(70 * 40);
  const std::string failed =
      "FAILED to read brick at offset " + std::to_string(written.file_size) + " (E)\n";
  const size_t logged = capture.text().size();
  EXPECT_TRUE(ozk::read_region(*h, 0, 32, 0, 0, 38, 1, 40, out.data()));
  EXPECT_FALSE(ozk::read_region(*h, 0, 0, 0, 0, 1, 40, 1, out.data()));
  EXPECT_FALSE(ozk::read_region(*h, 1, 0, 0, 0, 1, 1, 1, out.data()));
  EXPECT_EQ(ts::strip_timestamps(capture.text().substr(logged)), failed + failed);

  std::filesystem::resize_file(path, 4096);
  EXPECT_FALSE(ozk::read_region(*h, 0, 32, 0, 0, 38, 1, 40, out.data()));
  EXPECT_NE(capture.text().find("FAILED to read brick at offset", logged + 2 * failed.size()),
            std::string::npos);
}

}  // namespace
