#include "math/matrix.h"

#include <cstddef>
#include <cstdlib>
#include <limits>

#include "base/report.h"

namespace QVX::Math {

namespace {

constexpr const char* kSource = "math/matrix";

// No object may be larger than PTRDIFF_MAX bytes: glibc's malloc refuses such sizes, and the
// sanitizer allocators abort on them instead of returning null, so they are refused before
// malloc is asked.
constexpr uint64_t kMaxBytes = static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

}  // namespace

Matrix_f::Matrix_f(float* memory, uint32_t row_count, uint32_t col_count)
    : data(memory), rows(row_count), cols(col_count), wrapped(true) {}

Matrix_f::~Matrix_f() {
  if (!wrapped) std::free(data);
  data = nullptr;
  rows = 0;
  cols = 0;
  wrapped = false;
}

bool Matrix_f::resize(uint32_t new_rows, uint32_t new_cols) {
  if (new_rows == rows && new_cols == cols) return true;
  if (wrapped) {
    QVX_REPORT_ERROR("FAILED resizing WRAPPED matrix to size %ux%u (from %u,%u)", new_rows,
                     new_cols, rows, cols);
    return false;
  }
  if (data != nullptr) {
    std::free(data);
    data = nullptr;
    rows = 0;
    cols = 0;
  }
  if (new_rows == 0 || new_cols == 0) {
    rows = new_rows;
    cols = new_cols;
    return true;
  }
  // The element count always fits in 64 bits; the byte count may not, and is then reported
  // as the largest 64-bit value rather than wrapped around.
  const uint64_t count = static_cast<uint64_t>(new_rows) * new_cols;
  const uint64_t bytes = count > std::numeric_limits<uint64_t>::max() / sizeof(float)
                             ? std::numeric_limits<uint64_t>::max()
                             : count * sizeof(float);
  float* block = bytes <= kMaxBytes ? static_cast<float*>(std::malloc(bytes)) : nullptr;
  if (block == nullptr) {
    QVX_REPORT_ERROR("FAILED to allocate matrix of size %ux%u (%llu bytes)", new_rows, new_cols,
                     static_cast<unsigned long long>(bytes));
    return false;
  }
  data = block;
  rows = new_rows;
  cols = new_cols;
  return true;
}

void Matrix_f::reshape(uint32_t new_rows, uint32_t new_cols) {
  // Taking the new dimensions would let the matrix describe elements its storage lacks (or,
  // for fewer elements, hide a caller's mistake); the old ones stay valid.
  if (static_cast<uint64_t>(new_rows) * new_cols != static_cast<uint64_t>(rows) * cols) {
    QVX_REPORT_BUG();
    return;
  }
  rows = new_rows;
  cols = new_cols;
}

}  // namespace QVX::Math
