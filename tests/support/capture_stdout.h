// Captures what the process writes to standard output (or standard error) while the
// object lives, for matching log entries.
#pragma once

#include <string>

namespace QVX::TestSupport {

class CaptureOutput {
 public:
  // `target_fd`: 1 for standard output, 2 for standard error.
  explicit CaptureOutput(int target_fd);
  ~CaptureOutput();
  CaptureOutput(const CaptureOutput&) = delete;
  CaptureOutput& operator=(const CaptureOutput&) = delete;

  // Everything written so far (the capture goes on).
  std::string text();

 private:
  int fd_;
  int saved_fd_ = -1;
  std::string path_;
};

class CaptureStdout : public CaptureOutput {
 public:
  CaptureStdout() : CaptureOutput(1) {}
};

class CaptureStderr : public CaptureOutput {
 public:
  CaptureStderr() : CaptureOutput(2) {}
};

// The log entries in `text` with their "YYYY-MM-DD HH:MM:SS: " prefix removed; fails
// the current test when an entry lacks the prefix.
std::string strip_timestamps(const std::string& text);

}  // namespace QVX::TestSupport
