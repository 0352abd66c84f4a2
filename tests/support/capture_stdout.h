// Captures what the process writes to standard output while the object lives, for
// matching log entries.
#pragma once

#include <string>

namespace QVX::TestSupport {

class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;

  // Everything written so far (the capture goes on).
  std::string text();

 private:
  int saved_fd_ = -1;
  std::string path_;
};

// The log entries in `text` with their "YYYY-MM-DD HH:MM:SS: " prefix removed; fails
// the current test when an entry lacks the prefix.
std::string strip_timestamps(const std::string& text);

}  // namespace QVX::TestSupport
