// PNG: float images saved as 8-bit gray PNG files ("gray_png8"); gray, RGB and palette
// files (with alpha and background, 8 or 16 bits) read into floats in 0..1.
#pragma once

#include "image/format.h"

namespace QVX::Image::Format {

class PNG final : public Format {
 public:
  bool matches_signature(const uint8_t* bytes, size_t size) const override;
  bool save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
              float cmin, float cmax) override;
  bool load_description(Image_desc& desc, int fd) override;
  bool load_f(Image_f& image, int fd) override;
};

}  // namespace QVX::Image::Format
