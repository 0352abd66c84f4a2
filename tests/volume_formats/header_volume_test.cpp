// The header-volume rules, read from text in memory.
#include "volume_formats/header_volume.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"

namespace {

using QVX::Base::File::TagBufReader;
using QVX::VolumeFormats::FileEntry;
using QVX::VolumeFormats::parse_volume_header;
using QVX::VolumeFormats::VolumeFields;

struct Parsed {
  bool ok = false;
  VolumeFields fields;
  std::vector<FileEntry> files;
};

Parsed parse(const std::string& text) {
  Parsed p;
  TagBufReader reader(text.data(), text.size());
  p.ok = parse_volume_header(reader, L"/d/", p.fields, p.files);
  return p;
}

const std::string kOpen = "<Brevant Quill Labs Volume Header>\n";
const std::string kClose = "</Brevant Quill Labs Volume Header>\n";

TEST(HeaderVolume, FilesAreListedInOrderUnderTheHeaderDirectory) {
  const Parsed p = parse(kOpen + "<VOXELS>4 30 5</voxels>\n<Files>\n<Name>a.raw</Name>\n" +
                         "<NbSlices>10</NbSlices>\n<name>sub/b.raw</name>\n" +
                         "<nbslices>20</nbslices>\n</Files>\n" + kClose);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.fields.height, 4u);
  EXPECT_EQ(p.fields.num_slices, 30u);
  EXPECT_EQ(p.fields.width, 5u);
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[0].path, L"/d/a.raw");
  EXPECT_EQ(p.files[0].num_slices, 10u);
  EXPECT_EQ(p.files[1].path, L"/d/sub/b.raw");
  EXPECT_EQ(p.files[1].num_slices, 20u);
}

TEST(HeaderVolume, ElementsCountOnlyInTheirPlace) {
  struct Case {
    const char* what;
    std::string text;
    bool ok;
  } cases[] = {
      {"voxels inside the Files block",
       kOpen + "<Files>\n<Voxels>1 1 1</Voxels>\n</Files>\n" + kClose, false},
      {"voxels outside any header block", "<Voxels>1 1 1</Voxels>\n" + kOpen + kClose, false},
      {"voxels with two numbers", kOpen + "<Voxels>1 1</Voxels>\n" + kClose, false},
      {"voxels in a block that never closes", kOpen + "<Voxels>1 2 3</Voxels>\n", true},
      {"header tag indented", "   " + kOpen + "<Voxels>1 2 3</Voxels>\n" + kClose, true},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text).ok, c.ok) << c.what;
}

TEST(HeaderVolume, LocationBlockIsMatchedExactly) {
  const Parsed upper = parse(kOpen + "<Voxels>1 1 1</Voxels>\n<Location>\n<Min>1 2 3</Min>\n" +
                             "<MAX>4 5</MAX>\n</Location>\n<Min>9 9 9</Min>\n" + kClose);
  EXPECT_EQ(upper.fields.vmin[0], 1.0);
  EXPECT_EQ(upper.fields.vmin[2], 3.0);
  EXPECT_EQ(upper.fields.vmax[1], 5.0);
  EXPECT_EQ(upper.fields.vmax[2], 0.0);  // not given: left as it was

  const Parsed lower =
      parse(kOpen + "<Voxels>1 1 1</Voxels>\n<location>\n<Min>1 2 3</Min>\n</location>\n" + kClose);
  EXPECT_EQ(lower.fields.vmin[0], 0.0);
}

TEST(HeaderVolume, LaterBlocksAddToAndOverwriteEarlierOnes) {
  const Parsed p = parse(kOpen + "<Voxels>1 2 3</Voxels>\n<DataRange>-1 1</DataRange>\n" +
                         "<Files>\n<Name>a</Name>\n<NbSlices>2</NbSlices>\n</Files>\n" + kClose +
                         "between blocks\n" + kOpen + "<Voxels>4 5 6</Voxels>\n" +
                         "<DataRange>7</DataRange>\n<Files>\n<Name>b</Name>\n" +
                         "<NbSlices>3</NbSlices>\n</Files>\n" + kClose);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.fields.height, 4u);
  EXPECT_EQ(p.fields.data_min, 7.0);
  EXPECT_EQ(p.fields.data_max, 1.0);  // only one number read
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[1].path, L"/d/b");
}

TEST(HeaderVolume, SliceCountsNeedANameAndANonNegativeNumber) {
  QVX::TestSupport::CaptureStdout capture;
  const Parsed p = parse(kOpen + "<Voxels>1 1 1</Voxels>\n<Files>\n<NbSlices>5</NbSlices>\n" +
                         "<Name>a</Name>\n<NbSlices>x</NbSlices>\n<NbSlices>-4</NbSlices>\n" +
                         "<NbSlices>2</NbSlices>\n<NbSlices>3</NbSlices>\n</Files>\n" + kClose);
  // Only "a" with 2: the count before any name, the non-number, the negative count and the
  // count after the entry was made are all ignored.
  ASSERT_EQ(p.files.size(), 1u);
  EXPECT_EQ(p.files[0].path, L"/d/a");
  EXPECT_EQ(p.files[0].num_slices, 2u);
  const std::string log = capture.text();
  EXPECT_NE(log.find("WARNING: slice count 5 without a file name ignored"), std::string::npos);
  EXPECT_NE(log.find("WARNING: negative slice count -4 of 'a' ignored"), std::string::npos);
}

TEST(HeaderVolume, NegativeVoxelCountsAreRefused) {
  QVX::TestSupport::CaptureStdout capture;
  const Parsed p = parse(kOpen + "<Voxels>2 -1 2</Voxels>\n" + kClose);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.fields.num_slices, 0u);
  EXPECT_NE(capture.text().find("WARNING: voxels entry with a negative count"), std::string::npos);
}

TEST(HeaderVolume, LastLineWithoutLineFeedStillCounts) {
  EXPECT_TRUE(parse(kOpen + "<Voxels>1 2 3</Voxels>").ok);
}

}  // namespace
