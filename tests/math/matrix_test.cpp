#include "math/matrix.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"

namespace QVX::Math {
namespace {

using QVX::TestSupport::CaptureStdout;

// The captured log without timestamps, source line numbers replaced by "<n>".
std::string log_of(CaptureStdout& capture) {
  static const std::regex line_number(R"(((ERROR|BUG): math/matrix): \d+)");
  return std::regex_replace(QVX::TestSupport::strip_timestamps(capture.text()), line_number,
                            "$1: <n>");
}

TEST(Matrix_f, WrappedMatrixKeepsItsSizeAndLeavesMemoryToItsOwner) {
  std::vector<float> memory(512 * 512, 0.5f);
  {
    Matrix_f m(memory.data(), 512, 512);
    CaptureStdout capture;
    EXPECT_TRUE(m.resize(512, 512));
    EXPECT_EQ(log_of(capture), "");
    EXPECT_FALSE(m.resize(512, 511));
    EXPECT_EQ(log_of(capture),
              "ERROR: math/matrix: <n>: FAILED resizing WRAPPED matrix to size 512x511 (from "
              "512,512)\n");
    EXPECT_EQ(m.data, memory.data());
    EXPECT_EQ(m.cols, 512u);
  }
  EXPECT_EQ(memory, std::vector<float>(512 * 512, 0.5f));  // not freed, not written
}

TEST(Matrix_f, ResizeWithZeroSizeFreesStorageAndKeepsBothSizes) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(3, 3));
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
  ASSERT_EQ(m.data, storage);
  ASSERT_EQ(m.cols, 2u);
  for (uint32_t r = 0; r < 6; ++r) {
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(m(r, c), static_cast<float>(r * 2 + c));
  }
  // A resize to the same element count takes the new shape on a new block.
  EXPECT_TRUE(m.resize(4, 3));
  EXPECT_EQ(m.rows, 4u);
  m(3, 2) = 1.0f;  // the sanitizer build checks that the block is large enough
}

TEST(Matrix_f, ReshapeToOtherElementCountLogsBugAndKeepsDimensions) {
  float memory[12];
  Matrix_f m(memory, 3, 4);
  CaptureStdout capture;
  m.reshape(4, 4);
  m.reshape(2, 5);
  EXPECT_EQ(log_of(capture), "BUG: math/matrix: <n>\nBUG: math/matrix: <n>\n");
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.cols, 4u);
}

TEST(Matrix_f, AllocationBeyond64BitByteCountFailsAndLeavesNoStorage) {
  Matrix_f m;
  ASSERT_TRUE(m.resize(2, 2));
  CaptureStdout capture;
  EXPECT_FALSE(m.resize(UINT32_MAX, UINT32_MAX));
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(log_of(capture),
            "ERROR: math/matrix: <n>: FAILED to allocate matrix of size 4294967295x4294967295 "
            "(18446744073709551615 bytes)\n");
}

}  // namespace
}  // namespace QVX::Math
