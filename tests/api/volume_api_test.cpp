// The volume handle through the C interface, as a calling program uses it.
#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

namespace ts = QVX::TestSupport;
using ts::CaptureStdout;

uint32_t kind(qvx_ozk_volume* v) {
  uint32_t k = 99;
  qvx_ozk_volume_kind(v, &k);
  return k;
}

class VolumeApi : public ::testing::Test {
 protected:
  ~VolumeApi() override { qvx_ozk_volume_delete(v); }
  std::string file(const std::string& name, const std::string& bytes, bool gz = false) {
    const std::string path = dir.file(name);
    gz ? ts::write_gzip_file(path, bytes) : ts::write_file(path, bytes);
    return path;
  }
  bool open(const std::string& path) { return qvx_ozk_volume_open(v, path.c_str()); }
  bool read(float* out, uint32_t index) { return qvx_ozk_volume_read_slice(v, out, index); }

  ts::TempDir dir;
  qvx_ozk_volume* v = qvx_ozk_volume_create();
};

TEST_F(VolumeApi, PackedDataRangeRules) {
  const std::string table = ts::colour_table_section(1000, 3000, 0, 4000);
  const auto header = [](int bits, const std::vector<std::string>& extra = {}) {
    return ts::packed_header(1, 1, 1, bits, extra);
  };
  const struct {
    std::string text;
    double data_min, data_max;
  } cases[] = {
      {header(16, {"DisplayRange: -5 10"}), 0.0, 1.0},  // integer samples ignore the range
      {header(32, {"DisplayRange: -5 10"}), -5.0, 10.0},
      {header(32), 0.0, 0.0},
      {header(32, {table, "DisplayRange: -5 10"}), 0.0, 4000.0},
      // Applied before the width is known, the table moves the window into 0..1 units,
      // which then stands in for the missing range.
      {"# QVX Packed Volume\nVoxels: 1 1 1\nSweepDirection: 1\n" + table +
           "\nBitsPerSample: 32\n</content>\n",
       0.25, 0.75},
      // A table without FullMax defines nothing.
      {header(32, {ts::colour_table_section("<Min>1</Min>\n<Max>2</Max>\n<FullMin>0</FullMin>\n"),
                   "DisplayRange: 3 4"}),
       3.0, 4.0},
      {header(8, {ts::colour_table_section(1, 2, 5, 5)}), 0.0, 1.0},  // empty full range
      {header(32, {ts::colour_table_section("<Histogram>\n<FullMin>-99</FullMin>\n</Histogram>\n"
                                            "<Min>1</Min>\n<Max>2</Max>\n<FullMin>-7</FullMin>\n"
                                            "<FullMax>8</FullMax>\n")}),
       -7.0, 8.0}};
  for (const auto& c : cases) {
    qvx_ozk_volume* fresh = qvx_ozk_volume_create();
    ASSERT_TRUE(qvx_ozk_volume_open(fresh, file("r.pvol", c.text + "0000").c_str())) << c.text;
    EXPECT_EQ(std::tuple(fresh->data_min(), fresh->data_max()), std::tuple(c.data_min, c.data_max))
        << c.text;
    qvx_ozk_volume_delete(fresh);
  }
}

TEST_F(VolumeApi, DataRangeSurvivesCloseAndCarriesIntoAVolumeWithoutOne) {
  // A fresh handle has no range: its minimum lies above its maximum.
  EXPECT_EQ(std::tuple(v->data_min(), v->data_max()), std::tuple(1.0, 0.0));
  ASSERT_TRUE(open(file("a.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: -5 10"}))));
  ASSERT_TRUE(qvx_ozk_volume_close(v));
  EXPECT_EQ(std::tuple(v->slice_width(), v->data_min()), std::tuple(0u, -5.0));
  // A range is known, so the new file's display range does not replace it.
  ASSERT_TRUE(open(file("b.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: 100 200"}))));
  EXPECT_EQ(std::tuple(v->data_min(), v->data_max()), std::tuple(-5.0, 10.0));
}

