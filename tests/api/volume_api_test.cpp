// The volume handle through the C interface, as a calling program uses it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

using QVX::TestSupport::CaptureStdout;
using QVX::TestSupport::TempDir;
namespace ts = QVX::TestSupport;

// A handle that deletes itself.
struct Handle {
  Handle() : v(qvx_ozk_volume_create()) {}
  ~Handle() { qvx_ozk_volume_delete(v); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  qvx_ozk_volume* v;
};

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

// Bytes of memory the system can still give out.
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
  // Writes a packed volume (gzip-compressed when `gz`) and returns its path.
  std::string packed(const std::string& name, const std::string& header, const std::string& samples,
                     bool gz = false) {
    const std::string path = dir.file(name);
    if (gz) {
      ts::write_gzip_file(path, header + samples);
    } else {
      ts::write_file(path, header + samples);
    }
    return path;
  }

  TempDir dir;
  Handle h;
};

TEST_F(VolumeApi, FreshHandleReportsNothingOpenAndNoDataRange) {
  const Report r = report(h.v);
  EXPECT_EQ(r.width, 0u);
  EXPECT_EQ(r.height, 0u);
  EXPECT_EQ(r.slices, 0u);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_NONE);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.vmin[i] + r.vmax[i] + r.voxel[i], 0.0);
  EXPECT_EQ(r.data_min, 1.0);
  EXPECT_EQ(r.data_max, 0.0);
  float out[1];
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out, 0));
  EXPECT_TRUE(qvx_ozk_volume_close(h.v));
  EXPECT_EQ(report(h.v).data_min, 1.0);
}

TEST_F(VolumeApi, VersionMatchesTheHeaderMacros) {
  const std::string expected = std::to_string(QVX_OZK_VERSION_MAJOR) + "." +
                               std::to_string(QVX_OZK_VERSION_MINOR) + "." +
                               std::to_string(QVX_OZK_VERSION_PATCH);
  EXPECT_EQ(qvx_ozk_version(), expected);
}

// Slices are planes of constant y with x rows of z columns, for every sample width and
// whether or not the file is compressed.
struct SampleCase {
  int bits;
  bool gz;
};

class PackedSlices : public VolumeApi, public ::testing::WithParamInterface<SampleCase> {};

TEST_P(PackedSlices, AxesAndScalingFollowTheFile) {
  const auto [bits, gz] = GetParam();
  const uint32_t nx = 3, ny = 4, nz = 5;
  const std::vector<float> values = ts::generated_volume(nx, ny, nz);
  std::string samples;
  std::vector<float> expected;
  if (bits == 32) {
    samples = ts::f32_bytes(values);
    expected = values;
  } else {
    // Integer samples: a distinct code per voxel, scaled by the library's constants.
    std::vector<uint8_t> u8;
    std::vector<uint16_t> u16;
    for (size_t i = 0; i < values.size(); ++i) {
      if (bits == 8) {
        u8.push_back(static_cast<uint8_t>(i * 4));
        expected.push_back(static_cast<float>(u8.back()) * 0.003921569f);
      } else {
        u16.push_back(static_cast<uint16_t>(i * 1000 + 7));
        expected.push_back(static_cast<float>(u16.back()) * 1.5259022e-05f);
      }
    }
    samples = bits == 8 ? ts::u8_bytes(u8) : ts::u16_bytes(u16);
  }
  const std::string path = packed(
      "v.pvol", ts::packed_header(nx, ny, nz, bits, {"Min: -1 -2 -3", "Max: 4 5 6"}), samples, gz);

  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  const Report r = report(h.v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_PACKED);
  EXPECT_EQ(r.height, nx);
  EXPECT_EQ(r.slices, ny);
  EXPECT_EQ(r.width, nz);
  EXPECT_EQ(r.vmin[0], -1.0);
  EXPECT_EQ(r.vmin[2], -3.0);
  EXPECT_EQ(r.vmax[1], 5.0);
  EXPECT_EQ(r.voxel[0], 0.0);

  // Out of order, so that seeks go backwards as well.
  std::vector<float> slice(nx * nz);
  for (uint32_t y : {2u, 0u, 3u, 1u}) {
    ASSERT_TRUE(qvx_ozk_volume_read_slice(h.v, slice.data(), y)) << "slice " << y;
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z) {
        ASSERT_EQ(bits_of(slice[x * nz + z]), bits_of(expected[(y * nx + x) * nz + z]))
            << "x=" << x << " y=" << y << " z=" << z;
      }
    }
  }
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, slice.data(), ny));
}

