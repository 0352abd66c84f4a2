#include "base/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "base/report.h"
#include "tests/support/capture_stdout.h"

namespace QVX::Base {

using namespace QVX::TestSupport;

constexpr const char* kSource = "base/log_test";

TEST(Log, PrintfWritesLocalTimeOfTheCallAndMessageOnly) {
  CaptureStdout capture;
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
  CaptureStdout capture;
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
  CaptureStdout capture;
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
  CaptureStdout capture;
  const int line = __LINE__ + 1;
  QVX_REPORT_ERROR("FAILED to read %d bytes of [%s] %s", 42, "vol.raw", message.c_str());
  QVX_REPORT_BUG();
  EXPECT_EQ(strip_timestamps(capture.text()),
            "ERROR: base/log_test: " + std::to_string(line) +
                ": FAILED to read 42 bytes of [vol.raw] " + message + "\n" +
                "BUG: base/log_test: " + std::to_string(line + 1) + "\n");
}

}  // namespace QVX::Base