TEST_F(VolumeApi, PackedHeadersThatDoNotOpenOrDoNotRead) {
  const std::string magic = "# QVX Packed Volume\r\n", end = "SweepDirection: 1\n</content>\n";
  for (const std::string& text : {
           magic + "BitsPerSample: 8\n" + end,
           magic + "Voxels : 1 1 1\n" + end,  // a space before the colon
           magic + "Voxels: 1 1\n" + end, magic + "Voxels: 1 -1 1\n" + end,
           magic + "Voxels: 1 1 1\n</content>\n",
           magic + "Voxels: 1 1 1\nSweepDirection: 0\n</content>\n",
           magic + "Voxels: 1 1 1\nSweepDirection: 1\n",                     // no end of the header
           magic + "Voxels: 1 1 1\nSweepDirection: 1\n3DView\n</content>\n"  // never ends
       }) {
    EXPECT_FALSE(open(file("bad.pvol", text))) << text;
    EXPECT_EQ(kind(v), QVX_OZK_KIND_NONE) << text;
  }
  // Without a sample width the volume opens, but nothing reads.
  ASSERT_TRUE(open(file("nobits.pvol", magic + "Voxels: 1 1 1\n" + end + "abcd")));
  float out[1];
  EXPECT_FALSE(read(out, 0));
  // 4e9 slices of 4e9 x 8 16-bit samples: only the slice count passes 2^63 bytes.
  const std::string huge = file("huge.pvol", ts::packed_header(4000000000u, 4000000000u, 8, 16));
  CaptureStdout capture;
  EXPECT_FALSE(open(huge));
  EXPECT_NE(capture.text().find("FAILED to open volume '" + huge + "'"), std::string::npos);
}

TEST_F(VolumeApi, ProbesRunPackedThenHRThenHeader) {
  const std::string header_text = ts::header_volume_text(1, 1, 1, {});
  // An HR header in front of header-volume text: the HR probe claims the file, the HR
  // reader refuses the rest, and the header reader never sees it.
  CaptureStdout capture;
  EXPECT_FALSE(open(file("x.hdr", std::string("QVXHRVOL\4\0\0\0\0\0\0\0\n", 17) + header_text)));
  EXPECT_NE(capture.text().find("Opened existing HR Volume"), std::string::npos);
  EXPECT_EQ(capture.text().find("Failed to open ["), std::string::npos);
  // A magic line with a trailing space is no packed volume; the header probe then fails.
  EXPECT_FALSE(open(file("sp.pvol",
                         "# QVX Packed Volume \nVoxels: 1 1 1\nBitsPerSample: 8\n"
                         "SweepDirection: 1\n</content>\nx")));
  EXPECT_TRUE(open(file("indented.hdr", " \t" + header_text)));
  EXPECT_EQ(kind(v), QVX_OZK_KIND_HEADER);

  // A missing file goes through the HR probe, then the tag reader, both logging.
  const std::string missing = dir.file("missing.vol");
  CaptureStdout capture_missing;
  EXPECT_FALSE(open(missing));
  EXPECT_EQ(ts::strip_timestamps(capture_missing.text()),
            "FAILED to open existing HR Volume '" + missing +
                "': No such file or directory (0x2)\n..Failed to open [" + missing + "]\n");
  EXPECT_EQ(kind(v), QVX_OZK_KIND_NONE);  // the open closed the header volume
}

TEST_F(VolumeApi, IllFormedPathsFailWithAMessageAndCloseTheHandle) {
  const std::string good = file("g.pvol", ts::packed_header(1, 1, 1, 8) + "a");
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'\0'};
  CaptureStdout capture;
  for (const bool wide : {false, true}) {
    ASSERT_TRUE(open(good));
    EXPECT_FALSE(wide ? qvx_ozk_volume_wopen(v, lone_surrogate) : open("bad\xC0\xAFpath"));
    EXPECT_EQ(kind(v), QVX_OZK_KIND_NONE);
  }
  EXPECT_NE(capture.text().find("FAILED in qvx_ozk_volume_open: bad conversion"),
            std::string::npos);
  EXPECT_NE(capture.text().find("FAILED in qvx_ozk_volume_wopen: bad conversion"),
            std::string::npos);
  EXPECT_THROW(v->open("\xFF"), std::range_error);  // the class is the handle, unguarded
}

