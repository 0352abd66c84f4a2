// Recognising HR volume files by their first 16 bytes.
#include "ct/hr_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

TEST(HRFormat, OnlyTheFourAcceptedHeadersAreHRVolumes) {
  const std::string zeros(4, '\0');
  const struct {
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"QVXHRVOL\1" + zeros.substr(0, 3) + zeros, true},
      {"QVXHRVOL\2" + zeros.substr(0, 3) + zeros, true},
      {"QVXHRVOL\3" + zeros.substr(0, 3) + zeros, true},
      {"QVXHRVOL\4" + zeros.substr(0, 3) + zeros, true},
      {"QVXHRVOL\5" + zeros.substr(0, 3) + zeros, false},
      {"QVXHRVOL\1" + zeros.substr(0, 3) + "\1" + zeros.substr(0, 3), false},  // byte 12
      {"QVXHRVOL" + zeros + zeros, false},
      {"QVXHRVOL\4\1" + zeros.substr(0, 2) + zeros, false},  // version 260
      {"QVXHRVOl\4" + zeros.substr(0, 3) + zeros, false},
  };
  ts::TempDir dir;
  const std::string path = dir.file("probe");
  for (const auto& c : cases) {
    ts::write_file(path, c.bytes + "rest of the file");
    ts::CaptureStdout capture;
    EXPECT_EQ(QVX::CT::is_hr_volume(std::wstring(path.begin(), path.end())), c.accepted);
    EXPECT_EQ(capture.text(), "");  // a mismatch is not logged
  }
}

TEST(HRFormat, ShortOrMissingFilesAreLoggedAndRefused) {
  ts::TempDir dir;
  const std::string short_file = dir.file("short"), missing = dir.file("missing");
  ts::write_file(short_file, "QVXHRVOL\4");
  ts::CaptureStdout capture;
  EXPECT_FALSE(QVX::CT::is_hr_volume(std::wstring(short_file.begin(), short_file.end())));
  EXPECT_FALSE(QVX::CT::is_hr_volume(std::wstring(missing.begin(), missing.end())));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to read HR Volume file magic '" + short_file +
                "': No data available (0x3D)\nFAILED to open existing HR Volume '" + missing +
                "': No such file or directory (0x2)\n");
}

TEST(HRFormat, MaxDepthIsTheSmallestLevelCoveringTheLargestDimension) {
  const struct {
    uint32_t largest;
    bool supported;
    uint32_t depth;
  } cases[] = {
      {0, false, 0},          {16, false, 0},  {17, true, 0},        {32, true, 0},
      {33, true, 1},          {64, true, 1},   {65, true, 2},        {100, true, 2},
      {2048, true, 6},        {2049, true, 7}, {1u << 31, true, 26}, {(1u << 31) + 1, false, 0},
      {UINT32_MAX, false, 0},
  };
  for (const auto& c : cases) {
    uint32_t depth = 99;
    EXPECT_EQ(QVX::CT::compute_max_depth(c.largest, &depth), c.supported) << c.largest;
    if (c.supported) {
      EXPECT_EQ(depth, c.depth) << c.largest;
    }
  }
}

TEST(HRFormat, ChecksumsOfABrick) {
  std::vector<unsigned char> brick(QVX::CT::kBrickDataBytes);
  for (size_t i = 0; i < brick.size(); ++i) brick[i] = static_cast<unsigned char>(i * 7 + 3);
  uint32_t sum = 0;
  for (size_t i = 0; i < brick.size(); i += 4) {
    sum += static_cast<uint32_t>(brick[i] | brick[i + 1] << 8 | brick[i + 2] << 16 |
                                 static_cast<uint32_t>(brick[i + 3]) << 24);
  }
  EXPECT_EQ(QVX::CT::brick_word_sum(brick.data()), sum);

  const unsigned char check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(QVX::CT::brick_crc32(0, check, sizeof check), 0xCBF43926u);
  // Piece by piece equals all at once.
  const uint32_t whole = QVX::CT::brick_crc32(0, brick.data(), brick.size());
  uint32_t pieces = 0;
  for (size_t i = 0; i < brick.size(); i += 128) {
    pieces = QVX::CT::brick_crc32(pieces, brick.data() + i, 128);
  }
  EXPECT_EQ(pieces, whole);

  using QVX::CT::checksum_passes;
  EXPECT_TRUE(checksum_passes(QVX::CT::kChecksumCrc32, 0, whole));
  EXPECT_TRUE(checksum_passes(QVX::CT::kChecksumCrc32, whole, whole));
  EXPECT_FALSE(checksum_passes(QVX::CT::kChecksumCrc32, whole ^ 1, whole));
  EXPECT_FALSE(checksum_passes(QVX::CT::kChecksumWordSum, 0, sum));
  EXPECT_TRUE(checksum_passes(QVX::CT::kChecksumWordSum, 0, 0));
  EXPECT_TRUE(checksum_passes(7, 12345, sum));
  EXPECT_TRUE(checksum_passes(QVX::CT::kChecksumNone, 12345, sum));
}

}  // namespace
