// The integrity check over each kind of damage: the result, one "FAILED" entry per
// problem naming the slices, the progress, and no change on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace {

namespace fs = std::filesystem;
namespace ts = QVX::TestSupport;

std::map<std::string, std::string> files_in(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path()] = ts::read_file(e.path());
  return files;
}

void flip(const std::string& path, uint64_t offset) {
  std::string bytes = ts::read_file(path);
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5A);
  ts::write_file(path, bytes);
}

void keep_failures(void* user, const char* entry) {
  const std::string text = std::string(entry).substr(21);  // after the time stamp
  if (text.starts_with("FAILED")) static_cast<std::vector<std::string>*>(user)->push_back(text);
}

TEST(VolumeVerify, FindsEachKindOfDamageAndNamesTheSlices) {
  ts::TempDir dir;
  // An HR volume of 40^3 voxels: root and eight bricks of depth 1; the last brick (x, y, z
  // codes 1) covers slices 32 to 39.
  QVX::Tools::HRWriteOptions options;
  options.resolution = {40, 40, 40};
  options.voxel = ts::voxel_value;
  options.info_placement = QVX::Tools::HRInfoPlacement::BeforeBricks;  // the bricks end the file
  QVX::Tools::HRWriteResult written;
  const std::string hr = dir.file("v.hr");
  ASSERT_TRUE(QVX::Tools::write_hr_volume(hr, options, &written, nullptr));
  const uint64_t brick = written.nodes.back().brick_offset;
  // A packed 8-bit volume of 64 x 8 x 256 in two gzip members: header and slices 0 to 3,
  // then slices 4 to 7. Samples that do not compress keep the second member beyond what
  // the open reads.
  const std::string packed = dir.file("p.pvol.gz");
  std::string samples(size_t{1} << 17, '\0');
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<char>((i * 2654435761u) >> 13);
  ts::write_gzip_file(packed, ts::packed_header(64, 8, 256, 8) + samples.substr(0, 1 << 16));
  ts::write_gzip_file(dir.file("m2"), samples.substr(1 << 16));
  ts::write_file(packed, ts::read_file(packed) + ts::read_file(dir.file("m2")));
  fs::remove(dir.file("m2"));
  // A header volume over a plain and a gzip slice file of four slices each.
  const std::string header = dir.file("h.txt"), plain = dir.file("a.raw"),
                    zipped = dir.file("b.raw.gz");
  ts::write_file(header, ts::header_volume_text(4, 8, 4, {{"a.raw", 4}, {"b.raw.gz", 4}}));
  ts::write_file(plain, ts::f32_bytes(std::vector<float>(64, 1.0f)));
  ts::write_gzip_file(zipped, ts::f32_bytes(std::vector<float>(64, 2.0f)));
  const auto pristine = files_in(dir.path());

  const struct {
    std::string volume;
    std::function<void()> damage;
    std::string failure;  // what the one "FAILED" entry holds; "" for none
  } cases[] = {
      {hr, [] {}, ""},
      {hr, [&] { flip(hr, brick + 4000); }, "fails its checksum: slices 32 to 39 damaged"},
      {hr, [&] { flip(hr, brick + 32768 * 4 + 1); }, "fails its checksum: slices 32 to 39 damaged"},
      {hr, [&] { fs::resize_file(hr, brick + 10); },
       "lies beyond the end of the file (" + std::to_string(brick + 10) +
           " bytes): slices 32 to 39 damaged"},
      {packed, [] {}, ""},
      {packed, [&] { flip(packed, fs::file_size(packed) - 6); },
       "is damaged (incorrect data check) from byte " +
           std::to_string(ts::packed_header(64, 8, 256, 8).size() + (1 << 16)) +
           " of the stream on: slices 4 to 7 damaged"},
      {packed, [&] { fs::resize_file(packed, fs::file_size(packed) - 10); },
       "is damaged (the stream ends early) from byte"},
      {header, [] {}, ""},
      {header, [&] { fs::remove(zipped); },
       "FAILED to read '" + zipped + "' (No such file or directory): slices 4 to 7 missing"},
      {header, [&] { fs::resize_file(plain, 100); },
       "holds 100 of the 256 bytes its volume needs: slices 1 to 3 missing"},
  };
  for (const auto& c : cases) {
    for (const auto& [path, bytes] : pristine) ts::write_file(path, bytes);
    c.damage();
    const auto before = files_in(dir.path());
    qvx_ozk_volume* volume = qvx_ozk_volume_create();
    ASSERT_TRUE(qvx_ozk_volume_open(volume, c.volume.c_str())) << c.failure;
    std::vector<std::string> failures;
    std::vector<uint32_t> percents;
    qvx_ozk_log_to_callback(keep_failures, &failures);
    const auto keep = [](void* user, uint32_t p) {
      static_cast<std::vector<uint32_t>*>(user)->push_back(p);
    };
    EXPECT_EQ(qvx_ozk_volume_verify(volume, keep, &percents), c.failure.empty());
    qvx_ozk_log_to_stdout();
    qvx_ozk_volume_delete(volume);
    ASSERT_EQ(failures.size(), c.failure.empty() ? 0u : 1u) << c.failure;
    if (!c.failure.empty()) {
      EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
    }
    EXPECT_TRUE(!percents.empty() && percents.back() == 100u &&
                std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(files_in(dir.path()), before) << c.failure;
  }
}

}  // namespace
