// Running the readers and writers the library is checked against (tifffile, tiffinfo).
// Where one is missing its tests skip, except in CI, where they fail.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace QVX::TestSupport {

// Runs `command` through the shell; returns its exit status and, with `output`, what it
// printed on standard output.
int run_command(const std::string& command, std::string* output = nullptr);
bool in_ci();
// The cross-check script run with Debian's Python: "<python> <script> ".
std::string crosscheck_command();

}  // namespace QVX::TestSupport

#define QVX_REQUIRE_TOOL(available, what)                                    \
  if (!(available)) {                                                        \
    if (::QVX::TestSupport::in_ci()) FAIL() << what << " is required in CI"; \
    GTEST_SKIP() << what << " is not installed";                             \
  }
