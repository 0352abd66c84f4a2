#include "math/matrix.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"

namespace QVX::Math {
namespace {

// The captured log without timestamps, source line numbers replaced by "<n>".
std::string log_of(Test::CaptureStdout& capture) {
  static const std::regex line_number(R"(((ERROR|BUG): math/matrix): \d+)");
  return std::regex_replace(Test::strip_timestamps(capture.text()), line_number, "$1: <n>");
}

TEST(Matrix_f, ResizeOfWrappedMatrixAcceptsOnlyItsOwnSize) {
  std::vector<float> memory(512 * 512, 0.5f);
  Matrix_f m(memory.data(), 512, 512);
  Test::CaptureStdout capture;

  EXPECT_TRUE(m.resize(512, 512));
  EXPECT_EQ(log_of(capture), "");

  EXPECT_FALSE(m.resize(512, 511));
  EXPECT_EQ(log_of(capture),
            "ERROR: math/matrix: <n>: FAILED resizing WRAPPED matrix to size 512x511 (from "
            "512,512)\n");
  EXPECT_EQ(m.data, memory.data());
  EXPECT_EQ(m.rows, 512u);
  EXPECT_EQ(m.cols, 512u);
  EXPECT_TRUE(m.wrapped);
}

TEST(Matrix_f, ResizeWithZeroSizeFreesStorageAndKeepsBothSizes) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(3, 3));
  ASSERT_NE(m.data, nullptr);

  EXPECT_TRUE(m.resize(0, 7));
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(m.rows, 0u);
  EXPECT_EQ(m.cols, 7u);
}

TEST(Matrix_f, ReshapeKeepsStorageAndContentsUnderNewDimensions) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(3, 4));
  for (int i = 0; i < 12; ++i) m.data[i] = static_cast<float>(i);
  float* const storage = m.data;

  m.reshape(6, 2);
  EXPECT_EQ(m.data, storage);
  ASSERT_EQ(m.rows, 6u);
  ASSERT_EQ(m.cols, 2u);
  for (uint32_t r = 0; r < 6; ++r) {
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(m(r, c), static_cast<float>(r * 2 + c));
  }
}

TEST(Matrix_f, ReshapeOfWrappedMatrixWorks) {
  float memory[6] = {0, 1, 2, 3, 4, 5};
  Matrix_f m(memory, 2, 3);
  m.reshape(3, 2);
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.cols, 2u);
  EXPECT_EQ(m(2, 1), 5.0f);
}

TEST(Matrix_f, ReshapeToOtherElementCountLogsBugAndKeepsDimensions) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(3, 4));
  Test::CaptureStdout capture;

  m.reshape(4, 4);
  m.reshape(2, 5);
  EXPECT_EQ(log_of(capture), "BUG: math/matrix: <n>\nBUG: math/matrix: <n>\n");
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.cols, 4u);
}

TEST(Matrix_f, ResizeToSameCountButOtherShapeTakesNewShape) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(3, 4));
  EXPECT_TRUE(m.resize(4, 3));
  EXPECT_NE(m.data, nullptr);
  EXPECT_EQ(m.rows, 4u);
  EXPECT_EQ(m.cols, 3u);
  m(3, 2) = 1.0f;  // the whole new block is writable (checked by the sanitizer build)
}

TEST(Matrix_f, DestroyingWrappingMatrixLeavesMemoryUntouched) {
  std::vector<float> memory(6, 1.5f);
  { Matrix_f m(memory.data(), 2, 3); }
  for (float v : memory) EXPECT_EQ(v, 1.5f);
}

TEST(Matrix_f, FailedAllocationLogsByteCountAndLeavesNoStorage) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(2, 2));
  Test::CaptureStdout capture;

  // 2^63 bytes: representable, but more than one block may hold.
  EXPECT_FALSE(m.resize(1u << 31, 1u << 30));
  EXPECT_EQ(m.data, nullptr);
  // A byte count beyond 64 bits is reported as the largest 64-bit value.
  EXPECT_FALSE(m.resize(UINT32_MAX, UINT32_MAX));
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(log_of(capture),
            "ERROR: math/matrix: <n>: FAILED to allocate matrix of size 2147483648x1073741824 "
            "(9223372036854775808 bytes)\n"
            "ERROR: math/matrix: <n>: FAILED to allocate matrix of size 4294967295x4294967295 "
            "(18446744073709551615 bytes)\n");
}

}  // namespace
}  // namespace QVX::Math
