#include "tests/support/capture_stdout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace QVX::TestSupport {

CaptureStdout::CaptureStdout() {
  std::fflush(stdout);
  char name[] = "/tmp/qvx_ozk_stdout_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create a capture file";
    return;
  }
  path_ = name;
  saved_fd_ = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  close(fd);
}

CaptureStdout::~CaptureStdout() {
  std::fflush(stdout);
  if (saved_fd_ >= 0) {
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
  }
  if (!path_.empty()) unlink(path_.c_str());
}

std::string CaptureStdout::text() {
  std::fflush(stdout);
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
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
