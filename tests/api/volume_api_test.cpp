// The volume handle through the C interface, as a calling program uses it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <fstream>
#include <memory>
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

struct Report {
  uint32_t width = 0, height = 0, slices = 0, kind = 0;
  double vmin[3] = {}, vmax[3] = {}, voxel[3] = {};
  double data_min = 0, data_max = 0;
};

Report report(qvx_ozk_volume* v) {
  Report r;
  qvx_ozk_volume_slice_width(v, &r.width);
  qvx_ozk_volume_slice_height(v, &r.height);
  qvx_ozk_volume_num_slices(v, &r.slices);
  qvx_ozk_volume_kind(v, &r.kind);
  qvx_ozk_volume_vmin(v, &r.vmin[0], &r.vmin[1], &r.vmin[2]);
  qvx_ozk_volume_vmax(v, &r.vmax[0], &r.vmax[1], &r.vmax[2]);
  qvx_ozk_volume_voxel_size(v, &r.voxel[0], &r.voxel[1], &r.voxel[2]);
  qvx_ozk_volume_data_min(v, &r.data_min);
  qvx_ozk_volume_data_max(v, &r.data_max);
  return r;
}

uint32_t bits_of(float f) { return std::bit_cast<uint32_t>(f); }

uint64_t available_memory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    meminfo.ignore(64, '\n');
  }
  return 0;
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

TEST_F(VolumeApi, FreshHandleReportsNothingOpenAndNoDataRange) {
  const Report r = report(v);
  EXPECT_EQ(r.width + r.height + r.slices, 0u);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_NONE);
  EXPECT_EQ(r.vmin[0] + r.vmax[1] + r.voxel[2], 0.0);
  EXPECT_EQ(r.data_min, 1.0);
  EXPECT_EQ(r.data_max, 0.0);
  float out[1];
  EXPECT_FALSE(read(out, 0));
  EXPECT_TRUE(qvx_ozk_volume_close(v));
  EXPECT_EQ(report(v).data_min, 1.0);
  EXPECT_EQ(qvx_ozk_version(), std::to_string(QVX_OZK_VERSION_MAJOR) + "." +
                                   std::to_string(QVX_OZK_VERSION_MINOR) + "." +
                                   std::to_string(QVX_OZK_VERSION_PATCH));
}

// Slices are planes of constant y with x rows of z columns, for every sample width,
// plain or compressed, read in any order.
class PackedSlices : public VolumeApi,
                     public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(PackedSlices, AxesAndScalingFollowTheFile) {
  const auto [bits, gz] = GetParam();
  const uint32_t nx = 3, ny = 4, nz = 5;
  std::vector<float> expected = ts::generated_volume(nx, ny, nz);
  std::vector<uint8_t> u8;
  std::vector<uint16_t> u16;
  // The first two samples pin the exact constants: 255 and 65535 read 1.0, 128 reads
  // 0.50196081 and 1 reads 1.5259022e-05.
  for (size_t i = 0; bits != 32 && i < expected.size(); ++i) {
    u8.push_back(static_cast<uint8_t>(i == 0 ? 255 : i == 1 ? 128 : i * 4));
    u16.push_back(static_cast<uint16_t>(i == 0 ? 65535 : i == 1 ? 1 : i * 1000));
    expected[i] = bits == 8 ? static_cast<float>(u8.back()) * 0.003921569f
                            : static_cast<float>(u16.back()) * 1.5259022e-05f;
  }
  if (bits != 32) {
    EXPECT_EQ(expected[0], 1.0f);
    EXPECT_EQ(bits_of(expected[1]), bits == 8 ? 0x3F008081u : 0x37800080u);
  }
  const std::string samples = bits == 8    ? ts::u8_bytes(u8)
                              : bits == 16 ? ts::u16_bytes(u16)
                                           : ts::f32_bytes(expected);
  ASSERT_TRUE(
      open(file("v.pvol", ts::packed_header(nx, ny, nz, bits, {"Min: -1 -2 -3"}) + samples, gz)));
  const Report r = report(v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_PACKED);
  EXPECT_EQ(r.height, nx);
  EXPECT_EQ(r.slices, ny);
  EXPECT_EQ(r.width, nz);
  EXPECT_EQ(r.vmin[2], -3.0);

  std::vector<float> slice(nx * nz);
  for (uint32_t y : {2u, 0u, 3u, 1u}) {
    ASSERT_TRUE(read(slice.data(), y)) << "slice " << y;
    for (uint32_t i = 0; i < nx * nz; ++i) {
      ASSERT_EQ(bits_of(slice[i]), bits_of(expected[y * nx * nz + i])) << y << ", " << i;
    }
  }
  EXPECT_FALSE(read(slice.data(), ny));
}