INSTANTIATE_TEST_SUITE_P(AllWidths, PackedSlices,
                         ::testing::Values(SampleCase{8, false}, SampleCase{8, true},
                                           SampleCase{16, false}, SampleCase{16, true},
                                           SampleCase{32, false}, SampleCase{32, true}),
                         [](const auto& param_info) {
                           return std::to_string(param_info.param.bits) +
                                  (param_info.param.gz ? "BitGzip" : "BitPlain");
                         });

TEST_F(VolumeApi, IntegerSamplesScaleByTheExactConstants) {
  struct Case {
    int bits;
    uint16_t sample;
    uint32_t expected_bits;
  } cases[] = {
      {8, 0, 0x00000000},      {8, 255, 0x3F800000},  // 1.0
      {8, 128, 0x3F008081},                           // 0.50196081
      {16, 65535, 0x3F800000}, {16, 1, 0x37800080},   // 1.5259022e-05
      {16, 32768, 0x3F000080},
  };
  for (const Case& c : cases) {
    const std::string samples =
        c.bits == 8 ? ts::u8_bytes({static_cast<uint8_t>(c.sample)}) : ts::u16_bytes({c.sample});
    const std::string path = packed("s.pvol", ts::packed_header(1, 1, 1, c.bits), samples);
    ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
    float out = -1.0f;
    ASSERT_TRUE(qvx_ozk_volume_read_slice(h.v, &out, 0));
    EXPECT_EQ(bits_of(out), c.expected_bits) << c.bits << "-bit sample " << c.sample;
  }
}

TEST_F(VolumeApi, PackedDataRangeRules) {
  struct Case {
    const char* what;
    int bits;
    std::vector<std::string> extra;
    double data_min, data_max;
  } cases[] = {
      {"8-bit is 0..1", 8, {}, 0.0, 1.0},
      {"16-bit is 0..1", 16, {"DisplayRange: -5 10"}, 0.0, 1.0},
      {"32-bit takes the display range", 32, {"DisplayRange: -5 10"}, -5.0, 10.0},
      {"32-bit without any range reads (0, 0)", 32, {}, 0.0, 0.0},
      {"32-bit colour table gives the full range",
       32,
       {ts::colour_table_section(1000, 3000, 0, 4000), "DisplayRange: -5 10"},
       0.0,
       4000.0},
      {"16-bit colour table leaves 0..1",
       16,
       {ts::colour_table_section(1000, 3000, 0, 4000)},
       0.0,
       1.0},
      {"incomplete colour table changes nothing",
       32,
       {"3DView\n<3D View Properties Set>\n<3D View Properties>\n<ColorTable>\n<Min>1</Min>\n"
        "<Max>2</Max>\n<FullMin>0</FullMin>\n</ColorTable>\n</3D View Properties>\n"
        "</3D View Properties Set>\nEnd3DView",
        "DisplayRange: 3 4"},
       3.0,
       4.0},
      {"empty full range of integer samples changes nothing",
       8,
       {ts::colour_table_section(1, 2, 5, 5)},
       0.0,
       1.0},
      {"histogram lines are skipped",
       32,
       {"3DView\n<3D View Properties Set>\n<3D View Properties>\n<ColorTable>\n<Histogram>\n"
        "<FullMin>-99</FullMin>\n</Histogram>\n<Min>1</Min>\n<Max>2</Max>\n"
        "<FullMin>-7</FullMin>\n<FullMax>8</FullMax>\n</ColorTable>\n</3D View Properties>\n"
        "</3D View Properties Set>\nEnd3DView"},
       -7.0,
       8.0},
  };
  for (const Case& c : cases) {
    Handle fresh;
    const std::string path =
        packed("r.pvol", ts::packed_header(1, 1, 1, c.bits, c.extra), std::string(4, '\0'));
    ASSERT_TRUE(qvx_ozk_volume_open(fresh.v, path.c_str())) << c.what;
    const Report r = report(fresh.v);
    EXPECT_EQ(r.data_min, c.data_min) << c.what;
    EXPECT_EQ(r.data_max, c.data_max) << c.what;
  }
}

