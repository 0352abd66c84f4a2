// Log entries, the log file and its rotation, and the path helpers behind them.
#include "base/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/log_file.h"
#include "base/report.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base {
namespace {

namespace ts = QVX::TestSupport;
using ts::strip_timestamps;

constexpr const char* kSource = "base/log_test";

TEST(Log, PrintfWritesLocalTimeOfTheCallAndMessageOnly) {
  ts::CaptureStdout capture;
  std::time_t times[2] = {std::time(nullptr)};
  log_printf("x=%d\n", 5);
  times[1] = std::time(nullptr);
  char entries[2][40];
  for (int i = 0; i < 2; ++i)
    std::strftime(entries[i], 40, "%Y-%m-%d %H:%M:%S: x=5\n", std::localtime(&times[i]));
  EXPECT_TRUE(capture.text() == entries[0] || capture.text() == entries[1]) << capture.text();
}

TEST(Log, WideLevelledAndErrorEntries) {
  // Long, and with a lone surrogate to replace.
  const std::wstring long_text = std::wstring(5000, L'\u00E9') + static_cast<wchar_t>(0xD800);
  ts::CaptureStdout capture;
  const uint32_t count = log_line_count();
  log_wprintf_level(-1, L"hidden %d\n", -1);  // neither written nor counted
  log_wprintf_level(0, L"[%ls] %d\n", L"/data/Sch\u00E4del_\u03BCCT_\u982D\u90E8_\U0001F9B4", 0);
  log_wprintf_level(1, L"%ls|\n", long_text.c_str());
  errno = ENOENT;
  log_last_error("..Failed to open [missing.hdr]: ");
  errno = ENOENT;
  log_last_error(nullptr);
  EXPECT_EQ(log_line_count(), count + 4);
  std::string expected = "[/data/Schädel_μCT_頭部_🦴] 0\n";
  for (int i = 0; i < 5000; ++i) expected += "é";
  EXPECT_EQ(strip_timestamps(capture.text()),
            expected +
                "\xEF\xBF\xBD|\n..Failed to open [missing.hdr]: No such file or directory (0x2)\n"
                "No such file or directory (0x2)\n");
}

TEST(Log, ConcurrentEntriesNeverInterleave) {
  constexpr int kThreads = 8, kEntries = 200;
  ts::CaptureStdout capture;
  const uint32_t count = log_line_count();
  std::thread threads[kThreads];
  for (int t = 0; t < kThreads; ++t)
    threads[t] = std::thread([t] {
      for (int i = 0; i < kEntries; i += 2) {
        log_printf("thread %d entry %d %s end\n", t, i, std::string(200, '.').c_str());
        log_wprintf(L"thread %d entry %d %ls end\n", t, i + 1, std::wstring(200, L'.').c_str());
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(log_line_count(), count + kThreads * kEntries);
  const std::regex entry(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: thread \d entry \d+ \.{200} end)");
  std::istringstream lines(capture.text());
  std::set<std::string> seen;  // entries without their timestamps
  for (std::string line; std::getline(lines, line); seen.insert(line.substr(21)))
    ASSERT_TRUE(std::regex_match(line, entry)) << "not one whole entry: " << line;
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST(Report, ErrorAndBugLinesNameSourceAndLine) {
  const std::string message(3000, 'm');
  ts::CaptureStdout capture;
  const int line = __LINE__ + 1;
  QVX_REPORT_ERROR("FAILED to read %d bytes of [%s] %s", 42, "vol.raw", message.c_str());
  QVX_REPORT_BUG();
  EXPECT_EQ(strip_timestamps(capture.text()),
            "ERROR: base/log_test: " + std::to_string(line) +
                ": FAILED to read 42 bytes of [vol.raw] " + message + "\n" +
                "BUG: base/log_test: " + std::to_string(line + 1) + "\n");
}

constexpr size_t kPrefixSize = 21;  // "YYYY-MM-DD HH:MM:SS: "

// The lines of a log file, entries without their timestamp; the closing line as "".
std::vector<std::string> file_lines(const std::string& path) {
  static const std::regex closing(R"(=== Log file closed: \d{4}-\d\d-\d\d @ \d\d:\d\d:\d\d ===)");
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(
        std::regex_match(line, closing) ? "" : line.substr(std::min(line.size(), kPrefixSize)));
  return lines;
}

// Every test leaves the log as it found it: on standard output at the real threshold.
class LogFile : public ::testing::Test {
 protected:
  void TearDown() override {
    log_use_standard_output();
    log_set_rotation_threshold(kLogRotationEntries);
  }
};

TEST(LogFilePaths, FileAndDirectoryParts) {
  const std::optional<std::string> none;
  const struct {
    const char* path;
    std::optional<std::string> parts[3];  // name, stem, extension
    std::optional<std::string> directory;
  } cases[] = {
      {"C:\\a\\b.tar.gz", {"b.tar.gz", "b", ".tar"}, "C:\\a"},
      {"C:\\a\\b.GZ", {"b.GZ", "b", ".GZ"}, "C:\\a"},
      {"/var/log/sdk", {"sdk", "sdk", "sdk"}, "/var/log"},
      {"/var/log/.profile", {".profile", ".profile", ".profile"}, "/var/log"},
      {"a/b\\c.gz", {"c.gz", "c", "c"}, "a/b"},
      {"//sdk", {"sdk", "sdk", "sdk"}, "/"},
      {"/sdk.log", {"/sdk.log", "/sdk", ".log"}, none},
      {"sdk.log", {"sdk.log", "sdk", ".log"}, none},
      {"/var/log/", {none, none, none}, "/var/log"},
      {"x", {none, none, none}, none},
      {"", {none, none, none}, none},
  };
  for (const auto& c : cases) {
    for (int part = 0; part < 3; ++part) {
      EXPECT_EQ(path_file_part(c.path, static_cast<FilePart>(part)), c.parts[part])
          << c.path << " part " << part;
    }
    EXPECT_EQ(path_directory_part(c.path), c.directory) << c.path;
  }
}

// A compressed name rotates as the plain one; a Windows directory keeps its separator.
TEST(LogFilePaths, RotatedNames) {
  EXPECT_EQ(log_file_name_for_index("/var/log/sdk.log.gz", 0), "/var/log/sdk.log");
  EXPECT_EQ(log_file_name_for_index("C:\\logs\\sdk.log", 2), "C:\\logs/sdk-3.log");
}

TEST_F(LogFile, RotatesAfterTheRealThreshold) {
  ts::TempDir dir;
  const std::string first = dir.file("logs/sdk.log");  // its directory is created
  ASSERT_TRUE(log_set_file(first));
  for (uint32_t i = 1; i <= kLogRotationEntries; ++i) log_printf("entry %u\n", i);
  EXPECT_EQ(log_line_count(), kLogRotationEntries);
  log_printf("entry %u\n", kLogRotationEntries + 1);
  EXPECT_EQ(log_line_count(), 1u);
  EXPECT_EQ(file_lines(first).at(kLogRotationEntries),
            "=== Log continues in logfile 2 (sdk-2.log) ===");
  EXPECT_EQ(file_lines(dir.file("logs/sdk-2.log")).back(), "entry 100001");
}

TEST_F(LogFile, NumbersFilesOfARelativePathWithoutExtension) {
  ts::TempDir dir;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  log_set_rotation_threshold(2);
  const bool opened = log_set_file("sdk");
  for (int i = 1; i <= 5; ++i) log_printf("entry %d\n", i);
  log_use_standard_output();  // closes logfile 3
  std::filesystem::current_path(previous);
  ASSERT_TRUE(opened);
  const std::vector<std::string> expected[] = {
      {"entry 1", "entry 2", "=== Log continues in logfile 2 (sdk-2) ===", ""},
      {"=== Beginning of logfile 2 (sdk-2) ===", "entry 3", "entry 4",
       "=== Log continues in logfile 3 (sdk-3) ===", ""},
      {"=== Beginning of logfile 3 (sdk-3) ===", "entry 5", ""},
  };
  const char* names[] = {"sdk", "sdk-2", "sdk-3"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(file_lines(dir.file(names[i])), expected[i]) << names[i];
}

// Without a path, or when opening fails, entries go to standard output and never rotate.
TEST_F(LogFile, StandardOutputNeverRotates) {
  ts::TempDir dir;
  ts::write_file(dir.file("blocker"), "");  // a file where a directory should be
  log_set_rotation_threshold(2);
  for (bool failed_open : {false, true}) {
    ts::CaptureStdout capture;
    EXPECT_TRUE(!failed_open || !log_set_file(dir.file("blocker/sdk.log")));
    for (int i = 1; i <= 5; ++i) log_wprintf(L"entry %d\n", i);
    EXPECT_EQ(log_line_count(), failed_open ? 5u : 1u);  // 1, 2, 1, 2, 1 on plain output
    EXPECT_EQ(ts::strip_timestamps(capture.text()),
              "entry 1\nentry 2\nentry 3\nentry 4\nentry 5\n");
  }
}

}  // namespace
}  // namespace QVX::Base
