// HR volumes through the C interface: geometry, every slice bit for bit, open-close
// cycles, and handles read from several threads at once.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/threads.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRWriteOptions;
using QVX::Tools::HRWriteResult;

struct Handle {
  Handle() : v(qvx_ozk_volume_create()) {}
  ~Handle() { qvx_ozk_volume_delete(v); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  qvx_ozk_volume* v;
};

HRWriteResult write(const std::string& path, HRWriteOptions options) {
  options.want_expected = true;
  HRWriteResult result;
  std::string error;
  EXPECT_TRUE(QVX::Tools::write_hr_volume(path, options, &result, &error)) << error;
  return result;
}

// Reads every slice through the handle; the number of voxels that differ bit for bit
// from the writer's expectation (or -1 when a read fails).
int64_t slice_mismatches(qvx_ozk_volume* v, const HRWriteResult& written) {
  uint32_t width = 0, height = 0, slices = 0;
  qvx_ozk_volume_slice_width(v, &width);
  qvx_ozk_volume_slice_height(v, &height);
  qvx_ozk_volume_num_slices(v, &slices);
  std::vector<float> slice(size_t{width} * height);
  int64_t mismatches = 0;
  for (uint32_t y = 0; y < slices; ++y) {
    if (!qvx_ozk_volume_read_slice(v, slice.data(), y)) return -1;
    for (uint32_t x = 0; x < height; ++x) {
      for (uint32_t z = 0; z < width; ++z) {
        const float want = written.expected[x + size_t{height} * (y + size_t{slices} * z)];
        if (std::bit_cast<uint32_t>(want) !=
            std::bit_cast<uint32_t>(slice[size_t{x} * width + z])) {
          ++mismatches;
        }
      }
    }
  }
  return mismatches;
}

TEST(HRVolumeApi, GeometryDataRangeAndSlices) {
  ts::TempDir dir;
  HRWriteOptions options = ts::hr_options(40, 33, 70);
  options.vmin = {1.0, 2.0, 3.0};
  options.vmax = {21.0, 35.0, 38.0};
  const std::string path = dir.file("a.hr");
  const HRWriteResult written = write(path, options);

  Handle h;
  ts::CaptureStdout quiet;
  ASSERT_TRUE(qvx_ozk_volume_open(h.v, path.c_str()));
  uint32_t width = 0, height = 0, slices = 0, kind = 0;
  qvx_ozk_volume_slice_width(h.v, &width);
  qvx_ozk_volume_slice_height(h.v, &height);
  qvx_ozk_volume_num_slices(h.v, &slices);
  qvx_ozk_volume_kind(h.v, &kind);
  EXPECT_EQ(width, 70u);
  EXPECT_EQ(height, 40u);
  EXPECT_EQ(slices, 33u);
  EXPECT_EQ(kind, QVX_OZK_KIND_HR);
  double x = 0, y = 0, z = 0;
  qvx_ozk_volume_vmin(h.v, &x, &y, &z);
  EXPECT_EQ(x, 1.0);
  EXPECT_EQ(z, 3.0);
  qvx_ozk_volume_vmax(h.v, &x, &y, &z);
  EXPECT_EQ(y, 35.0);
  qvx_ozk_volume_voxel_size(h.v, &x, &y, &z);
  EXPECT_EQ(x, 0.5);
  EXPECT_EQ(y, 1.0);
  EXPECT_EQ(z, 0.5);
  double data_min = 0, data_max = 0;
  qvx_ozk_volume_data_min(h.v, &data_min);
  qvx_ozk_volume_data_max(h.v, &data_max);
  EXPECT_EQ(data_min, static_cast<double>(written.nodes[0].min));
  EXPECT_EQ(data_max, static_cast<double>(written.nodes[0].max));
  EXPECT_LT(data_min, data_max);

  EXPECT_EQ(slice_mismatches(h.v, written), 0);
  std::vector<float> slice(70 * 40);
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, slice.data(), 33));
  // Buffer element 5 * 70 + 7 is voxel (5, i, 7).
  ASSERT_TRUE(qvx_ozk_volume_read_slice(h.v, slice.data(), 32));
  EXPECT_EQ(slice[357], ts::hr_voxel(5, 32, 7));

  EXPECT_TRUE(qvx_ozk_volume_close(h.v));
  qvx_ozk_volume_slice_width(h.v, &width);
  EXPECT_EQ(width, 0u);
  EXPECT_FALSE(qvx_ozk_volume_read_slice(h.v, slice.data(), 0));
}

TEST(HRVolumeApi, OpenCloseReopenCyclesLeaveNoThreadBehind) {
  ts::TempDir dir;
  const std::string hr_path = dir.file("a.hr");
  const HRWriteResult written = write(hr_path, ts::hr_options(40, 33, 70));
  const std::string packed_path = dir.file("b.pvol");
  ts::write_file(packed_path,
                 "# QVX Packed Volume\nVoxels: 1 1 1\nBitsPerSample: 8\n"
                 "SweepDirection: 1\n</content>\n\xff");
  const size_t before = ts::process_thread_count();
  ts::CaptureStdout quiet;
  {
    Handle h;
    for (int cycle = 0; cycle < 5; ++cycle) {
      ASSERT_TRUE(qvx_ozk_volume_open(h.v, hr_path.c_str()));
      ASSERT_TRUE(qvx_ozk_volume_open(h.v, hr_path.c_str()));  // reopening closes first
      EXPECT_LE(ts::process_thread_count(), before + 9);
      EXPECT_EQ(slice_mismatches(h.v, written), 0);
      // Another kind on the same handle stops the HR threads.
      ASSERT_TRUE(qvx_ozk_volume_open(h.v, packed_path.c_str()));
      EXPECT_EQ(ts::process_thread_count(), before);
      ASSERT_TRUE(qvx_ozk_volume_open(h.v, hr_path.c_str()));
      ASSERT_TRUE(qvx_ozk_volume_close(h.v));
      EXPECT_EQ(ts::process_thread_count(), before);
    }
    ASSERT_TRUE(qvx_ozk_volume_open(h.v, hr_path.c_str()));
  }  // deleting an open handle joins its threads too
  EXPECT_EQ(ts::process_thread_count(), before);
}

TEST(HRVolumeApi, HandlesReadFromTheirOwnThreads) {
  ts::TempDir dir;
  const std::string shared_path = dir.file("shared.hr");
  const HRWriteResult shared = write(shared_path, ts::hr_options(100, 37, 129));
  const std::string other_path = dir.file("other.hr");
  const HRWriteResult other = write(other_path, ts::hr_options(40, 33, 70, 1));
  const size_t before = ts::process_thread_count();

  ts::CaptureStdout quiet;
  // Two handles on one file and two on another, each opened, read and closed on its own
  // thread, twice over.
  std::vector<int64_t> results(4, -2);
  std::vector<std::thread> readers;
  for (size_t i = 0; i < results.size(); ++i) {
    readers.emplace_back([&, i] {
      const bool first = i % 2 == 0;
      const std::string& path = first ? shared_path : other_path;
      int64_t total = 0;
      for (int round = 0; round < 2; ++round) {
        Handle h;
        if (!qvx_ozk_volume_open(h.v, path.c_str())) {
          total = -3;
          break;
        }
        const int64_t mismatches = slice_mismatches(h.v, first ? shared : other);
        if (mismatches != 0) total = mismatches;
      }
      results[i] = total;
    });
  }
  for (std::thread& reader : readers) reader.join();
  for (const int64_t result : results) EXPECT_EQ(result, 0);
  EXPECT_EQ(ts::process_thread_count(), before);
}

}  // namespace
