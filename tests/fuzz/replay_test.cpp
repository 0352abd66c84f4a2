// Every fuzz target's body replayed over its generated seeds and its committed crash
// files, so that a fixed crash stays fixed in every build (the image tests load the
// public conformance suites).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/entry_points.h"
#include "fuzz/seeds.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Fuzz {

// Test names and messages show the target's name rather than its bytes (found by lookup in
// the target's namespace).
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

namespace {

namespace fs = std::filesystem;

bool run(const Target& target, const std::string& bytes) {
  return target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The regular files of `dir`, sorted, or none where it does not exist.
std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() != "README.md")
      out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, AcceptsEverySeed) {
  const std::vector<Seed> all = seeds(GetParam().name);
  ASSERT_FALSE(all.empty());
  for (const Seed& seed : all) {
    TestSupport::CaptureStdout quiet;
    EXPECT_TRUE(run(GetParam(), seed.bytes)) << seed.name;
  }
}

TEST_P(FuzzReplay, SurvivesEveryCrashFile) {
  const fs::path dir =
      fs::path(QVX_OZK_SOURCE_DIR) / "fuzz" / "crashers" / (std::string(GetParam().name) + "_fuzz");
  for (const fs::path& path : files_in(dir)) {
    SCOPED_TRACE(path.string());
    TestSupport::CaptureStdout quiet;
    run(GetParam(), TestSupport::read_file(path.string()));
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(targets()),
                         [](const ::testing::TestParamInfo<Target>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace QVX::Fuzz
