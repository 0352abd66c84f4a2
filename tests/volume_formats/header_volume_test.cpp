// The header-volume rules, read from text in memory.
#include "volume_formats/header_volume.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
  EXPECT_EQ(std::tuple(p.fields.height, p.fields.num_slices, p.fields.width),
            std::tuple(4u, 30u, 5u));
  // The count before any name, the non-number, the negative count and the count after the
  // entry was made add nothing.
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(
      std::tuple(p.files[0].path, p.files[0].num_slices, p.files[1].path, p.files[1].num_slices),
      std::tuple(L"/d/a.raw", 10u, L"/d/sub/b", 20u));
  EXPECT_NE(capture.text().find("WARNING: negative slice count -4 of 'a.raw' ignored"),
            std::string::npos);
}

TEST(HeaderVolume, VoxelsCountOnlyAtTheTopOfABlockAndLaterBlocksWin) {
  for (const std::string& text :
       {kOpen + "<Files>\n<Voxels>1 1 1</Voxels>\n</Files>\n" + kClose,  // inside Files
        "<Voxels>1 1 1</Voxels>\n" + kOpen + kClose,                     // outside a block
        kOpen + "<Voxels>1 1</Voxels>\n" + kClose, kOpen + "<Voxels>2 -1 2</Voxels>\n" + kClose}) {
    EXPECT_FALSE(parse(text).ok) << text;
  }
  EXPECT_TRUE(parse(kOpen + "<Voxels>1 2 3</Voxels>").ok);  // never closed, no final line feed

  const Parsed p =
      parse(kOpen + "<Voxels>1 2 3</Voxels>\n<Location>\n<Min>1 2 3</Min>\n" +
            "<MAX>4 5</MAX>\n</Location>\n<Min>9 9 9</Min>\n" + "<DataRange>-1 1</DataRange>\n" +
            kClose + kOpen + "<Voxels>4 5 6</Voxels>\n<DataRange>7</DataRange>\n<location>\n" +
            "<Min>8 8 8</Min>\n</location>\n" + kClose);
  ASSERT_TRUE(p.ok);
  // Neither the top-level nor the lower-case block counts; the third corner is not given;
  // one number of the range read, the second stays.
  EXPECT_EQ(std::tuple(p.fields.height, p.fields.vmin[2], p.fields.vmax[1], p.fields.vmax[2],
                       p.fields.data_min, p.fields.data_max),
            std::tuple(4u, 3.0, 5.0, 0.0, 7.0, 1.0));
}

}  // namespace
