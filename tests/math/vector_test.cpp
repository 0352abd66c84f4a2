#include "math/vector.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <type_traits>

#include "tests/support/capture_stdout.h"

namespace QVX::Math {
namespace {

// The captured log without timestamps, source line numbers replaced by "<n>".
std::string log_of(Test::CaptureStdout& capture) {
  static const std::regex line_number(R"((ERROR: math/vector): \d+)");
  return std::regex_replace(Test::strip_timestamps(capture.text()), line_number, "$1: <n>");
}

template <typename V>
class Vector_uN : public testing::Test {};
using VectorTypes = testing::Types<Vector_u8, Vector_u16, Vector_u32>;
TYPED_TEST_SUITE(Vector_uN, VectorTypes);

TYPED_TEST(Vector_uN, ResizeAllocatesWritableStorageAndZeroFreesIt) {
  TypeParam v;
  ASSERT_TRUE(v.resize(5));
  ASSERT_NE(v.data, nullptr);
  EXPECT_EQ(v.length, 5u);
  v.data[4] = 7;  // the whole block is writable (checked by the sanitizer build)
  EXPECT_TRUE(v.resize(0));
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.length, 0u);
}

TYPED_TEST(Vector_uN, FailedAllocationLogsByteCountAndLeavesVectorEmpty) {
  using Element = std::remove_pointer_t<decltype(TypeParam::data)>;
  // 2^63 bytes: representable, but more than one block may hold.
  const uint64_t too_long = (uint64_t{1} << 63) / sizeof(Element);
  TypeParam v;
  ASSERT_TRUE(v.resize(4));
  Test::CaptureStdout capture;

  EXPECT_FALSE(v.resize(too_long));
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.length, 0u);
  // For 16 and 32 bits the byte count exceeds 64 bits and is reported as the largest value.
  EXPECT_FALSE(v.resize(UINT64_MAX));
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.length, 0u);
  EXPECT_EQ(log_of(capture), "ERROR: math/vector: <n>: FAILED to allocate vector of length " +
                                 std::to_string(too_long) + " (9223372036854775808 bytes)\n" +
                                 "ERROR: math/vector: <n>: FAILED to allocate vector of length "
                                 "18446744073709551615 (18446744073709551615 bytes)\n");
}

TEST(Vec3_u32, ResizeAcceptsOnlyLengthThree) {
  Vec3_u32 v(1, 2, 3);
  Test::CaptureStdout capture;
  EXPECT_TRUE(v.resize(3));
  EXPECT_EQ(log_of(capture), "");
  EXPECT_FALSE(v.resize(4));
  EXPECT_EQ(log_of(capture),
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 4 (from 3)\n");
  EXPECT_EQ(v.data, v.storage);
  EXPECT_EQ(v.length, 3u);
  EXPECT_EQ(*v.z, 3u);
}

// Vec3_u32 and Vec3_d have the same shape; both must copy values, never storage.
template <typename V>
void ExpectCopiesOwnTheirStorage() {
  const V zero;
  EXPECT_EQ(*zero.x, 0);
  EXPECT_EQ(*zero.y, 0);
  EXPECT_EQ(*zero.z, 0);

  V original(1, 2, 3);
  V copy(original);
  V assigned;
  assigned = original;
  for (V* v : {&copy, &assigned}) {
    EXPECT_EQ(v->data, v->storage);
    EXPECT_EQ(v->x, &v->storage[0]);
    EXPECT_EQ(v->z, &v->storage[2]);
    EXPECT_TRUE(v->wrapped);
    EXPECT_EQ(v->length, 3u);
    EXPECT_EQ(*v->y, 2);
    *v->y = 9;
  }
  EXPECT_EQ(*original.y, 2);
}

TEST(Vec3_u32, DefaultIsZeroAndCopiesOwnTheirStorage) { ExpectCopiesOwnTheirStorage<Vec3_u32>(); }
TEST(Vec3_d, DefaultIsZeroAndCopiesOwnTheirStorage) { ExpectCopiesOwnTheirStorage<Vec3_d>(); }

TEST(Vector_u8, SetCopiesContentsAndLength) {
  uint8_t source_memory[3] = {4, 5, 6};
  const Vector_u8 source(source_memory, 3);
  Vector_u8 target;
  ASSERT_TRUE(target.resize(8));

  EXPECT_TRUE(target.set(source));
  ASSERT_EQ(target.length, 3u);
  EXPECT_FALSE(target.wrapped);
  EXPECT_NE(target.data, source_memory);
  EXPECT_EQ(target.data[0], 4);
  EXPECT_EQ(target.data[2], 6);
}

TEST(Vector_u8, SetFromEmptyVectorFreesTarget) {
  Vector_u8 target;
  ASSERT_TRUE(target.resize(8));
  EXPECT_TRUE(target.set(Vector_u8()));
  EXPECT_EQ(target.data, nullptr);
  EXPECT_EQ(target.length, 0u);
}

TEST(Vector_u8, SetIntoWrappedTargetNeedsSameLength) {
  uint8_t target_memory[2] = {0, 0};
  Vector_u8 target(target_memory, 2);
  Vector_u8 source;
  ASSERT_TRUE(source.resize(2));
  source.data[0] = 7;
  source.data[1] = 8;

  EXPECT_TRUE(target.set(source));
  EXPECT_EQ(target_memory[1], 8);

  ASSERT_TRUE(source.resize(3));
  source.data[0] = 1;
  Test::CaptureStdout capture;
  EXPECT_FALSE(target.set(source));
  EXPECT_EQ(log_of(capture),
            "ERROR: math/vector: <n>: FAILED resizing WRAPPED vector to length 3 (from 2)\n"
            "ERROR: math/vector: <n>: FAILED to set vector of length 3\n");
  EXPECT_EQ(target_memory[0], 7);
  EXPECT_EQ(target.length, 2u);
}

}  // namespace
}  // namespace QVX::Math
