// Vectors and matrices: sizes, wrapped memory and the entries failures log.
#include <gtest/gtest.h>

#include <regex>
#include <tuple>
#include <vector>

#include "math/matrix.h"
#include "math/vector.h"
#include "tests/support/capture_stdout.h"

using namespace QVX;
using Math::Vec3_d, Math::Vec3_u32, Math::Vector_u32, Math::Vector_u8;

// What `action` logs, without timestamps and with source line numbers replaced by "<n>".
static std::string log_of(auto action) {
  TestSupport::CaptureStdout c;
  action();
  return std::regex_replace(TestSupport::strip_timestamps(c.text()), std::regex(": \\d+"), ": <n>");
}

// The matrix goes before the vector: freeing the wrapped memory would be a double free.
TEST(Matrix_f, WrappedMatrixChangesNeitherSizeNorMemory) {
  std::vector<float> memory(512 * 512, 0.5f);
  Math::Matrix_f m(memory.data(), 512, 512);
  EXPECT_EQ(log_of([&] {
              EXPECT_TRUE(m.resize(512, 512) && !m.resize(512, 511));
              m.reshape(513, 512), m.reshape(2, 5);
            }),
            "ERROR: math/matrix: <n>: FAILED resizing WRAPPED matrix to size 512x511 (from "
            "512,512)\nBUG: math/matrix: <n>\nBUG: math/matrix: <n>\n");
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

// Four bytes per element take the byte count beyond 64 bits; a Vec3_u32 takes length 3
// silently and no other length. A failed set copies nothing.
TEST(Vector, ResizeAndSetFailuresAreLogged) {
  Vector_u32 v;
  Vec3_u32 v3;
  uint8_t memory[2] = {0, 0}, values[3] = {7, 8, 9};
  Vector_u8 wrapped(memory, 2), source(values, 3), owner;
  ASSERT_TRUE(v.resize(4));
  EXPECT_EQ(log_of([&] {
              EXPECT_TRUE(!v.resize(UINT64_MAX) && v3.resize(3) && !v3.resize(4));
              EXPECT_FALSE(wrapped.set(source));
            }),
            "ERROR: math/vector: <n>: FAILED to allocate vector of length 18446744073709551615 "
            "(18446744073709551615 bytes)\n"
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 4 (from 3)\n"
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 3 (from 2)\n"
            "ERROR: math/vector: <n>: FAILED to set vector of length 3\n");
  EXPECT_EQ(std::tuple(v.data, v.length, memory[0] + memory[1]), std::tuple(nullptr, 0u, 0));
  EXPECT_TRUE(owner.set(source) && owner.length == 3 && owner.data[2] == 9);
  EXPECT_TRUE(owner.set(Vector_u8()));  // an empty source empties an owning target
  EXPECT_EQ(std::tuple(owner.data, owner.length), std::tuple(nullptr, 0u));
}

// Copies take the values and point at their own storage, never at the original's.
template <typename V>
void expect_independent_copies() {
  V original(1, 2, 3), copy(original), assigned;
  assigned = original;
  for (V* v : {&copy, &assigned}) {
    EXPECT_EQ(std::tuple(v->data, v->x, v->y, v->z, *v->x, *v->y, *v->z),
              std::tuple(v->storage, v->storage, v->storage + 1, v->storage + 2, 1, 2, 3));
  }
}

TEST(Vec3, CopiesAreIndependent) {
  expect_independent_copies<Vec3_u32>();
  expect_independent_copies<Vec3_d>();
}
