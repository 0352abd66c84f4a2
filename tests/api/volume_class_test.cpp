// The exported C++ class: the same object as the C handle.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "qvx_ozk.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

using QVX::ozK::Vec3_d;
using QVX::ozK::Volume;
namespace ts = QVX::TestSupport;

TEST(Vec3_d, ConstructsAndAssignsByValue) {
  const Vec3_d zero;
  EXPECT_EQ(zero.x + zero.y + zero.z, 0.0);
  Vec3_d v(1.5, -2.0, 3.25);
  EXPECT_EQ(v.y, -2.0);
  Vec3_d w;
  w = v;
  EXPECT_EQ(w.z, 3.25);
  w = Vec3_d(7, 8, 9);
  EXPECT_EQ(w.x, 7.0);
}

TEST(Volume, CreateOpensReadsAndReportsThroughTheClass) {
  ts::TempDir dir;
  const std::string path = dir.file("v.pvol");
  ts::write_file(path, ts::packed_header(2, 3, 4, 32, {"Min: 1 2 3", "Max: 2 4 6"}) +
                           ts::f32_bytes(ts::generated_volume(2, 3, 4)));
  std::unique_ptr<Volume> volume(Volume::Create());
  ASSERT_TRUE(volume->open(path.c_str()));
  EXPECT_EQ(volume->slice_width(), 4u);
  EXPECT_EQ(volume->slice_height(), 2u);
  EXPECT_EQ(volume->num_slices(), 3u);
  EXPECT_EQ(volume->vmax().y, 4.0);
  float slice[8];
  ASSERT_TRUE(volume->read_slice(slice, 2));
  EXPECT_EQ(slice[1 * 4 + 3], ts::voxel_value(1, 2, 3));

  // The C functions take the same object.
  uint32_t width = 0;
  qvx_ozk_volume_slice_width(volume.get(), &width);
  EXPECT_EQ(width, 4u);
  EXPECT_TRUE(volume->close());
  EXPECT_EQ(volume->num_slices(), 0u);
}

TEST(Volume, NarrowOpenThrowsOnIllFormedUtf8) {
  std::unique_ptr<Volume> volume(Volume::Create());
  try {
    volume->open("\xFF");
    FAIL() << "no exception";
  } catch (const std::range_error& e) {
    EXPECT_STREQ(e.what(), "bad conversion");
  }
}

}  // namespace
