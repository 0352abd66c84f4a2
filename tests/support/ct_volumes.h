// HR fixtures for the ct tests: files made with the HR writer, to be opened by the library.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::TestSupport {

inline std::wstring wide(const std::string& path) { return {path.begin(), path.end()}; }

// Writes `options` to `path`; fails the test on error. `expected`: fill result.expected.
inline Tools::HRWriteResult write_hr(const std::string& path, Tools::HRWriteOptions options,
                                     bool expected = false) {
  options.want_expected = expected;
  Tools::HRWriteResult result;
  std::string error;
  EXPECT_TRUE(Tools::write_hr_volume(path, options, &result, &error)) << error;
  return result;
}

}  // namespace QVX::TestSupport