// Header volumes: slices run through the listed files in order; a non-ASCII name is
// found beside the header by its UTF-8 and its wide path.
TEST_F(VolumeApi, HeaderVolumeSlicesRunThroughTheFilesInListOrder) {
  const uint32_t nx = 3, nz = 4;
  const auto slices = [&](const std::string& name, uint32_t first, uint32_t count, bool gz) {
    const std::vector<float> all = ts::generated_volume(nx, first + count, nz);
    file(name, ts::f32_bytes({all.begin() + first * nx * nz, all.end()}), gz);
  };
  const auto expect_slice = [&](uint32_t y) {
    std::vector<float> out(nx * nz, -1.0f), want(nx * nz);
    for (uint32_t i = 0; i < nx * nz; ++i) want[i] = ts::voxel_value(i / nz, y, i % nz);
    EXPECT_TRUE(read(out.data(), y));
    EXPECT_EQ(out, want) << "slice " << y;
  };
  slices("a_ä.raw", 0, 10, false);
  slices("b.raw.gz", 10, 20, true);
  file("short.raw", std::string(nx * nz * 4 + 3, '\0'));
  const std::string hdr =
      file("vol_🦴.hdr",
           ts::header_volume_text(
               nx, 34, nz, {{"a_ä.raw", 10}, {"b.raw.gz", 20}, {"short.raw", 2}, {"no.raw", 1}},
               {"<DataRange>-1000 3000</DataRange>", "<Location>", "<Min>1 2 3</Min>",
                "<Max>4 5 6</Max>", "</Location>"}));
  ASSERT_TRUE(open(hdr));
  // The exported class is the handle.
  QVX::ozK::Vec3_d corner;
  corner = v->vmax();
  EXPECT_EQ(std::tuple(kind(v), v->slice_height(), v->num_slices(), v->slice_width(), corner.y),
            std::tuple(QVX_OZK_KIND_HEADER, nx, 34u, nz, 5.0));
  double c[6] = {};
  qvx_ozk_volume_vmin(v, &c[0], &c[1], &c[2]);
  qvx_ozk_volume_vmax(v, &c[3], &c[4], &c[5]);
  EXPECT_EQ(std::tuple(v->data_min(), v->data_max(), c[1], c[5]),
            std::tuple(-1000.0, 3000.0, 2.0, 6.0));
  for (uint32_t y : {0u, 9u, 10u, 29u, 15u}) expect_slice(y);
  // The short file holds one whole slice of two, the missing file none.
  std::vector<float> out(nx * nz);
  EXPECT_TRUE(read(out.data(), 30));
  for (uint32_t y : {31u, 32u, 34u}) EXPECT_FALSE(read(out.data(), y)) << y;
  const std::wstring wide = std::wstring(dir.path().begin(), dir.path().end()) + L"/vol_🦴.hdr";
  ASSERT_TRUE(qvx_ozk_volume_wopen(v, wide.c_str()));
  expect_slice(1);
  // Files holding more slices than the volume has do not extend it.
  ASSERT_TRUE(open(file("vol.hdr", ts::header_volume_text(nx, 3, nz, {{"a_ä.raw", 10}}))));
  EXPECT_FALSE(read(out.data(), 3));

  // Without voxels the open fails, but the corners remain.
  EXPECT_FALSE(open(file("novox.hdr",
                         "<Brevant Quill Labs Volume Header>\n<Location>\n<Min>1 2 3</Min>\n"
                         "<Max>7 8 9</Max>\n</Location>\n</Brevant Quill Labs Volume Header>\n")));
  EXPECT_EQ(std::tuple(kind(v), v->vmin().x, v->vmax().z), std::tuple(QVX_OZK_KIND_NONE, 1.0, 9.0));
}

}  // namespace
