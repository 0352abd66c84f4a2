#include "math/vector.h"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "tests/support/capture_stdout.h"

using namespace QVX;
using Math::Vec3_d, Math::Vec3_u32, Math::Vector_u32, Math::Vector_u8;

// What `action` logs, without timestamps and with source line numbers replaced by "<n>".
static std::string log_of(auto action) {
  TestSupport::CaptureStdout c;
  action();
  return std::regex_replace(TestSupport::strip_timestamps(c.text()), std::regex(": \\d+"), ": <n>");
}

// A failed allocation leaves the vector empty; four bytes per element take the byte count
// beyond 64 bits. A Vec3_u32 takes length 3 silently and no other length.
TEST(Vector_u32, ResizeFailuresAreLogged) {
  Vector_u32 v;
  Vec3_u32 v3;
  ASSERT_TRUE(v.resize(4));
  EXPECT_EQ(log_of([&] { EXPECT_TRUE(!v.resize(UINT64_MAX) && v3.resize(3) && !v3.resize(4)); }),
            "ERROR: math/vector: <n>: FAILED to allocate vector of length 18446744073709551615 "
            "(18446744073709551615 bytes)\n"
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 4 (from 3)\n");
  EXPECT_EQ(std::tuple(v.data, v.length), std::tuple(nullptr, 0u));
}

template <typename V>
class Vec3 : public testing::Test {};
using Vec3Types = testing::Types<Vec3_u32, Vec3_d>;
TYPED_TEST_SUITE(Vec3, Vec3Types);

// Copies take the values and point at their own storage, never at the original's.
TYPED_TEST(Vec3, CopiesAreIndependent) {
  TypeParam original(1, 2, 3), copy(original), assigned;
  assigned = original;
  for (TypeParam* v : {&copy, &assigned}) {
    EXPECT_EQ(std::tuple(v->data, v->x, v->y, v->z, *v->x, *v->y, *v->z),
              std::tuple(v->storage, v->storage, v->storage + 1, v->storage + 2, 1, 2, 3));
  }
}

TEST(Vector_u8, SetCopiesOnlyWhereTheTargetTakesTheLength) {
  uint8_t memory[2] = {0, 0}, values[3] = {7, 8, 9};
  Vector_u8 wrapped(memory, 2), source(values, 3), owner;
  EXPECT_EQ(log_of([&] { EXPECT_FALSE(wrapped.set(source)); }),
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 3 (from 2)\n"
            "ERROR: math/vector: <n>: FAILED to set vector of length 3\n");
  EXPECT_EQ(memory[0] + memory[1], 0);  // nothing copied
  EXPECT_TRUE(owner.set(source) && owner.length == 3 && owner.data[2] == 9);
  EXPECT_TRUE(owner.set(Vector_u8()));  // an empty source empties an owning target
  EXPECT_EQ(std::tuple(owner.data, owner.length), std::tuple(nullptr, 0u));
}
