#include "math/matrix.h"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>
#include <vector>

#include "tests/support/capture_stdout.h"

using namespace QVX;

// What `action` logs, without timestamps and with source line numbers replaced by "<n>".
static std::string log_of(auto action) {
  TestSupport::CaptureStdout c;
  action();
  return std::regex_replace(TestSupport::strip_timestamps(c.text()), std::regex(": \\d+"), ": <n>");
}

// A wrapped matrix keeps its size and shape, and its memory stays with its owner. The
// matrix goes before the vector: freeing the memory would be a double free.
TEST(Matrix_f, WrappedMatrixChangesNeitherSizeNorMemory) {
  std::vector<float> memory(512 * 512, 0.5f);
  Math::Matrix_f m(memory.data(), 512, 512);
  // The same size succeeds silently; the failure is the only entry.
  EXPECT_EQ(log_of([&] { EXPECT_TRUE(m.resize(512, 512) && !m.resize(512, 511)); }),
            "ERROR: math/matrix: <n>: FAILED resizing WRAPPED matrix to size 512x511 (from "
            "512,512)\n");
  // Reshaping to more or fewer elements is a bug in the caller.
  EXPECT_EQ(log_of([&] { m.reshape(513, 512), m.reshape(2, 5); }),
            "BUG: math/matrix: <n>\nBUG: math/matrix: <n>\n");
  EXPECT_EQ(std::tuple(m.data, m.rows, m.cols), std::tuple(memory.data(), 512u, 512u));
  EXPECT_EQ(memory, std::vector<float>(512 * 512, 0.5f));
}

TEST(Matrix_f, OwningMatrixReshapesInPlaceAndResizesToZeroRows) {
  Math::Matrix_f m;
  ASSERT_TRUE(m.resize(3, 4));
  for (int i = 0; i < 12; ++i) m.data[i] = static_cast<float>(i);
  float* const storage = m.data;
  m.reshape(6, 2);
  EXPECT_EQ(std::tuple(m.data, m.rows, m.cols), std::tuple(storage, 6u, 2u));
  for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(m(i / 2, i % 2), static_cast<float>(i));
  EXPECT_TRUE(m.resize(0, 7));  // no storage, but both sizes kept
  EXPECT_EQ(std::tuple(m.data, m.rows, m.cols), std::tuple(nullptr, 0u, 7u));
}
