// HR volumes through the C interface: every slice bit for bit through handles opened,
// reopened and closed on several threads at once (the Python tests check the getters).
#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <thread>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/ct_volumes.h"
#include "tests/support/threads.h"
#include "tests/support/volume_writers.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRWriteResult;
using Handle = std::unique_ptr<qvx_ozk_volume, decltype(&qvx_ozk_volume_delete)>;

Handle handle() { return Handle(qvx_ozk_volume_create(), qvx_ozk_volume_delete); }

HRWriteResult write(const std::string& path, const QVX::Tools::HRWriteOptions& options) {
  return ts::write_hr(path, options, true);
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
    for (size_t i = 0; i < slice.size(); ++i) {
      const float want = written.expected[i / width + height * (y + size_t{slices} * (i % width))];
      mismatches += std::bit_cast<uint32_t>(want) != std::bit_cast<uint32_t>(slice[i]);
    }
  }
  return mismatches;
}

// Handles opened, read, reopened over another kind and closed on their own threads; no
// thread of a closed or deleted handle is left behind.
TEST(HRVolumeApi, HandlesOnTheirOwnThreadsLeaveNoThreadBehind) {
  ts::TempDir dir;
  const HRWriteResult written[2] = {write(dir.file("0.hr"), ts::hr_options(100, 37, 129)),
                                    write(dir.file("1.hr"), ts::hr_options(40, 33, 70, 1))};
  const std::string packed = dir.file("b.pvol");
  ts::write_file(packed, ts::packed_header(1, 1, 1, 8) + "\xff");
  const size_t before = ts::process_thread_count();
  ts::CaptureStdout quiet;
  std::vector<int64_t> results(4, -2);
  std::vector<std::thread> readers;
  for (size_t i = 0; i < results.size(); ++i) {
    readers.emplace_back([&, i] {
      const std::string path = dir.file(std::to_string(i % 2) + ".hr");
      Handle h = handle();
      int64_t total = 0;
      for (int round = 0; round < 2 && total == 0; ++round) {
        total = qvx_ozk_volume_open(h.get(), path.c_str()) &&
                        qvx_ozk_volume_open(h.get(), path.c_str())  // reopening closes first
                    ? slice_mismatches(h.get(), written[i % 2])
                    : -3;
        if (!qvx_ozk_volume_open(h.get(), packed.c_str())) total = -4;
      }
      if (i < 2 && !qvx_ozk_volume_open(h.get(), path.c_str())) total = -5;  // left open
      results[i] = total;
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(results, std::vector<int64_t>(4, 0));
  EXPECT_EQ(ts::process_thread_count(), before);
}

}  // namespace
