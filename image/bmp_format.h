// BMP: float images saved as 8-bit gray pictures in 32-bit BMP files ("gray_bmp8"),
// plain or gzip-compressed by name; 1/4/8/16/24/32-bit files (uncompressed, RLE8, RLE4,
// bit fields; plain or gzipped) read into floats in 0..1.
#pragma once

#include "image/format.h"

namespace QVX::Image::Format {

class BMP final : public Format {
 public:
  bool matches_signature(const uint8_t* bytes, size_t size) const override;
  bool save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
              float cmin, float cmax) override;
  bool load_description(Image_desc& desc, int fd) override;
  bool load_f(Image_f& image, int fd) override;
};

}  // namespace QVX::Image::Format
