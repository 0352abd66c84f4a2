#include "math/vector.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/report.h"

namespace QVX::Math {

namespace {

constexpr const char* kSource = "math/vector";

// No object may be larger than PTRDIFF_MAX bytes: glibc's malloc refuses such sizes, and the
// sanitizer allocators abort on them instead of returning null, so they are refused before
// malloc is asked.
constexpr uint64_t kMaxBytes = static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

// The three vector types are separate classes without a common base, so they share their
// code through these templates.
template <typename T>
bool resize_vector(T*& data, uint64_t& length, bool wrapped, uint64_t new_length) {
  if (new_length == length) return true;
  if (wrapped) {
    QVX_REPORT_ERROR("FAILED resizing WRAPPED vector to length %llu (from %llu)",
                     static_cast<unsigned long long>(new_length),
                     static_cast<unsigned long long>(length));
    return false;
  }
  std::free(data);
  data = nullptr;
  length = 0;
  if (new_length == 0) return true;
  // A byte count beyond 64 bits is reported as the largest 64-bit value rather than wrapped
  // around.
  const uint64_t bytes = new_length > std::numeric_limits<uint64_t>::max() / sizeof(T)
                             ? std::numeric_limits<uint64_t>::max()
                             : new_length * sizeof(T);
  T* block = bytes <= kMaxBytes ? static_cast<T*>(std::malloc(bytes)) : nullptr;
  if (block == nullptr) {
    QVX_REPORT_ERROR("FAILED to allocate vector of length %llu (%llu bytes)",
                     static_cast<unsigned long long>(new_length),
                     static_cast<unsigned long long>(bytes));
    return false;
  }
  data = block;
  length = new_length;
  return true;
}

template <typename T>
void destroy_vector(T*& data, uint64_t& length, bool& wrapped) {
  if (!wrapped) std::free(data);
  data = nullptr;
  length = 0;
  wrapped = false;
}

}  // namespace

Vector_u8::Vector_u8(uint8_t* memory, uint64_t count)
    : data(memory), length(count), wrapped(true) {}
Vector_u8::~Vector_u8() { destroy_vector(data, length, wrapped); }
bool Vector_u8::resize(uint64_t new_length) {
  return resize_vector(data, length, wrapped, new_length);
}

bool Vector_u8::set(const Vector_u8& other) {
  if (!resize(other.length)) {
    QVX_REPORT_ERROR("FAILED to set vector of length %llu",
                     static_cast<unsigned long long>(other.length));
    return false;
  }
  // memmove: `other` may be this vector itself. Empty vectors may hold null pointers, which
  // the C library must not be given.
  if (length > 0) std::memmove(data, other.data, length);
  return true;
}

Vector_u16::Vector_u16(uint16_t* memory, uint64_t count)
    : data(memory), length(count), wrapped(true) {}
Vector_u16::~Vector_u16() { destroy_vector(data, length, wrapped); }
bool Vector_u16::resize(uint64_t new_length) {
  return resize_vector(data, length, wrapped, new_length);
}

Vector_u32::Vector_u32(uint32_t* memory, uint64_t count)
    : data(memory), length(count), wrapped(true) {}
Vector_u32::~Vector_u32() { destroy_vector(data, length, wrapped); }
bool Vector_u32::resize(uint64_t new_length) {
  return resize_vector(data, length, wrapped, new_length);
}

Vec3_u32::Vec3_u32(uint32_t x_value, uint32_t y_value, uint32_t z_value)
    : Vector_u32(storage, 3),
      storage{x_value, y_value, z_value},
      x(&storage[0]),
      y(&storage[1]),
      z(&storage[2]) {}

Vec3_u32::Vec3_u32(const Vec3_u32& other) : Vec3_u32(*other.x, *other.y, *other.z) {}

Vec3_u32& Vec3_u32::operator=(const Vec3_u32& other) {
  if (this == &other) return *this;
  *x = *other.x;
  *y = *other.y;
  *z = *other.z;
  return *this;
}

Vec3_d::Vec3_d(double x_value, double y_value, double z_value)
    : data(storage),
      storage{x_value, y_value, z_value},
      x(&storage[0]),
      y(&storage[1]),
      z(&storage[2]) {}

Vec3_d::Vec3_d(const Vec3_d& other) : Vec3_d(*other.x, *other.y, *other.z) {}

Vec3_d& Vec3_d::operator=(const Vec3_d& other) {
  if (this == &other) return *this;
  *x = *other.x;
  *y = *other.y;
  *z = *other.z;
  return *this;
}

}  // namespace QVX::Math
