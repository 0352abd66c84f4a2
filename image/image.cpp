#include "image/image.h"

#include <array>

#include "base/log.h"
#include "image/bmp_format.h"
#include "image/png_format.h"
#include "image/tiff_format.h"

namespace QVX::Image {
namespace {

constexpr const char* kSource = "image";

}  // namespace

bool Image::assign_description(const Image& other) {
  if (this == &other) return true;
  const bool copied = info.set(other.info);
  file_name = other.file_name;
  format_name = other.format_name;
  bytes_per_sample = other.bytes_per_sample;
  return copied;
}

Image_desc::Image_desc(uint32_t rows, uint32_t cols, const std::wstring& file,
                       const std::wstring& format, uint32_t bytes)
    : rows_(rows), cols_(cols) {
  file_name = file;
  format_name = format;
  bytes_per_sample = bytes;
}

bool Image_desc::resize(uint32_t rows, uint32_t cols) {
  rows_ = rows;
  cols_ = cols;
  return true;
}

void Image_desc::reshape(uint32_t rows, uint32_t cols) {
  if (num_pixels() != rows * cols) Base::log_printf("%s: %s: %d\n", "BUG", kSource, __LINE__);
  rows_ = rows;
  cols_ = cols;
}

bool save_image(const Image_f& image, const std::wstring& path, const std::wstring& format,
                float cmin, float cmax) {
  // The formats, tried in this order; each refuses names not its own at once. They hold
  // no state, so the table is made here rather than as objects built at load time.
  Format::TIFF tiff;
  Format::BMP bmp;
  Format::PNG png;
  const std::array<Format::Format*, 3> formats = {&tiff, &bmp, &png};
  for (Format::Format* f : formats) {
    if (f->save_f(image, path, format, cmin, cmax)) return true;
  }
  return false;
}

}  // namespace QVX::Image