TEST_F(VolumeApi, ColourTableBeforeTheSampleWidthIsTakenAsInteger) {
  // The table is applied with the width read so far (none), so it only moves the display
  // window into 0..1 units, which then stands in for the unknown data range.
  const std::string path = dir.file("early.pvol");
  ts::write_file(path, "# QVX Packed Volume\nVoxels: 1 1 1\nSweepDirection: 1\n" +
                           ts::colour_table_section(1000, 3000, 0, 4000) +
                           "\nBitsPerSample: 32\n</content>\n0000");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  EXPECT_EQ(report(h.v).data_min, 0.25);
  EXPECT_EQ(report(h.v).data_max, 0.75);
}

TEST_F(VolumeApi, DataRangeSurvivesCloseAndCarriesIntoAVolumeWithoutOne) {
  const std::string ranged =
      packed("a.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: -5 10"}), "0000");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, ranged.c_str()));
  ASSERT_TRUE(qvx_ozk_volume_close(h.v));
  Report r = report(h.v);
  EXPECT_EQ(r.width, 0u);
  EXPECT_EQ(r.data_min, -5.0);
  EXPECT_EQ(r.data_max, 10.0);

  // A range is known, so the new file's display range does not replace it.
  const std::string other =
      packed("b.pvol", ts::packed_header(1, 1, 1, 32, {"DisplayRange: 100 200"}), "0000");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, other.c_str()));
  r = report(h.v);
  EXPECT_EQ(r.data_min, -5.0);
  EXPECT_EQ(r.data_max, 10.0);
}

TEST_F(VolumeApi, PackedHeaderLinesAreReadCaseFreeAndTrimmed) {
  const std::string path = dir.file("k.pvol");
  ts::write_file(path,
                 "# QVX Packed Volume\r\n  VOXELS:\t100 200 300  \r\nbitspersample: 8\r\n"
                 "Sweepdirection: 1\r\nno colon here\r\n</content>\r\n");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  const Report r = report(h.v);
  EXPECT_EQ(r.height, 100u);
  EXPECT_EQ(r.slices, 200u);
  EXPECT_EQ(r.width, 300u);
}

TEST_F(VolumeApi, PackedHeadersThatDoNotOpen) {
  const std::string magic = "# QVX Packed Volume\n";
  struct Case {
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
      {"sizes beyond 64-bit offsets",
       magic + "Voxels: 4000000000 4000000000 4000000000\nBitsPerSample: 8\n"
               "SweepDirection: 1\n</content>\n"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("bad.pvol");
    ts::write_file(path, c.text);
    EXPECT_FALSE(qvx_ozk_volume_open(h.v, path.c_str())) << c.what;
    EXPECT_EQ(report(h.v).kind, QVX_OZK_KIND_NONE) << c.what;
  }
}

TEST_F(VolumeApi, OversizedVoxelsAreRefusedWithAMessage) {
  const std::string path =
      packed("huge.pvol", ts::packed_header(4000000000u, 4000000000u, 4000000000u, 16), "");
  CaptureStdout capture;
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, path.c_str()));
  EXPECT_NE(capture.text().find("FAILED to open volume '" + path + "'"), std::string::npos)
      << capture.text();
}

