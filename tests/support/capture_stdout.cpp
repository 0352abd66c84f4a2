#include "tests/support/capture_stdout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace QVX::TestSupport {

// Both streams, so nothing buffered before or during a capture lands in the wrong place.
static void flush_standard_streams() {
  std::fflush(stdout);
  std::fflush(stderr);
}

CaptureOutput::CaptureOutput(int target_fd) : fd_(target_fd) {
  flush_standard_streams();
  char name[] = "/tmp/qvx_ozk_output_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create a capture file";
    return;
  }
  path_ = name;
  saved_fd_ = dup(fd_);
  dup2(fd, fd_);
  close(fd);
}

CaptureOutput::~CaptureOutput() {
  flush_standard_streams();
  if (saved_fd_ >= 0) {
    dup2(saved_fd_, fd_);
    close(saved_fd_);
  }
  if (!path_.empty()) unlink(path_.c_str());
}

std::string CaptureOutput::text() {
  flush_standard_streams();
  return read_file(path_);
}

std::string strip_timestamps(const std::string& text) {
  // "YYYY-MM-DD HH:MM:SS: ": digits everywhere but at the separators.
  const std::string shape = "dddd-dd-dd dd:dd:dd: ";
  std::string out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    bool stamped = line.size() >= shape.size();
    for (size_t i = 0; stamped && i < shape.size(); ++i) {
      stamped = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                : line[i] == shape[i];
    }
    if (!stamped) ADD_FAILURE() << "log line without a timestamp: " << line;
    out += (stamped ? line.substr(shape.size()) : line) + '\n';
  }
  return out;
}

}  // namespace QVX::TestSupport
