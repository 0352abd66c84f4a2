// One-dimensional arrays of unsigned 8-, 16- and 32-bit values, and three-component
// vectors. Like Matrix_f, a vector either owns its storage (one malloc block, no element
// constructors) or wraps memory that belongs to the caller (`wrapped` true), which must
// outlive it and is never freed or reallocated here. Failures are written to the log and
// answered by the result; nothing throws. One thread at a time.
//
// Vector_u8/u16/u32 are not copyable (a copy of an owning vector would share, and later
// double-free, its storage); Vector_u8::set copies contents. Vec3_u32 and Vec3_d copy by
// value: each object always points at the three values inside itself.
#pragma once

#include <cstdint>

namespace QVX::Math {

// resize(new_length), the same for all three vector types: true when the vector has that
// length afterwards. The same length is kept as it is (also when wrapped). Any other length
// on a wrapped vector is a logged failure that changes nothing. Otherwise the old storage is
// freed and new, uninitialised storage is allocated: contents are never kept. Length 0
// leaves no storage. A failed allocation (including a byte count too large for one block)
// is logged and leaves the vector empty.

class Vector_u8 {
 public:
  // Empty: no storage, length 0, not wrapped.
  Vector_u8() = default;
  // Wraps `count` values at `memory`, which the caller keeps alive.
  Vector_u8(uint8_t* memory, uint64_t count);
  Vector_u8(const Vector_u8&) = delete;
  Vector_u8& operator=(const Vector_u8&) = delete;
  // Frees owned storage; wrapped memory is left untouched.
  virtual ~Vector_u8();

  bool resize(uint64_t new_length);

  // Makes this vector's contents equal to `other`'s: resizes to other.length (so a wrapped
  // target succeeds only with the same length) and copies the values. When the resize fails
  // this is logged, nothing is copied and the result is false. `other` must not wrap part of
  // this vector's storage.
  bool set(const Vector_u8& other);

  uint8_t* data = nullptr;  // null when empty
  uint64_t length = 0;      // number of elements
  bool wrapped = false;     // true: data belongs to someone else
};

class Vector_u16 {
 public:
  Vector_u16() = default;
  Vector_u16(uint16_t* memory, uint64_t count);
  Vector_u16(const Vector_u16&) = delete;
  Vector_u16& operator=(const Vector_u16&) = delete;
  virtual ~Vector_u16();

  bool resize(uint64_t new_length);

  uint16_t* data = nullptr;
  uint64_t length = 0;
  bool wrapped = false;
};

class Vector_u32 {
 public:
  Vector_u32() = default;
  Vector_u32(uint32_t* memory, uint64_t count);
  Vector_u32(const Vector_u32&) = delete;
  Vector_u32& operator=(const Vector_u32&) = delete;
  virtual ~Vector_u32();

  bool resize(uint64_t new_length);

  uint32_t* data = nullptr;
  uint64_t length = 0;
  bool wrapped = false;
};

// Three unsigned 32-bit components in the object itself: data points at `storage`, length
// is 3 and the vector is wrapped, so resize(3) succeeds and any other length fails. Read and
// write the components through x, y and z. Default (0, 0, 0).
class Vec3_u32 : public Vector_u32 {
 public:
  Vec3_u32() : Vec3_u32(0, 0, 0) {}
  Vec3_u32(uint32_t x_value, uint32_t y_value, uint32_t z_value);
  // Copies the values; the new object points at its own storage.
  Vec3_u32(const Vec3_u32& other);
  Vec3_u32& operator=(const Vec3_u32& other);

  uint32_t storage[3];
  uint32_t* x;
  uint32_t* y;
  uint32_t* z;
};

// Three doubles, with the same shape as Vec3_u32 but no virtual functions and no resize:
// data points at `storage`, length is always 3, wrapped always true. Default (0, 0, 0).
class Vec3_d {
 public:
  Vec3_d() : Vec3_d(0.0, 0.0, 0.0) {}
  Vec3_d(double x_value, double y_value, double z_value);
  // Copies the values; the new object points at its own storage.
  Vec3_d(const Vec3_d& other);
  Vec3_d& operator=(const Vec3_d& other);

  double* data;
  uint64_t length = 3;
  bool wrapped = true;
  double storage[3];
  double* x;
  double* y;
  double* z;
};

}  // namespace QVX::Math
