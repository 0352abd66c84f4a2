// Choosing where the library's log entries go, through the public interface only.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

// A failed open is the simplest way to make the library log: one "FAILED" entry.
void log_one_failure(const std::string& missing) {
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  ASSERT_NE(volume, nullptr);
  EXPECT_FALSE(qvx_ozk_volume_open(volume, missing.c_str()));
  qvx_ozk_volume_delete(volume);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Every test leaves the log on standard output, where the other tests expect it.
class LogDestination : public ::testing::Test {
 protected:
  void TearDown() override { qvx_ozk_log_to_stdout(); }
  ts::TempDir dir_;
};

TEST_F(LogDestination, StandardErrorTakesTheEntriesUntilStandardOutputIsChosenAgain) {
  {
    ts::CaptureStdout out;
    ts::CaptureStderr err;
    qvx_ozk_log_to_stderr();
    log_one_failure(dir_.file("first.pvol"));
    EXPECT_EQ(out.text(), "");
    EXPECT_NE(ts::strip_timestamps(err.text()).find("FAILED"), std::string::npos);
    EXPECT_NE(err.text().find("first.pvol"), std::string::npos);
  }
  ts::CaptureStdout out;
  ts::CaptureStderr err;
  qvx_ozk_log_to_stdout();
  log_one_failure(dir_.file("second.pvol"));
  EXPECT_EQ(err.text(), "");
  EXPECT_NE(out.text().find("second.pvol"), std::string::npos);
}

TEST_F(LogDestination, FileTakesTheEntriesAndIsClosedWhenLeft) {
  const std::string path = dir_.file("logs/deeper/ozk.log");  // directories made on demand
  ts::CaptureStdout out;
  ts::CaptureStderr err;
  ASSERT_TRUE(qvx_ozk_log_to_file(path.c_str()));
  log_one_failure(dir_.file("missing.pvol"));
  qvx_ozk_log_to_stderr();
  log_one_failure(dir_.file("later.pvol"));
  EXPECT_EQ(out.text(), "");
  const std::string text = read_text(path);
  EXPECT_NE(text.find("FAILED"), std::string::npos);
  EXPECT_NE(text.find("missing.pvol"), std::string::npos);
  EXPECT_NE(text.find("=== Log file closed: "), std::string::npos);
  EXPECT_EQ(text.find("later.pvol"), std::string::npos);
  EXPECT_NE(err.text().find("later.pvol"), std::string::npos);
}

TEST_F(LogDestination, FileThatCannotBeOpenedLeavesEntriesOnStandardOutput) {
  { std::ofstream(dir_.file("plain")) << "a file, not a directory"; }
  qvx_ozk_log_to_stderr();
  const std::string through_file = dir_.file("plain/ozk.log");
  ts::CaptureStdout out;
  EXPECT_FALSE(qvx_ozk_log_to_file(through_file.c_str()));
  EXPECT_FALSE(qvx_ozk_log_to_file(nullptr));
  EXPECT_FALSE(qvx_ozk_log_to_file(""));
  log_one_failure(dir_.file("missing.pvol"));
  EXPECT_NE(out.text().find("missing.pvol"), std::string::npos);
}

}  // namespace
