// Images with their description: `info` bytes that the formats store beside the pixels,
// the file name used in messages, the format name and the bytes per sample. Sizes are
// always given as (rows, columns), that is (height, width).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "math/matrix.h"
#include "math/vector.h"

namespace QVX::Image {

class Image {
 public:
  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  virtual ~Image() = default;

  virtual uint32_t width() const = 0;
  virtual uint32_t height() const = 0;
  // Columns times rows as a 32-bit product.
  virtual uint32_t num_pixels() const { return width() * height(); }
  virtual bool resize(uint32_t rows, uint32_t cols) = 0;
  virtual void reshape(uint32_t rows, uint32_t cols) = 0;

  // Copies info, file name, format name and bytes per sample from `other`.
  bool assign_description(const Image& other);

  Math::Vector_u8 info;
  std::wstring file_name = L"unknown file name";
  std::wstring format_name = L"gray_tif32";
  uint32_t bytes_per_sample = 4;
};

// A description without pixels.
class Image_desc final : public Image {
 public:
  Image_desc() = default;
  Image_desc(uint32_t rows, uint32_t cols, const std::wstring& file, const std::wstring& format,
             uint32_t bytes);

  uint32_t width() const override { return cols_; }
  uint32_t height() const override { return rows_; }
  bool resize(uint32_t rows, uint32_t cols) override;
  // Logs a bug report when the pixel count changes, and takes the new size all the same.
  void reshape(uint32_t rows, uint32_t cols) override;

 private:
  uint32_t rows_ = 0;
  uint32_t cols_ = 0;
};

// A float image; its pixels are the matrix, owned or wrapping a caller's buffer.
class Image_f final : public Image, public Math::Matrix_f {
 public:
  Image_f() = default;
  // Wraps `rows` x `cols` floats at `pixels` without copying; the buffer stays the caller's.
  Image_f(float* pixels, uint32_t row_count, uint32_t col_count)
      : Matrix_f(pixels, row_count, col_count) {}

  uint32_t width() const override { return cols; }
  uint32_t height() const override { return rows; }
  bool resize(uint32_t new_rows, uint32_t new_cols) override {
    return Matrix_f::resize(new_rows, new_cols);
  }
  void reshape(uint32_t new_rows, uint32_t new_cols) override {
    Matrix_f::reshape(new_rows, new_cols);
  }
  const float* row(uint32_t r) const { return data + uint64_t{r} * cols; }
  float* row(uint32_t r) { return data + uint64_t{r} * cols; }
};

// 8- and 16-bit images, used only as arguments of the integer saves.
template <typename Sample>
class Image_int final : public Image {
 public:
  Image_int() = default;
  // Wraps `rows` x `cols` samples at `pixels`.
  Image_int(const Sample* pixels, uint32_t rows, uint32_t cols)
      : wrapped_(pixels), rows_(rows), cols_(cols) {}

  uint32_t width() const override { return cols_; }
  uint32_t height() const override { return rows_; }
  bool resize(uint32_t rows, uint32_t cols) override {
    if (wrapped_ != nullptr) return rows == rows_ && cols == cols_;
    owned_.assign(uint64_t{rows} * cols, Sample{});
    rows_ = rows;
    cols_ = cols;
    return true;
  }
  void reshape(uint32_t rows, uint32_t cols) override {
    if (uint64_t{rows} * cols != uint64_t{rows_} * cols_) return;
    rows_ = rows;
    cols_ = cols;
  }
  const Sample* row(uint32_t r) const {
    return (wrapped_ != nullptr ? wrapped_ : owned_.data()) + uint64_t{r} * cols_;
  }
  Sample* mutable_row(uint32_t r) { return owned_.data() + uint64_t{r} * cols_; }

 private:
  const Sample* wrapped_ = nullptr;
  std::vector<Sample> owned_;
  uint32_t rows_ = 0;
  uint32_t cols_ = 0;
};

using Image_u8 = Image_int<uint8_t>;
using Image_u16 = Image_int<uint16_t>;

// Saves `image` to `path` in the format named `format` ("gray_tif32", "gray_tif16",
// "gray_tif8", "gray_bmp8", "gray_png8"). `cmin` < `cmax` maps that value range onto the
// stored one (0..1 for "gray_tif32", the full integer range otherwise; values outside it
// clip); without it "gray_tif32" keeps the values and the others take the image's own
// range. False, without a message of its own, for an unknown name or a failed save (the
// format logs why).
bool save_image(const Image_f& image, const std::wstring& path, const std::wstring& format,
                float cmin = 1.0f, float cmax = -1.0f);

}  // namespace QVX::Image
