#include "math/vector.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/capture_stdout.h"

namespace QVX::Math {
namespace {

using QVX::TestSupport::CaptureStdout;

// The captured log without timestamps, source line numbers replaced by "<n>".
std::string log_of(CaptureStdout& capture) {
  static const std::regex line_number(R"((ERROR: math/vector): \d+)");
  return std::regex_replace(QVX::TestSupport::strip_timestamps(capture.text()), line_number,
                            "$1: <n>");
}

template <typename V>
class Vector_uN : public testing::Test {};
using VectorTypes = testing::Types<Vector_u8, Vector_u16, Vector_u32>;
TYPED_TEST_SUITE(Vector_uN, VectorTypes);

// UINT64_MAX bytes for 8 bits (more than one block may hold); beyond 64 bits otherwise.
TYPED_TEST(Vector_uN, ResizeToMaximumLengthFailsAndLeavesVectorEmpty) {
  TypeParam v;
  ASSERT_TRUE(v.resize(4));
  v.data[3] = 1;  // the sanitizer build checks that the block is large enough
  CaptureStdout capture;
  EXPECT_FALSE(v.resize(UINT64_MAX));
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.length, 0u);
  EXPECT_EQ(log_of(capture),
            "ERROR: math/vector: <n>: FAILED to allocate vector of length 18446744073709551615 "
            "(18446744073709551615 bytes)\n");
}

TEST(Vec3_u32, ResizeAcceptsOnlyLengthThree) {
  Vec3_u32 v(1, 2, 3);
  CaptureStdout capture;
  EXPECT_TRUE(v.resize(3));
  EXPECT_EQ(log_of(capture), "");
  EXPECT_FALSE(v.resize(4));
  EXPECT_EQ(log_of(capture),
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 4 (from 3)\n");
  EXPECT_EQ(v.data, v.storage);
  EXPECT_EQ(*v.z, 3u);
}

// Vec3_u32 and Vec3_d: copies take the values, never the storage.
template <typename V>
void ExpectDefaultZeroAndIndependentCopies() {
  const V zero;
  EXPECT_EQ(*zero.x + *zero.y + *zero.z, 0);
  V original(1, 2, 3);
  V copy(original);
  V assigned;
  assigned = original;
  for (V* v : {&copy, &assigned}) {
    EXPECT_EQ(v->data, v->storage);
    EXPECT_EQ(v->z, &v->storage[2]);
    EXPECT_EQ(*v->z, 3);
    *v->y = 9;
  }
  EXPECT_EQ(*original.y, 2);
}

TEST(Vec3_u32, DefaultIsZeroAndCopiesAreIndependent) {
  ExpectDefaultZeroAndIndependentCopies<Vec3_u32>();
}
TEST(Vec3_d, DefaultIsZeroAndCopiesAreIndependent) {
  ExpectDefaultZeroAndIndependentCopies<Vec3_d>();
}

TEST(Vector_u8, SetCopiesIntoWrappedTargetOnlyWithSameLength) {
  uint8_t memory[2] = {0, 0};
  Vector_u8 target(memory, 2);
  Vector_u8 source;
  ASSERT_TRUE(source.resize(2));
  source.data[0] = 7;
  source.data[1] = 8;
  EXPECT_TRUE(target.set(source));
  EXPECT_EQ(memory[1], 8);

  ASSERT_TRUE(source.resize(3));
  source.data[0] = 1;
  CaptureStdout capture;
  EXPECT_FALSE(target.set(source));
  EXPECT_EQ(log_of(capture),
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 3 (from 2)\n"
            "ERROR: math/vector: <n>: FAILED to set vector of length 3\n");
  EXPECT_EQ(memory[0], 7);

  Vector_u8 owner;  // an owning target takes the source's length
  EXPECT_TRUE(owner.set(target));
  ASSERT_EQ(owner.length, 2u);
  EXPECT_EQ(owner.data[1], 8);
}

TEST(Vector_u8, SetFromEmptyVectorFreesTarget) {
  Vector_u8 target;
  ASSERT_TRUE(target.resize(8));
  EXPECT_TRUE(target.set(Vector_u8()));
  EXPECT_EQ(target.data, nullptr);
  EXPECT_EQ(target.length, 0u);
}

}  // namespace
}  // namespace QVX::Math
