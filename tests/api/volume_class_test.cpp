// The exported C++ class: the same object as the C handle.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <tuple>

#include "qvx_ozk.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

using QVX::ozK::Vec3_d;
using QVX::ozK::Volume;
namespace ts = QVX::TestSupport;

TEST(Volume, CreateOpensReadsAndReportsThroughTheClass) {
  ts::TempDir dir;
  const std::string path = dir.file("v.pvol");
  ts::write_file(path, ts::packed_header(2, 3, 4, 32, {"Max: 2 4 6"}) +
                           ts::f32_bytes(ts::generated_volume(2, 3, 4)));
  std::unique_ptr<Volume> volume(Volume::Create());
  ASSERT_TRUE(volume->open(path.c_str()));
  EXPECT_EQ(volume->slice_width() * 100 + volume->slice_height() * 10 + volume->num_slices(), 423u);
  Vec3_d corner;
  corner = volume->vmax();
  EXPECT_EQ(corner.y, 4.0);
  float slice[8];
  ASSERT_TRUE(volume->read_slice(slice, 2));
  EXPECT_EQ(slice[1 * 4 + 3], ts::voxel_value(1, 2, 3));
  uint32_t width = 0;
  qvx_ozk_volume_slice_width(volume.get(), &width);  // the C functions take the same object
  EXPECT_EQ(width, 4u);
  EXPECT_TRUE(volume->close());
  EXPECT_EQ(volume->num_slices(), 0u);
}

TEST(Volume, NarrowOpenThrowsOnIllFormedUtf8) {
  std::unique_ptr<Volume> volume(Volume::Create());
  EXPECT_THROW(volume->open("\xFF"), std::range_error);
}

}  // namespace
