// Recognising HR volume files by their first 16 bytes.
#include "ct/hr_format.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
