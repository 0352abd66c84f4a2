// The header-volume rules, read from text in memory.
#include "volume_formats/header_volume.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"

namespace {

using QVX::VolumeFormats::FileEntry;
using QVX::VolumeFormats::VolumeFields;

struct Parsed {
  bool ok = false;
  VolumeFields fields;
  std::vector<FileEntry> files;
};

Parsed parse(const std::string& text) {
  Parsed p;
  QVX::Base::File::TagBufReader reader(text.data(), text.size());
  p.ok = QVX::VolumeFormats::parse_volume_header(reader, L"/d/", p.fields, p.files);
  return p;
}

const std::string kOpen = "<Brevant Quill Labs Volume Header>\n";
const std::string kClose = "</Brevant Quill Labs Volume Header>\n";

TEST(HeaderVolume, SliceFilesNeedANameAndANonNegativeCount) {
  QVX::TestSupport::CaptureStdout capture;
  const Parsed p = parse(kOpen + "<VOXELS>4 30 5</voxels>\n<Files>\n<NbSlices>5</NbSlices>\n" +
                         "<Name>a.raw</Name>\n<NbSlices>x</NbSlices>\n<NbSlices>-4</NbSlices>\n" +
                         "<NbSlices>10</NbSlices>\n<NbSlices>3</NbSlices>\n<name>sub/b</name>\n" +
                         "<nbslices>20</nbslices>\n</Files>\n" + kClose);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.fields.height, 4u);
  EXPECT_EQ(p.fields.num_slices, 30u);
  EXPECT_EQ(p.fields.width, 5u);
  // The count before any name, the non-number, the negative count and the count after the
  // entry was made add nothing.
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[0].path, L"/d/a.raw");
  EXPECT_EQ(p.files[0].num_slices, 10u);
  EXPECT_EQ(p.files[1].path, L"/d/sub/b");
  EXPECT_EQ(p.files[1].num_slices, 20u);
  EXPECT_NE(capture.text().find("WARNING: negative slice count -4 of 'a.raw' ignored"),
            std::string::npos);
}

TEST(HeaderVolume, VoxelsCountOnlyAtTheTopOfABlock) {
  const struct {
    const char* what;
    std::string text;
    bool ok;
  } cases[] = {
      {"inside the Files block", kOpen + "<Files>\n<Voxels>1 1 1</Voxels>\n</Files>\n" + kClose,
       false},
      {"outside any block", "<Voxels>1 1 1</Voxels>\n" + kOpen + kClose, false},
      {"two numbers", kOpen + "<Voxels>1 1</Voxels>\n" + kClose, false},
      {"a negative count", kOpen + "<Voxels>2 -1 2</Voxels>\n" + kClose, false},
      {"block never closed, no final line feed", kOpen + "<Voxels>1 2 3</Voxels>", true},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.text).ok, c.ok) << c.what;
}

TEST(HeaderVolume, BlocksAreMatchedExactlyAndLaterOnesWin) {
  const Parsed p =
      parse(kOpen + "<Voxels>1 2 3</Voxels>\n<Location>\n<Min>1 2 3</Min>\n" +
            "<MAX>4 5</MAX>\n</Location>\n<Min>9 9 9</Min>\n" + "<DataRange>-1 1</DataRange>\n" +
            kClose + kOpen + "<Voxels>4 5 6</Voxels>\n<DataRange>7</DataRange>\n<location>\n" +
            "<Min>8 8 8</Min>\n</location>\n" + kClose);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.fields.height, 4u);
  EXPECT_EQ(p.fields.vmin[2], 3.0);  // neither the top-level nor the lower-case block counts
  EXPECT_EQ(p.fields.vmax[1], 5.0);
  EXPECT_EQ(p.fields.vmax[2], 0.0);  // not given: left as it was
  EXPECT_EQ(p.fields.data_min, 7.0);
  EXPECT_EQ(p.fields.data_max, 1.0);  // one number read: the second stays
}

}  // namespace
