// Recognising HR volume files by their first 16 bytes.
#include "ct/hr_format.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

std::string header(const std::string& magic, uint32_t version, uint8_t byte12 = 0) {
  std::string h = magic;
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>((version >> (8 * i)) & 0xFF));
  h.push_back(static_cast<char>(byte12));
  h.append(3, '\0');
  return h;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(HRFormat, OnlyTheFourAcceptedHeadersAreHRVolumes) {
  struct Case {
    std::string bytes;
    bool accepted;
  } cases[] = {
      {header("QVXHRVOL", 1), true},          {header("QVXHRVOL", 2), true},
      {header("QVXHRVOL", 3), true},          {header("QVXHRVOL", 4), true},
      {header("QVXHRVOL", 0), false},         {header("QVXHRVOL", 5), false},
      {header("QVXHRVOL", 1, 1), false},      {header("QVXHRVOl", 4), false},
      {header("QVXHRVOL", 0x100 + 4), false},
  };
  ts::TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.file("probe");
    ts::write_file(path, c.bytes + "rest of the file");
    ts::CaptureStdout capture;
    EXPECT_EQ(QVX::CT::is_hr_volume(wide(path)), c.accepted);
    EXPECT_EQ(capture.text(), "");  // a mismatch is not logged
  }
}

TEST(HRFormat, UnreadableFilesAreLoggedAndRefused) {
  ts::TempDir dir;
  const std::string short_file = dir.file("short");
  ts::write_file(short_file, header("QVXHRVOL", 4).substr(0, 15));
  const std::string missing = dir.file("missing");

  ts::CaptureStdout capture;
  EXPECT_FALSE(QVX::CT::is_hr_volume(wide(short_file)));
  EXPECT_FALSE(QVX::CT::is_hr_volume(wide(missing)));
  const std::string log = ts::strip_timestamps(capture.text());
  EXPECT_NE(log.find("FAILED to read HR Volume file magic '" + short_file + "': "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("FAILED to open existing HR Volume '" + missing +
                     "': No such file or directory (0x2)\n"),
            std::string::npos)
      << log;
}

}  // namespace