TEST_F(VolumeApi, ShortPackedDataFailsOnlyTheMissingSlices) {
  // Two whole slices of three promised, and half of the third.
  const std::string path =
      packed("short.pvol", ts::packed_header(2, 3, 2, 8), std::string(4 * 2 + 2, '\x01'));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  float out[4];
  EXPECT_TRUE(qvx_ozk_volume_read_slice(h.v, out, 1));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out, 2));
  EXPECT_TRUE(qvx_ozk_volume_read_slice(h.v, out, 0));
}

TEST_F(VolumeApi, DamagedGzipDataFailsTheRead) {
  const std::string path = dir.file("damaged.pvol.gz");
  // Samples that do not compress, so that cutting the file's end damages only the data.
  std::string noise(64 * 64 * 4, '\0');
  uint32_t state = 12345;
  for (char& c : noise) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  ts::write_gzip_file(path, ts::packed_header(64, 4, 64, 8) + noise);
  std::string bytes;
  {
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
  }
  ts::write_file(path, bytes.substr(0, bytes.size() - 40));  // cut the tail and trailer
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  std::vector<float> out(64 * 64);
  EXPECT_TRUE(qvx_ozk_volume_read_slice(h.v, out.data(), 0));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 3));
}

TEST_F(VolumeApi, SlicesOfTwoGibibytesAndMoreReadWhole) {
  // One row of 2^29 + 1 floats: a slice of 2^31 + 4 bytes, more than zlib reads in one
  // call. The file is sparse: zeros but for two marked samples. The buffer and the file's
  // cached pages take about 4.5 GB.
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
    ASSERT_TRUE(out.good());
  }
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  std::unique_ptr<float[]> slice(new float[width]);
  slice[0] = slice[width - 1] = -1.0f;
  ASSERT_TRUE(qvx_ozk_volume_read_slice(h.v, slice.get(), 0));
  EXPECT_EQ(slice[0], 0.0f);
  EXPECT_EQ(slice[(1u << 28) - 1], 0.0f);
  EXPECT_EQ(slice[1u << 28], -3.5f);
  EXPECT_EQ(slice[width - 1], 42.5f);
}

TEST_F(VolumeApi, PackedVolumeWithoutSampleWidthOpensButReadsNothing) {
  const std::string path = dir.file("nobits.pvol");
  ts::write_file(path, "# QVX Packed Volume\nVoxels: 1 1 1\nSweepDirection: 1\n</content>\nabcd");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  float out;
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, &out, 0));
}

TEST_F(VolumeApi, ProbesRunPackedThenHRThenHeader) {
  const std::string header_text = ts::header_volume_text(1, 1, 1, {});
  // An HR header in front of header-volume text: the HR probe claims the file, and as
  // this build does not read HR volumes, the header reader never sees it.
  std::string hr = std::string("QVXHRVOL") + std::string("\x04\0\0\0\0\0\0\0", 8);
  const std::string hr_path = dir.file("looks_like.hdr");
  ts::write_file(hr_path, hr + "\n" + header_text);
  {
    CaptureStdout capture;
    EXPECT_FALSE(qvx_ozk_volume_open(h.v, hr_path.c_str()));
    EXPECT_NE(capture.text().find("FAILED to open HR Volume"), std::string::npos);
  }

  // A magic line with a trailing space is no packed volume; the header probe then fails.
  const std::string spaced = dir.file("spaced.pvol");
  ts::write_file(spaced,
                 "# QVX Packed Volume \nVoxels: 1 1 1\nBitsPerSample: 8\nSweepDirection: 1\n"
                 "</content>\nx");
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, spaced.c_str()));

  // A header volume indented with blanks is recognised.
  const std::string indented = dir.file("indented.hdr");
  ts::write_file(indented, " \t" + header_text);
  EXPECT_TRUE(qvx_ozk_volume_open(h.v, indented.c_str()));
  EXPECT_EQ(report(h.v).kind, QVX_OZK_KIND_HEADER);
}

