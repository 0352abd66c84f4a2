#include "tests/support/external_tools.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace QVX::TestSupport {

int run_command(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output != nullptr) output->append(buffer, n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

std::string crosscheck_command() {
  return std::string("/usr/bin/python3 ") + QVX_OZK_SOURCE_DIR + "/tests/tools/tiff_crosscheck.py ";
}

}  // namespace QVX::TestSupport
