// Two-dimensional array of 32-bit floats, stored row by row: element (r, c) is
// data[r * cols + c]. A matrix either owns its storage (one malloc block, no element
// constructors) or wraps memory that belongs to the caller (`wrapped` true); wrapped memory
// must outlive the matrix and is never freed or reallocated here. Failures are written to
// the log and answered by the result; nothing throws. One thread at a time.
//
// Not copyable: a copy of an owning matrix would share, and later double-free, its
// storage. Copy the elements through resize and data instead.
#pragma once

#include <cstdint>

namespace QVX::Math {

class Matrix_f {
 public:
  // Empty: no storage, 0 x 0, not wrapped.
  Matrix_f() = default;
  // Wraps `row_count` x `col_count` floats at `memory`, which the caller keeps alive.
  Matrix_f(float* memory, uint32_t row_count, uint32_t col_count);
  Matrix_f(const Matrix_f&) = delete;
  Matrix_f& operator=(const Matrix_f&) = delete;
  // Frees owned storage; wrapped memory is left untouched.
  virtual ~Matrix_f();

  // Makes the matrix new_rows x new_cols; true when it has that size afterwards. The same
  // size is kept as it is (also when wrapped). Any other size on a wrapped matrix is a logged
  // failure that changes nothing. Otherwise the old storage is freed and new, uninitialised
  // storage is allocated: contents are never kept. A size with a 0 leaves no storage but
  // keeps both numbers (0 x 7 is valid). A failed allocation is logged and leaves no storage.
  virtual bool resize(uint32_t new_rows, uint32_t new_cols);

  // Gives the same storage and contents new dimensions (wrapped matrices too). The element
  // count must stay the same; if it differs, a bug report is logged and the old dimensions
  // are kept.
  virtual void reshape(uint32_t new_rows, uint32_t new_cols);

  // Element (r, c), unchecked.
  float& operator()(uint32_t r, uint32_t c) { return data[static_cast<uint64_t>(r) * cols + c]; }
  const float& operator()(uint32_t r, uint32_t c) const {
    return data[static_cast<uint64_t>(r) * cols + c];
  }

  float* data = nullptr;  // null when the matrix has no storage
  uint32_t rows = 0;      // for images: the height
  uint32_t cols = 0;      // length of a row; for images: the width
  bool wrapped = false;   // true: data belongs to someone else
};

}  // namespace QVX::Math
