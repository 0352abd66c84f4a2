#include "base/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/report.h"
#include "tests/support/capture_stdout.h"

namespace QVX::Base {
namespace {

using QVX::TestSupport::CaptureStdout;
using QVX::TestSupport::strip_timestamps;

constexpr const char* kSource = "base/log_test";

std::string local_time_text(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// Fails a file open so that errno holds "no such file".
void fail_an_open() {
  errno = 0;
  ASSERT_LT(::open("/nonexistent/qvx_ozk/missing.hdr", O_RDONLY), 0);
  ASSERT_EQ(errno, ENOENT);
}

TEST(Log, PrintfWritesTimestampOfNowAndMessageOnly) {
  CaptureStdout capture;
  const std::time_t before = std::time(nullptr);
  log_printf("x=%d\n", 5);
  const std::time_t after = std::time(nullptr);
  const std::string text = capture.text();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(text, m, std::regex(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}): x=5\n)")))
      << text;
  std::set<std::string> plausible;
  for (std::time_t t = before; t <= after; ++t) plausible.insert(local_time_text(t));
  EXPECT_TRUE(plausible.count(m[1].str())) << m[1].str() << " is not the time of the call";
}

TEST(Log, WprintfWritesWideArgumentsAsUtf8) {
  CaptureStdout capture;
  log_wprintf(L"Loaded [%ls] %d\n", L"/data/Sch\u00E4del_\u03BCCT_\u982D\u90E8_\U0001F9B4", 7);
  EXPECT_EQ(strip_timestamps(capture.text()), "Loaded [/data/Schädel_μCT_頭部_🦴] 7\n");
}

TEST(Log, WprintfWritesLongEntriesWhole) {
  const std::wstring long_text(5000, L'\u00E9');
  CaptureStdout capture;
  log_wprintf(L"%ls|\n", long_text.c_str());
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "é";
  EXPECT_EQ(strip_timestamps(capture.text()), expected + "|\n");
}

TEST(Log, WprintfReplacesWhatUtf8CannotHold) {
  const std::wstring lone_surrogate{L'a', static_cast<wchar_t>(0xD800), L'z'};
  CaptureStdout capture;
  log_wprintf(L"%ls\n", lone_surrogate.c_str());
  EXPECT_EQ(strip_timestamps(capture.text()), "a\xEF\xBF\xBDz\n");
}

TEST(Log, WprintfLevelBelowThresholdDoesNothing) {
  CaptureStdout capture;
  const uint32_t count = log_line_count();
  log_wprintf_level(-1, L"hidden %d\n", 1);
  EXPECT_EQ(log_line_count(), count);
  EXPECT_EQ(capture.text(), "");
  log_wprintf_level(0, L"level %d\n", 0);
  log_wprintf_level(1, L"level %d\n", 1);
  EXPECT_EQ(log_line_count(), count + 2);
  EXPECT_EQ(strip_timestamps(capture.text()), "level 0\nlevel 1\n");
}

TEST(Log, EveryCallCountsAsOneEntry) {
  CaptureStdout capture;
  const uint32_t count = log_line_count();
  log_printf("a\nb\n");
  log_wprintf(L"c\n");
  log_printf("d");
  EXPECT_EQ(log_line_count(), count + 3);
}

TEST(Log, FormatWithoutNewlineLeavesNextPrefixOnSameLine) {
  CaptureStdout capture;
  log_printf("first");
  log_printf("second\n");
  const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )";
  EXPECT_TRUE(std::regex_match(capture.text(), std::regex(stamp + "first" + stamp + "second\n")))
      << capture.text();
}

TEST(Log, LastErrorWritesSystemTextAndHexCode) {
  CaptureStdout capture;
  fail_an_open();
  log_last_error("..Failed to open [missing.hdr]: ");
  fail_an_open();
  log_last_error(nullptr);
  EXPECT_EQ(strip_timestamps(capture.text()),
            "..Failed to open [missing.hdr]: No such file or directory (0x2)\n"
            "No such file or directory (0x2)\n");
}

TEST(Log, ConcurrentEntriesNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  const std::string padding(200, '.');
  CaptureStdout capture;
  const uint32_t count = log_line_count();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int i = 0; i < kEntries; ++i) {
        if (i % 2 == 0) {
          log_printf("thread %d entry %d %s end\n", t, i, padding.c_str());
        } else {
          log_wprintf(L"thread %d entry %d %ls end\n", t, i, std::wstring(200, L'.').c_str());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(log_line_count(), count + kThreads * kEntries);

  const std::regex entry(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: thread (\d) entry (\d+) \.{200} end)");
  std::istringstream lines(capture.text());
  std::set<std::pair<int, int>> seen;
  std::string line;
  int malformed = 0;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_match(line, m, entry)) {
      seen.emplace(std::stoi(m[1].str()), std::stoi(m[2].str()));
    } else if (++malformed <= 3) {
      ADD_FAILURE() << "not one whole entry: " << line;
    }
  }
  EXPECT_EQ(malformed, 0);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST(Report, ErrorAndBugLinesNameSourceAndLine) {
  CaptureStdout capture;
  const int error_line = __LINE__ + 1;
  QVX_REPORT_ERROR("FAILED to read %d bytes of [%s]", 42, "vol.raw");
  const int bug_line = __LINE__ + 1;
  QVX_REPORT_BUG();
  EXPECT_EQ(strip_timestamps(capture.text()),
            "ERROR: base/log_test: " + std::to_string(error_line) +
                ": FAILED to read 42 bytes of [vol.raw]\n" +
                "BUG: base/log_test: " + std::to_string(bug_line) + "\n");
}

TEST(Report, LongErrorMessageIsWrittenWhole) {
  const std::string message(3000, 'm');
  CaptureStdout capture;
  const int line = __LINE__ + 1;
  QVX_REPORT_ERROR("%s", message.c_str());
  EXPECT_EQ(strip_timestamps(capture.text()),
            "ERROR: base/log_test: " + std::to_string(line) + ": " + message + "\n");
}

}  // namespace
}  // namespace QVX::Base
