// Valid files of every kind cut at every length up to 4 KiB and at evenly spread lengths
// beyond: each cut either fails cleanly or reads exactly what the whole file holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/entry_points.h"
#include "fuzz/seeds.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/tool_runner.h"

namespace QVX::Fuzz {
namespace {

namespace ts = QVX::TestSupport;

constexpr size_t kEveryLengthUpTo = 4096;
constexpr size_t kSpreadLengths = 500;

// 0 .. min(size, 4 KiB) one by one (every `step`-th), then `spread` lengths evenly
// between there and the whole size; the whole size is left out.
std::vector<size_t> cut_lengths(size_t size, size_t step = 1, size_t spread = kSpreadLengths) {
  std::vector<size_t> out;
  const size_t dense = std::min(size, kEveryLengthUpTo);
  for (size_t n = 0; n < dense; n += step) out.push_back(n);
  if (size > kEveryLengthUpTo) {
    for (size_t i = 0; i < spread; ++i) out.push_back(dense + (size - dense) * i / spread);
  }
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string seed(const char* target, const std::string& name) {
  for (const Seed& s : seeds(target)) {
    if (s.name == name) return s.bytes;
  }
  ADD_FAILURE() << "no seed " << name << " of " << target;
  return {};
}

// A cut reading agrees with the whole file's: same geometry, and every slice and level
// plane (read i of data, then of planes) it reads holds the same values.
void expect_partial_of(const ts::VolumeRead& cut, const ts::VolumeRead& whole, size_t length) {
  if (!cut.opened) return;
  ASSERT_EQ(std::tie(cut.width, cut.height, cut.slices),
            std::tie(whole.width, whole.height, whole.slices))
      << length;
  for (auto reads : {&ts::VolumeRead::data, &ts::VolumeRead::planes}) {
    ASSERT_EQ((cut.*reads).size(), (whole.*reads).size()) << length;
    for (size_t i = 0; i < (cut.*reads).size(); ++i) {
      if ((cut.*reads)[i].empty()) continue;
      ASSERT_TRUE((cut.*reads)[i] == (whole.*reads)[i])
          << "read " << i << " of a cut at " << length;
    }
  }
}

// Cuts the file `name` (the rest of the volume stays whole in `dir`) and reads `volume`.
void sweep_volume(const std::string& bytes, const std::string& dir_path, const std::string& name,
                  const std::string& volume, size_t step = 1, size_t spread = kSpreadLengths) {
  const std::string path = dir_path + "/" + name;
  ts::write_file(path, bytes);
  const ts::VolumeRead whole = ts::read_volume(dir_path + "/" + volume);
  ASSERT_TRUE(whole.opened);
  for (const auto& read : whole.data) ASSERT_FALSE(read.empty());
  for (const auto& read : whole.planes) ASSERT_FALSE(read.empty());
  for (size_t length : cut_lengths(bytes.size(), step, spread)) {
    ts::write_file(path, bytes.substr(0, length));
    ASSERT_NO_FATAL_FAILURE(
        expect_partial_of(ts::read_volume(dir_path + "/" + volume), whole, length));
  }
}

TEST(Truncation, PackedVolumes) {
  for (const char* name : {"u8.pvol", "u16.pvol", "f32_table.pvol", "u8.pvol.gz", "f32.pvol.gz"}) {
    SCOPED_TRACE(name);
    ts::TempDir dir;
    sweep_volume(seed("packed_volume", name), dir.path(), "v.pvol", "v.pvol");
  }
}

TEST(Truncation, HeaderVolumeHeaderAndSliceFile) {
  for (const char* name : {"plain.hdr", "gzipped.hdr"}) {
    SCOPED_TRACE(name);
    const std::string input = seed("header_volume", name);
    const size_t nul = input.find('\0');
    ASSERT_NE(nul, std::string::npos);
    ts::TempDir dir;
    ts::write_file(dir.file("slice.raw"), input.substr(nul + 1));
    sweep_volume(input.substr(0, nul), dir.path(), "v.hdr", "v.hdr");
    ts::write_file(dir.file("v.hdr"), input.substr(0, nul));
    sweep_volume(input.substr(nul + 1), dir.path(), "slice.raw", "v.hdr");
  }
}

// Every HR open starts nine threads, so this sweep takes every 8th length below 4 KiB.
TEST(Truncation, HRVolume) {
  ts::TempDir dir;
  sweep_volume(seed("hr_volume", "v4_crc.hr"), dir.path(), "v.hr", "v.hr", 8, 200);
}

TEST(Truncation, ImagesThroughTheFuzzEntryPoints) {
  const std::vector<std::pair<std::string, EntryPoint>> loaders = {
      {"tiff_load", tiff_load}, {"bmp_load", bmp_load}, {"png_load", png_load}};
  for (const auto& [target, run] : loaders) {
    for (const Seed& s : seeds(target)) {
      SCOPED_TRACE(s.name);
      const auto* data = reinterpret_cast<const uint8_t*>(s.bytes.data());
      ts::CaptureStdout quiet;
      EXPECT_TRUE(run(data, s.bytes.size()));
      for (size_t length : cut_lengths(s.bytes.size())) run(data, length);
    }
  }
}

}  // namespace
}  // namespace QVX::Fuzz