INSTANTIATE_TEST_SUITE_P(AllWidths, PackedSlices,
                         ::testing::Combine(::testing::Values(8, 16, 32), ::testing::Bool()));

TEST_F(VolumeApi, PackedDataRangeRules) {
  const std::string table = ts::colour_table_section(1000, 3000, 0, 4000);
  const std::string no_width = "# QVX Packed Volume\nVoxels: 1 1 1\nSweepDirection: 1\n";
  const struct {
    const char* what;
    std::string text;
    double data_min, data_max;
  } cases[] = {
      {"8-bit", ts::packed_header(1, 1, 1, 8), 0.0, 1.0},
      {"16-bit ignores the display range", ts::packed_header(1, 1, 1, 16, {"DisplayRange: -5 10"}),
       0.0, 1.0},
      {"32-bit display range", ts::packed_header(1, 1, 1, 32, {"DisplayRange: -5 10"}), -5.0, 10.0},
      {"32-bit without any range", ts::packed_header(1, 1, 1, 32), 0.0, 0.0},
      {"32-bit colour table", ts::packed_header(1, 1, 1, 32, {table, "DisplayRange: -5 10"}), 0.0,
       4000.0},
      {"16-bit colour table", ts::packed_header(1, 1, 1, 16, {table}), 0.0, 1.0},
      // Applied before the width is known, the table moves the window into 0..1 units,
      // which then stands in for the missing range.
      {"table before the width", no_width + table + "\nBitsPerSample: 32\n</content>\n", 0.25,
       0.75},
      {"incomplete table",
       ts::packed_header(
           1, 1, 1, 32,
           {ts::colour_table_section("<Min>1</Min>\n<Max>2</Max>\n<FullMin>0</FullMin>\n"),
            "DisplayRange: 3 4"}),
       3.0, 4.0},
      {"empty full range of integer samples",
       ts::packed_header(1, 1, 1, 8, {ts::colour_table_section(1, 2, 5, 5)}), 0.0, 1.0},
      {"histogram lines skipped",
       ts::packed_header(
           1, 1, 1, 32,
           {ts::colour_table_section("<Histogram>\n<FullMin>-99</FullMin>\n"
                                     "</Histogram>\n<Min>1</Min>\n<Max>2</Max>\n"
                                     "<FullMin>-7</FullMin>\n<FullMax>8</FullMax>\n")}),
       -7.0, 8.0},
  };
  for (const auto& c : cases) {
    qvx_ozk_volume* fresh = qvx_ozk_volume_create();
    ASSERT_TRUE(qvx_ozk_volume_open(fresh, file("r.pvol", c.text + "0000").c_str())) << c.what;
    EXPECT_EQ(report(fresh).data_min, c.data_min) << c.what;
    EXPECT_EQ(report(fresh).data_max, c.data_max) << c.what;
    qvx_ozk_volume_delete(fresh);
  }
}

TEST_F(VolumeApi, DataRangeSurvivesCloseAndCarriesIntoAVolumeWithoutOne) {
  ASSERT_TRUE(open(file("a.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: -5 10"}))));
  ASSERT_TRUE(qvx_ozk_volume_close(v));
  EXPECT_EQ(report(v).width, 0u);
  EXPECT_EQ(report(v).data_min, -5.0);
  // A range is known, so the new file's display range does not replace it.
  ASSERT_TRUE(open(file("b.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: 100 200"}))));
  EXPECT_EQ(report(v).data_min, -5.0);
  EXPECT_EQ(report(v).data_max, 10.0);
}

TEST_F(VolumeApi, PackedHeadersThatDoNotOpen) {
  const std::string magic = "# QVX Packed Volume\r\n";
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"no voxels", magic + "BitsPerSample: 8\nSweepDirection: 1\n</content>\n"},
      {"space before the colon", magic + "Voxels : 1 1 1\nSweepDirection: 1\n</content>\n"},
      {"incomplete voxels", magic + "Voxels: 1 1\nSweepDirection: 1\n</content>\n"},
      {"negative voxels", magic + "Voxels: 1 -1 1\nSweepDirection: 1\n</content>\n"},
      {"no sweep direction", magic + "Voxels: 1 1 1\n</content>\n"},
      {"sweep direction 0", magic + "Voxels: 1 1 1\nSweepDirection: 0\n</content>\n"},
      {"no end of header", magic + "Voxels: 1 1 1\nSweepDirection: 1\n"},
      {"3D view never ends", magic + "Voxels: 1 1 1\nSweepDirection: 1\n3DView\n</content>\n"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(open(file("bad.pvol", c.text))) << c.what;
    EXPECT_EQ(report(v).kind, QVX_OZK_KIND_NONE) << c.what;
  }
  // Capitals, tabs and carriage returns are fine.
  EXPECT_TRUE(open(file("ok.pvol", magic + "  VOXELS:\t100 200 300 \r\nsweepdirection: 1\r\n"
                                           "</content>\r\n")));
  EXPECT_EQ(report(v).slices, 200u);

  const std::string huge = file("huge.pvol", ts::packed_header(4000000000u, 4000000000u, 8, 16));
  CaptureStdout capture;
  EXPECT_FALSE(open(huge));
  EXPECT_NE(capture.text().find("FAILED to open volume '" + huge + "'"), std::string::npos);
}