TEST_F(VolumeApi, MissingFileLogsTheHRProbeThenTheTagReader) {
  const std::string path = dir.file("missing.vol");
  CaptureStdout capture;
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, path.c_str()));
  const std::string log = ts::strip_timestamps(capture.text());
  const size_t hr = log.find("FAILED to open existing HR Volume '" + path +
                             "': No such file or directory (0x2)\n");
  const size_t tag = log.find("..Failed to open [" + path + "]\n");
  ASSERT_NE(hr, std::string::npos) << log;
  ASSERT_NE(tag, std::string::npos) << log;
  EXPECT_LT(hr, tag);
}

TEST_F(VolumeApi, ReopeningClosesFirstAndAFailedOpenLeavesTheHandleClosed) {
  const std::string good = packed("g.pvol", ts::packed_header(2, 2, 2, 8), std::string(8, 'a'));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, good.c_str()));
  EXPECT_EQ(report(h.v).width, 2u);
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, dir.file("nothing").c_str()));
  const Report r = report(h.v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_NONE);
  EXPECT_EQ(r.width, 0u);
  float out[4];
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out, 0));
}

class HeaderVolumes : public VolumeApi {
 protected:
  // Slice files of nx * nz floats holding the generated volume's slices in order.
  void write_slices(const std::string& name, uint32_t first, uint32_t count, bool gz = false) {
    const std::vector<float> all = ts::generated_volume(nx, first + count, nz);
    const std::vector<float> part(all.begin() + first * nx * nz, all.end());
    gz ? ts::write_gzip_file(dir.file(name), ts::f32_bytes(part))
       : ts::write_file(dir.file(name), ts::f32_bytes(part));
  }

  void expect_slice(uint32_t y) {
    std::vector<float> out(nx * nz, -1.0f);
    ASSERT_TRUE(qvx_ozk_volume_read_slice(h.v, out.data(), y)) << "slice " << y;
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z) {
        ASSERT_EQ(out[x * nz + z], ts::voxel_value(x, y, z)) << x << ' ' << y << ' ' << z;
      }
    }
  }

  const uint32_t nx = 3, nz = 4;
};

TEST_F(HeaderVolumes, SlicesRunThroughTheFilesInListOrder) {
  write_slices("a.raw", 0, 10);
  write_slices("b.raw.gz", 10, 20, /*gz=*/true);
  const std::string path = dir.file("vol.hdr");
  ts::write_file(path,
                 ts::header_volume_text(nx, 30, nz, {{"a.raw", 10}, {"b.raw.gz", 20}},
                                        {"<DataRange>-1000 3000</DataRange>", "<Location>",
                                         "<Min>1 2 3</Min>", "<Max>4 5 6</Max>", "</Location>"}));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  const Report r = report(h.v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_HEADER);
  EXPECT_EQ(r.height, nx);
  EXPECT_EQ(r.slices, 30u);
  EXPECT_EQ(r.width, nz);
  EXPECT_EQ(r.data_min, -1000.0);
  EXPECT_EQ(r.data_max, 3000.0);
  EXPECT_EQ(r.vmin[1], 2.0);
  EXPECT_EQ(r.vmax[2], 6.0);
  EXPECT_EQ(r.voxel[0], 0.0);
  for (uint32_t y : {0u, 9u, 10u, 29u, 15u, 3u}) expect_slice(y);
}

TEST_F(HeaderVolumes, IndicesNoFileHoldsOrBeyondTheVolumeFail) {
  write_slices("a.raw", 0, 5);
  const std::string path = dir.file("vol.hdr");
  // The files hold 5 slices; the voxels entry promises 8, then only 3.
  ts::write_file(path, ts::header_volume_text(nx, 8, nz, {{"a.raw", 5}}));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  std::vector<float> out(nx * nz);
  expect_slice(4);
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 5));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 8));

  ts::write_file(path, ts::header_volume_text(nx, 3, nz, {{"a.raw", 5}}));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 3));
}

