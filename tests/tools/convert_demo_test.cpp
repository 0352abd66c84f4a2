// `ozk convert` and `ozk demo`, run as the built program: converted volumes read back
// through the library bit for bit, failures leave nothing behind, and the demo's volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/external_tools.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

namespace ts = QVX::TestSupport;
namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs `ozk <arguments>` (arguments quoted by the caller), with `limit` as the shell's
// file-size limit in 512-byte blocks when nonzero.
Outcome ozk(const ts::TempDir& dir, const std::string& arguments, int limit = 0) {
  Outcome run;
  const std::string err = dir.file("stderr.txt");
  std::string command = std::string(QVX_OZK_TOOL) + " " + arguments + " 2>" + err;
  if (limit > 0) command = "ulimit -f " + std::to_string(limit) + "; " + command;
  run.status = ts::run_command(command, &run.out);
  std::ifstream in(err);
  run.err.assign(std::istreambuf_iterator<char>(in), {});
  return run;
}

struct Volume {
  uint32_t width = 0, height = 0, slices = 0;
  double vmin[3] = {}, vmax[3] = {};
  std::vector<float> voxels;  // slice after slice
};

// Every slice of the volume at `path`, through the public interface; empty when it
// does not open or a slice does not read.
Volume read_volume(const std::string& path) {
  Volume v;
  ts::CaptureStdout quiet;
  qvx_ozk_volume* h = qvx_ozk_volume_create();
  if (qvx_ozk_volume_open(h, path.c_str())) {
    qvx_ozk_volume_slice_width(h, &v.width);
    qvx_ozk_volume_slice_height(h, &v.height);
    qvx_ozk_volume_num_slices(h, &v.slices);
    qvx_ozk_volume_vmin(h, &v.vmin[0], &v.vmin[1], &v.vmin[2]);
    qvx_ozk_volume_vmax(h, &v.vmax[0], &v.vmax[1], &v.vmax[2]);
    const size_t size = size_t{v.width} * v.height;
    v.voxels.resize(size * v.slices);
    for (uint32_t y = 0; y < v.slices; ++y) {
      if (!qvx_ozk_volume_read_slice(h, v.voxels.data() + size * y, y)) {
        v.voxels.clear();
        break;
      }
    }
  }
  qvx_ozk_volume_delete(h);
  return v;
}

uint32_t kind_of(const std::string& path) {
  ts::CaptureStdout quiet;
  qvx_ozk_volume* h = qvx_ozk_volume_create();
  uint32_t kind = QVX_OZK_KIND_NONE;
  if (qvx_ozk_volume_open(h, path.c_str())) qvx_ozk_volume_kind(h, &kind);
  qvx_ozk_volume_delete(h);
  return kind;
}

// Bit for bit, with the geometry and corners.
void expect_same_volume(const std::string& original, const std::string& converted) {
  const Volume a = read_volume(original), b = read_volume(converted);
  ASSERT_FALSE(a.voxels.empty()) << original;
  ASSERT_FALSE(b.voxels.empty()) << converted;
  EXPECT_EQ(kind_of(converted), QVX_OZK_KIND_HR);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.slices, b.slices);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a.vmin[i], b.vmin[i]);
    EXPECT_EQ(a.vmax[i], b.vmax[i]);
  }
  ASSERT_EQ(a.voxels.size(), b.voxels.size());
  size_t differing = 0;
  for (size_t i = 0; i < a.voxels.size(); ++i) {
    differing += std::bit_cast<uint32_t>(a.voxels[i]) != std::bit_cast<uint32_t>(b.voxels[i]);
  }
  EXPECT_EQ(differing, 0u);
}

// 16-bit samples that differ along every axis, gzipped.
void write_packed16(const std::string& path, uint32_t nx, uint32_t ny, uint32_t nz) {
  std::vector<uint16_t> samples;
  for (uint32_t y = 0; y < ny; ++y) {
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z)
        samples.push_back(static_cast<uint16_t>(x + 97 * y + 5 * z));
    }
  }
  ts::write_gzip_file(path, ts::packed_header(nx, ny, nz, 16, {"Min: -1 -2 -3", "Max: 4 5 6"}) +
                                ts::u16_bytes(samples));
}

// Float samples in two slice files, the second gzipped.
void write_header_volume(const ts::TempDir& dir, uint32_t nx, uint32_t ny, uint32_t nz) {
  const std::vector<float> all = ts::generated_volume(nx, ny, nz);
  const uint32_t first = ny / 3;
  const size_t split = size_t{first} * nx * nz;
  ts::write_file(dir.file("a.raw"),
                 ts::f32_bytes(std::vector<float>(all.begin(), all.begin() + split)));
  ts::write_gzip_file(dir.file("b.raw.gz"),
                      ts::f32_bytes(std::vector<float>(all.begin() + split, all.end())));
  ts::write_file(dir.file("v.hdr"),
                 ts::header_volume_text(nx, ny, nz,
                                        {{"a.raw", static_cast<int>(first)},
                                         {"b.raw.gz", static_cast<int>(ny - first)}},
                                        {"<DataRange>0 40000</DataRange>"}));
}

