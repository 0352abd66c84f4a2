// The packed-volume header rules, on text and on small files.
#include "volume_formats/packed_volume.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

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
  h.apply_entry("Min: 1.5 abc 3");  // the failed number reads 0, the rest stays
  EXPECT_EQ(f.vmin[0], 1.5);
  EXPECT_EQ(f.vmin[1], 0.0);
  EXPECT_EQ(f.vmin[2], 0.0);
  h.apply_entry("MAX:\t 4 5 6");
  h.apply_entry("max: 7 8 9");  // a repeated entry wins
  EXPECT_EQ(f.vmax[0], 7.0);
  h.apply_entry("BitsPerSample: 12");
  EXPECT_EQ(bits, 12);
  EXPECT_EQ(f.data_min, 1.0);  // only 8 and 16 set 0..1
  h.apply_entry("Voxels: 1 2 3");
  EXPECT_FALSE(h.finish());  // no sweep direction yet
  h.apply_entry("SweepDirection: 1");
  h.apply_entry("DisplayRange: -2 2");
  EXPECT_TRUE(h.finish());
  EXPECT_EQ(f.data_min, -2.0);
  EXPECT_EQ(f.data_max, 2.0);
}

TEST(PackedHeader, VoxelCountsOutsideUnsigned32BitsAreNotRead) {
  // A malformed number reads 0, one too large reads the largest value, a negative one is
  // refused; in every case the numbers after it are not touched.
  struct Case {
    const char* line;
    uint32_t height, slices, width;
  } cases[] = {
      {"Voxels: 1 -2 3", 1, 0, 0},
      {"Voxels: 1 2 4294967296", 1, 2, 4294967295u},
      {"Voxels: 1 x 3", 1, 0, 0},
  };
  for (const Case& c : cases) {
    VolumeFields f;
    int32_t bits = 0;
    PackedHeader h(f, bits);
    h.apply_entry("SweepDirection: 1");
    h.apply_entry(c.line);
    EXPECT_FALSE(h.finish()) << c.line;
    EXPECT_EQ(f.height, c.height) << c.line;
    EXPECT_EQ(f.num_slices, c.slices) << c.line;
    EXPECT_EQ(f.width, c.width) << c.line;
  }
}

TEST(PackedHeader, MissingValuesLeaveEarlierEntriesStanding) {
  VolumeFields f;
  int32_t bits = 0;
  PackedHeader h(f, bits);
  h.apply_entry("Voxels: 2 3 4");
  h.apply_entry("Voxels: 5 6");  // two numbers: the third keeps its value
  h.apply_entry("SweepDirection: 1");
  h.apply_entry("SweepDirection:");  // no value: the flag stays
  EXPECT_TRUE(h.finish());
  EXPECT_EQ(f.height, 5u);
  EXPECT_EQ(f.num_slices, 6u);
  EXPECT_EQ(f.width, 4u);
}

TEST(PackedHeader, NumbersIgnoreTheProgramsLocale) {
  // A calling program may switch the global locale to one with a decimal comma.
  struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale saved =
      std::locale::global(std::locale(std::locale::classic(), new DecimalComma));
  VolumeFields f;
  int32_t bits = 0;
  PackedHeader h(f, bits);
  h.apply_entry("Min: 1.5 2.25 3");
  std::locale::global(saved);
  EXPECT_EQ(f.vmin[0], 1.5);
  EXPECT_EQ(f.vmin[1], 2.25);
}

TEST(PackedVolume, DataStartsAfterTheEndLineAndLongLinesSplit) {
  ts::TempDir dir;
  // A line of 2799 characters and then "Voxels..." is read as two lines, the second of
  // which is the voxels entry.
  const std::string text = "# QVX Packed Volume\r\n" + std::string(2799, 'x') +
                           "Voxels: 2 1 2\r\nBitsPerSample: 8\r\nSweepDirection: 1\r\n"
                           "</content>\r\n";
  for (bool gz : {false, true}) {
    const std::string path = dir.file(gz ? "v.gz" : "v");
    gz ? ts::write_gzip_file(path, text + "ABCD") : ts::write_file(path, text + "ABCD");
    VolumeFields f;
    PackedVolume packed;
    const std::wstring wide(path.begin(), path.end());
    ASSERT_TRUE(QVX::VolumeFormats::sniff_packed_volume(wide));
    ASSERT_TRUE(QVX::VolumeFormats::read_packed_header(wide, f, packed));
    EXPECT_EQ(packed.data_offset, static_cast<int64_t>(text.size()));
    EXPECT_EQ(f.height, 2u);
    float out[4];
    ASSERT_TRUE(QVX::VolumeFormats::read_packed_slice(packed, f, 0, out));
    EXPECT_EQ(out[3], static_cast<float>('D') * QVX::VolumeFormats::kScale8);
  }
}

}  // namespace