TEST_F(HeaderVolumes, MissingOrShortSliceFilesFailTheRead) {
  ts::write_file(dir.file("short.raw"), std::string(nx * nz * 4 + 3, '\0'));
  const std::string path = dir.file("vol.hdr");
  ts::write_file(path, ts::header_volume_text(nx, 4, nz, {{"short.raw", 2}, {"absent.raw", 2}}));
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  std::vector<float> out(nx * nz);
  EXPECT_TRUE(qvx_ozk_volume_read_slice(h.v, out.data(), 0));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 1));
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, out.data(), 2));
}

TEST_F(HeaderVolumes, WithoutVoxelsTheOpenFailsButTheCornersRemain) {
  const std::string path = dir.file("novox.hdr");
  ts::write_file(path,
                 "<Brevant Quill Labs Volume Header>\n<Location>\n<Min>1 2 3</Min>\n"
                 "<Max>7 8 9</Max>\n</Location>\n</Brevant Quill Labs Volume Header>\n");
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, path.c_str()));
  const Report r = report(h.v);
  EXPECT_EQ(r.kind, QVX_OZK_KIND_NONE);
  EXPECT_EQ(r.vmin[0], 1.0);
  EXPECT_EQ(r.vmax[2], 9.0);
}

TEST_F(HeaderVolumes, NonAsciiPathsOpenByUtf8AndWidePath) {
  const std::string sub = dir.file("Schädel μCT 頭部");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  const std::vector<float> all = ts::generated_volume(nx, 2, nz);
  ts::write_file(sub + "/daten_ä.raw", ts::f32_bytes(all));
  const std::string path = sub + "/vol_🦴.hdr";
  ts::write_file(path, ts::header_volume_text(nx, 2, nz, {{"daten_ä.raw", 2}}));

  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  expect_slice(1);

  const std::wstring wide = L"/Schädel μCT 頭部/vol_🦴.hdr";
  const std::string dir_path = dir.path();
  const std::wstring wide_path = std::wstring(dir_path.begin(), dir_path.end()) + wide;
  ASSERT_TRUE(qvx_ozk_volume_wopen(h.v, wide_path.c_str()));
  expect_slice(0);
}

TEST_F(VolumeApi, IllFormedPathsFailWithAMessageAndCloseTheHandle) {
  const std::string good = packed("g.pvol", ts::packed_header(1, 1, 1, 8), "a");
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, good.c_str()));
  CaptureStdout capture;
  EXPECT_FALSE(qvx_ozk_volume_open(h.v, "bad\xC0\xAFpath"));
  EXPECT_EQ(report(h.v).kind, QVX_OZK_KIND_NONE);
  EXPECT_EQ(report(h.v).slices, 0u);
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, good.c_str()));
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'\0'};
  EXPECT_FALSE(qvx_ozk_volume_wopen(h.v, lone_surrogate));
  EXPECT_EQ(report(h.v).kind, QVX_OZK_KIND_NONE);
  const std::string log = capture.text();
  EXPECT_NE(log.find("FAILED in qvx_ozk_volume_open: bad conversion"), std::string::npos) << log;
  EXPECT_NE(log.find("FAILED in qvx_ozk_volume_wopen: bad conversion"), std::string::npos) << log;
}

TEST(GrayTif32, EmptyImagesAreRefusedWithTheirMessage) {
  CaptureStdout capture;
  float data[1] = {0.0f};
  EXPECT_FALSE(qvx_ozk_save_gray_tif32("/tmp/never.tif", data, 0, 5));
  EXPECT_FALSE(qvx_ozk_save_gray_tif32_w(L"/tmp/never_w.tif", data, 5, 0));
  const std::string log = ts::strip_timestamps(capture.text());
  EXPECT_NE(log.find("FAILED to save image '/tmp/never.tif' with format 'gray_tif32': "
                     "Image is empty\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("FAILED to save image '/tmp/never_w.tif' with format 'gray_tif32': "
                     "Image is empty\n"),
            std::string::npos);
}

}  // namespace