TEST(OzkConvert, PackedVolumeReadsBackBitForBit) {
  ts::TempDir dir;
  write_packed16(dir.file("v.pvol"), 40, 33, 70);
  const Outcome run = ozk(dir, "convert --quiet " + dir.file("v.pvol") + " " + dir.file("v.hrv"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  expect_same_volume(dir.file("v.pvol"), dir.file("v.hrv"));
  EXPECT_FALSE(fs::exists(dir.file("v.hrv.partial")));
}

TEST(OzkConvert, HeaderVolumeReadsBackBitForBit) {
  ts::TempDir dir;
  write_header_volume(dir, 40, 70, 33);
  const Outcome run = ozk(dir, "convert --quiet " + dir.file("v.hdr") + " " + dir.file("v.hrv"));
  ASSERT_EQ(run.status, 0) << run.err;
  expect_same_volume(dir.file("v.hdr"), dir.file("v.hrv"));
}

TEST(OzkConvert, SmallVolumeReadsBackBitForBit) {
  ts::TempDir dir;
  write_packed16(dir.file("v.pvol"), 3, 5, 2);
  const Outcome run = ozk(dir, "convert --quiet " + dir.file("v.pvol") + " " + dir.file("v.hrv"));
  ASSERT_EQ(run.status, 0) << run.err;
  expect_same_volume(dir.file("v.pvol"), dir.file("v.hrv"));
}

TEST(OzkConvert, MissingInputFailsWithOneLine) {
  ts::TempDir dir;
  const Outcome run = ozk(dir, "convert " + dir.file("none.pvol") + " " + dir.file("v.hrv"));
  EXPECT_EQ(run.status, 1);
  // The library's own log entries go to standard error as well.
  EXPECT_NE(run.err.find("ozk: cannot open '" + dir.file("none.pvol") + "'"), std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dir.file("v.hrv")));
}

TEST(OzkConvert, UncreatableOutputLeavesNothing) {
  ts::TempDir dir;
  write_packed16(dir.file("v.pvol"), 40, 33, 70);
  ts::write_file(dir.file("plain"), "x");
  const Outcome run = ozk(dir, "convert " + dir.file("v.pvol") + " " + dir.file("plain/v.hrv"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ozk: cannot create '" + dir.file("plain/v.hrv") + "'"), std::string::npos)
      << run.err;
}

TEST(OzkConvert, FullDiskLeavesNoPartialFile) {
  ts::TempDir dir;
  write_packed16(dir.file("v.pvol"), 40, 33, 70);
  // 15 bricks of 128 KiB do not fit under 1 MiB.
  const Outcome run =
      ozk(dir, "convert --quiet " + dir.file("v.pvol") + " " + dir.file("v.hrv"), 2048);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ozk: cannot write '" + dir.file("v.hrv") + "': File too large"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dir.file("v.hrv")));
  EXPECT_FALSE(fs::exists(dir.file("v.hrv.partial")));
}

TEST(OzkConvert, RefusesToReplaceItsInput) {
  ts::TempDir dir;
  write_packed16(dir.file("v.pvol"), 4, 4, 4);
  const Outcome run = ozk(dir, "convert " + dir.file("v.pvol") + " " + dir.file("v.pvol"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("the output is the input file"), std::string::npos) << run.err;
  EXPECT_EQ(kind_of(dir.file("v.pvol")), QVX_OZK_KIND_PACKED);
}

TEST(OzkDemo, ThreeVolumesAgreeAndImagesAreWritten) {
  ts::TempDir dir;
  const std::string out = dir.file("demo");
  const Outcome run = ozk(dir, "demo --quiet --size 40 " + out);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> volumes = {out + "/phantom.pvol.gz", out + "/phantom.hdr",
                                            out + "/phantom.hrv"};
  const std::vector<uint32_t> kinds = {QVX_OZK_KIND_PACKED, QVX_OZK_KIND_HEADER, QVX_OZK_KIND_HR};
  const Volume packed = read_volume(volumes[0]);
  ASSERT_EQ(packed.voxels.size(), 40u * 40u * 40u);
  for (size_t v = 0; v < volumes.size(); ++v) {
    EXPECT_EQ(kind_of(volumes[v]), kinds[v]) << volumes[v];
    EXPECT_NE(run.out.find(volumes[v] + "\n  kind:"), std::string::npos) << run.out;
    EXPECT_TRUE(read_volume(volumes[v]).voxels == packed.voxels) << volumes[v];
  }
  for (const char* image : {"/middle_packed.png", "/middle_header.png", "/middle_hr.png"}) {
    EXPECT_TRUE(fs::exists(out + image)) << image;
    EXPECT_NE(run.out.find("  " + out + image + "\n"), std::string::npos) << run.out;
  }
  // The brain (0.2 = 13107 / 65535) fills the centre; the skull reads 1.
  EXPECT_EQ(packed.voxels[(20 * 40 + 20) * 40 + 20], 13107 * (1.0f / 65535.0f));
  EXPECT_EQ(*std::max_element(packed.voxels.begin(), packed.voxels.end()), 1.0f);
}

TEST(OzkDemo, RefusesSizesOutOfRange) {
  ts::TempDir dir;
  const Outcome run = ozk(dir, "demo --size 1 " + dir.file("demo"));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("ozk: --size"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir.file("demo")));
}

TEST(OzkDemo, UncreatableDirectoryFails) {
  ts::TempDir dir;
  ts::write_file(dir.file("plain"), "x");
  const Outcome run = ozk(dir, "demo --quiet --size 8 " + dir.file("plain/demo"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ozk: cannot create directory '" + dir.file("plain/demo") + "'"),
            std::string::npos)
      << run.err;
}

}  // namespace