TEST_F(VolumeApi, ShortOrDamagedDataFailsOnlyTheSlicesItHolds) {
  // Two whole slices of three promised.
  ASSERT_TRUE(open(file("short.pvol", ts::packed_header(2, 3, 2, 8) + std::string(10, '\1'))));
  float out[64 * 64];
  EXPECT_TRUE(read(out, 1));
  EXPECT_FALSE(read(out, 2));
  EXPECT_TRUE(read(out, 0));

  // Samples that do not compress, so that cutting the file's end damages only the data.
  std::string noise(64 * 64 * 4, '\0');
  uint32_t state = 12345;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  const std::string path = file("damaged.gz", ts::packed_header(64, 4, 64, 8) + noise, true);
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(open(file("damaged.gz", bytes.substr(0, bytes.size() - 40))));
  EXPECT_TRUE(read(out, 0));
  EXPECT_FALSE(read(out, 3));

  // Without a sample width the volume opens, but nothing reads.
  ASSERT_TRUE(open(file("nobits.pvol",
                        "# QVX Packed Volume\nVoxels: 1 1 1\nSweepDirection: 1\n"
                        "</content>\nabcd")));
  EXPECT_FALSE(read(out, 0));
}

TEST_F(VolumeApi, SlicesOfTwoGibibytesAndMoreReadWhole) {
  // One row of 2^29 + 1 floats: a slice of 2^31 + 4 bytes, more than zlib reads in one
  // call. The file is sparse; the buffer and the file's cached pages take about 4.5 GB.
  if (available_memory() < (uint64_t{6} << 30)) GTEST_SKIP() << "needs 6 GB of free memory";
  const uint32_t width = (1u << 29) + 1;
  const std::string header = ts::packed_header(1, 1, width, 32);
  const std::string path = dir.file("big.pvol");
  {
    std::ofstream out(path, std::ios::binary);
    out << header;
    out.seekp(static_cast<std::streamoff>(header.size() + (uint64_t{1} << 30)));
    out << ts::f32_bytes({-3.5f});  // the first sample of zlib's second piece
    out.seekp(static_cast<std::streamoff>(header.size() + uint64_t{width} * 4 - 4));
    out << ts::f32_bytes({42.5f});
  }
  ASSERT_TRUE(open(path));
  std::unique_ptr<float[]> slice(new float[width]);
  ASSERT_TRUE(read(slice.get(), 0));
  EXPECT_EQ(slice[(1u << 28) - 1], 0.0f);
  EXPECT_EQ(slice[1u << 28], -3.5f);
  EXPECT_EQ(slice[width - 1], 42.5f);
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
  EXPECT_EQ(report(v).kind, QVX_OZK_KIND_HEADER);

  // A missing file goes through the HR probe, then the tag reader, both logging.
  const std::string missing = dir.file("missing.vol");
  CaptureStdout capture_missing;
  EXPECT_FALSE(open(missing));
  const std::string log = ts::strip_timestamps(capture_missing.text());
  EXPECT_EQ(log, "FAILED to open existing HR Volume '" + missing +
                     "': No such file or directory (0x2)\n..Failed to open [" + missing + "]\n");
  EXPECT_EQ(report(v).kind, QVX_OZK_KIND_NONE);  // the open closed the header volume
}

TEST_F(VolumeApi, IllFormedPathsFailWithAMessageAndCloseTheHandle) {
  const std::string good = file("g.pvol", ts::packed_header(1, 1, 1, 8) + "a");
  ASSERT_TRUE(open(good));
  CaptureStdout capture;
  EXPECT_FALSE(open("bad\xC0\xAFpath"));
  EXPECT_EQ(report(v).kind, QVX_OZK_KIND_NONE);
  ASSERT_TRUE(open(good));
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'\0'};
  EXPECT_FALSE(qvx_ozk_volume_wopen(v, lone_surrogate));
  EXPECT_EQ(report(v).kind, QVX_OZK_KIND_NONE);
  EXPECT_NE(capture.text().find("FAILED in qvx_ozk_volume_open: bad conversion"),
            std::string::npos);
  EXPECT_NE(capture.text().find("FAILED in qvx_ozk_volume_wopen: bad conversion"),
            std::string::npos);
}

