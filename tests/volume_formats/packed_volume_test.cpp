// The packed-volume header rules, on text and on small files.
#include "volume_formats/packed_volume.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <locale>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

using QVX::VolumeFormats::PackedHeader;
using QVX::VolumeFormats::PackedVolume;
using QVX::VolumeFormats::VolumeFields;
namespace ts = QVX::TestSupport;

TEST(PackedHeader, EntriesFollowStreamExtraction) {
  VolumeFields f;
  int32_t bits = 0;
  PackedHeader h(f, bits);
  h.apply_entry("Min: 1.5 abc 3");  // the malformed number reads 0, the rest stays
  EXPECT_EQ(std::tuple(f.vmin[0], f.vmin[1], f.vmin[2]), std::tuple(1.5, 0.0, 0.0));
  h.apply_entry("BitsPerSample: 12");
  EXPECT_EQ(bits, 12);
  EXPECT_EQ(f.data_min, 1.0);  // only 8 and 16 set 0..1
  h.apply_entry("Voxels: 2 3 4");
  h.apply_entry("Voxels: 5 6");  // two numbers: the third keeps its value
  EXPECT_FALSE(h.finish());      // no sweep direction yet
  h.apply_entry("SweepDirection: 1");
  h.apply_entry("SweepDirection:");  // no value: the flag stays
  h.apply_entry("DisplayRange: -2 2");
  EXPECT_TRUE(h.finish());
  EXPECT_EQ(std::tuple(f.height, f.num_slices, f.width, f.data_min, f.data_max),
            std::tuple(5u, 6u, 4u, -2.0, 2.0));
}

TEST(PackedHeader, NumbersIgnoreTheProgramsLocale) {
  struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale saved =
      std::locale::global(std::locale(std::locale::classic(), new DecimalComma));
  VolumeFields f;
  int32_t bits = 0;
  PackedHeader(f, bits).apply_entry("Min: 1.5 2.25 3");
  std::locale::global(saved);
  EXPECT_EQ(f.vmin[1], 2.25);
}

TEST(PackedVolume, DataStartsAfterTheEndLineAndLongLinesSplit) {
  // 2799 characters and then "Voxels..." read as two lines, the second an entry.
  const std::string text = "# QVX Packed Volume\r\n" + std::string(2799, 'x') +
                           "Voxels: 2 1 2\r\nBitsPerSample: 8\r\nSweepDirection: 1\r\n"
                           "</content>\r\n";
  ts::TempDir dir;
  for (bool gz : {false, true}) {
    const std::string path = dir.file(gz ? "v.gz" : "v");
    (gz ? ts::write_gzip_file : ts::write_file)(path, text + "ABCD");
    VolumeFields f;
    PackedVolume packed;
    ASSERT_TRUE(QVX::VolumeFormats::read_packed_header({path.begin(), path.end()}, f, packed));
    EXPECT_EQ(packed.data_offset, static_cast<int64_t>(text.size()));
    float out[4];
    ASSERT_TRUE(QVX::VolumeFormats::read_packed_slice(packed, f, 0, out));
    EXPECT_EQ(out[3], static_cast<float>('D') * QVX::VolumeFormats::kScale8);
  }
}

// Slices larger than one conversion run, with a length that is no multiple of it, from
// plain and gzip files (several access points), in an order that jumps back and forth.
TEST(PackedVolume, LargeSlicesReadInAnyOrderAsTheSamplesScaled) {
  const uint32_t nx = 7, ny = 24, nz = 4099;
  const size_t per_slice = size_t{nx} * nz;
  ts::TempDir dir;
  for (int bits : {8, 16, 32}) {
    std::vector<uint8_t> u8;
    std::vector<uint16_t> u16;
    std::vector<float> expected(per_slice * ny);
    uint32_t state = 99;
    for (float& e : expected) {
      state = state * 1103515245u + 12345u;
      // The first two samples pin the scale: 255 and 65535 read 1.0, 128 reads 0x3F008081
      // and 1 reads 0x37800080.
      const size_t i = &e - expected.data();
      const uint32_t r = i == 0 ? 0xFFFFFF : i == 1 ? (bits == 8 ? 128 : 1) : state >> 8;
      u8.push_back(static_cast<uint8_t>(r));
      u16.push_back(static_cast<uint16_t>(r));
      e = bits == 8    ? static_cast<float>(u8.back()) * QVX::VolumeFormats::kScale8
          : bits == 16 ? static_cast<float>(u16.back()) * QVX::VolumeFormats::kScale16
                       : static_cast<float>(r) * 0.25f - 1000.0f;
    }
    const std::string text =
        ts::packed_header(nx, ny, nz, bits) + (bits == 8    ? ts::u8_bytes(u8)
                                               : bits == 16 ? ts::u16_bytes(u16)
                                                            : ts::f32_bytes(expected));
    for (bool gz : {false, true}) {
      SCOPED_TRACE(::testing::Message() << bits << " bits, gzip " << gz);
      const std::string path = dir.file(std::to_string(bits) + (gz ? ".pvol.gz" : ".pvol"));
      (gz ? ts::write_gzip_file : ts::write_file)(path, text);
      VolumeFields f;
      PackedVolume packed;
      ASSERT_TRUE(QVX::VolumeFormats::read_packed_header({path.begin(), path.end()}, f, packed));
      std::vector<float> slice(per_slice);
      if (bits != 32) {
        ASSERT_TRUE(QVX::VolumeFormats::read_packed_slice(packed, f, 0, slice.data()));
        EXPECT_EQ(slice[0], 1.0f);
        EXPECT_EQ(std::bit_cast<uint32_t>(slice[1]), bits == 8 ? 0x3F008081u : 0x37800080u);
      }
      for (uint32_t y : {23u, 0u, 11u, 12u, 5u, 22u, 1u}) {
        ASSERT_TRUE(QVX::VolumeFormats::read_packed_slice(packed, f, y, slice.data())) << y;
        ASSERT_EQ(std::memcmp(slice.data(), &expected[y * per_slice], per_slice * 4), 0) << y;
      }
      EXPECT_FALSE(QVX::VolumeFormats::read_packed_slice(packed, f, ny, slice.data()));
    }
  }
}

}  // namespace