class HeaderVolumes : public VolumeApi {
 protected:
  // A slice file holding slices first .. first + count - 1 of the generated volume.
  void slices(const std::string& name, uint32_t first, uint32_t count, bool gz = false) {
    const std::vector<float> all = ts::generated_volume(nx, first + count, nz);
    file(name, ts::f32_bytes({all.begin() + first * nx * nz, all.end()}), gz);
  }
  void expect_slice(uint32_t y) {
    std::vector<float> out(nx * nz, -1.0f);
    ASSERT_TRUE(read(out.data(), y)) << "slice " << y;
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z) ASSERT_EQ(out[x * nz + z], ts::voxel_value(x, y, z));
    }
  }
  const uint32_t nx = 3, nz = 4;
};

TEST_F(HeaderVolumes, SlicesRunThroughTheFilesInListOrder) {
  slices("a.raw", 0, 10);
  slices("b.raw.gz", 10, 20, /*gz=*/true);
  ASSERT_TRUE(open(file(
      "vol.hdr", ts::header_volume_text(nx, 30, nz, {{"a.raw", 10}, {"b.raw.gz", 20}},
                                        {"<DataRange>-1000 3000</DataRange>", "<Location>",
                                         "<Min>1 2 3</Min>", "<Max>4 5 6</Max>", "</Location>"}))));
  const Report r = report(v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_HEADER);
  EXPECT_EQ(r.height, nx);
  EXPECT_EQ(r.slices, 30u);
  EXPECT_EQ(r.width, nz);
  EXPECT_EQ(r.data_min, -1000.0);
  EXPECT_EQ(r.data_max, 3000.0);
  EXPECT_EQ(r.vmin[1], 2.0);
  EXPECT_EQ(r.vmax[2], 6.0);
  for (uint32_t y : {0u, 9u, 10u, 29u, 15u}) expect_slice(y);
}

TEST_F(HeaderVolumes, SlicesNoFileHoldsOrBeyondTheVolumeFail) {
  slices("a.raw", 0, 5);
  file("short.raw", std::string(nx * nz * 4 + 3, '\0'));
  // The files hold 5 + 1 whole slices, the missing file none; the volume promises 9.
  ASSERT_TRUE(
      open(file("vol.hdr", ts::header_volume_text(
                               nx, 9, nz, {{"a.raw", 5}, {"short.raw", 2}, {"no.raw", 1}}))));
  std::vector<float> out(nx * nz);
  expect_slice(4);
  EXPECT_TRUE(read(out.data(), 5));
  for (uint32_t y : {6u, 7u, 8u, 9u}) EXPECT_FALSE(read(out.data(), y)) << y;
  // Files holding more slices than the volume has do not extend it.
  ASSERT_TRUE(open(file("vol.hdr", ts::header_volume_text(nx, 3, nz, {{"a.raw", 5}}))));
  EXPECT_FALSE(read(out.data(), 3));
}

TEST_F(HeaderVolumes, WithoutVoxelsTheOpenFailsButTheCornersRemain) {
  EXPECT_FALSE(open(file("novox.hdr",
                         "<Brevant Quill Labs Volume Header>\n<Location>\n<Min>1 2 3</Min>\n"
                         "<Max>7 8 9</Max>\n</Location>\n</Brevant Quill Labs Volume Header>\n")));
  EXPECT_EQ(report(v).kind, QVX_OZK_KIND_NONE);
  EXPECT_EQ(report(v).vmin[0], 1.0);
  EXPECT_EQ(report(v).vmax[2], 9.0);
}

TEST_F(HeaderVolumes, NonAsciiPathsOpenByUtf8AndWidePath) {
  const std::string sub = dir.file("Schädel μCT 頭部");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  slices("Schädel μCT 頭部/daten_ä.raw", 0, 2);
  ASSERT_TRUE(open(file("Schädel μCT 頭部/vol_🦴.hdr",
                        ts::header_volume_text(nx, 2, nz, {{"daten_ä.raw", 2}}))));
  expect_slice(1);
  const std::wstring wide =
      std::wstring(dir.path().begin(), dir.path().end()) + L"/Schädel μCT 頭部/vol_🦴.hdr";
  ASSERT_TRUE(qvx_ozk_volume_wopen(v, wide.c_str()));
  expect_slice(0);
}

}  // namespace
