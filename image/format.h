// A file format of the image layer. Every operation answers false unless the format
// implements it; a save returns false at once, with no message, for a format name that is
// not its own. `cmin` < `cmax` gives the value range mapped onto the stored range; otherwise
// no range is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/image.h"

namespace QVX::Image::Format {

class Format {
 public:
  Format() = default;
  Format(const Format&) = delete;
  Format& operator=(const Format&) = delete;
  virtual ~Format() = default;

  // True when the first bytes of a file are this format's signature.
  virtual bool matches_signature(const uint8_t* bytes, size_t size) const = 0;

  virtual bool save_u8(const Image_u8&, const std::wstring& /*path*/,
                       const std::wstring& /*format*/, uint8_t /*cmin*/, uint8_t /*cmax*/) {
    return false;
  }
  virtual bool save_u16(const Image_u16&, const std::wstring& /*path*/,
                        const std::wstring& /*format*/, uint16_t /*cmin*/, uint16_t /*cmax*/) {
    return false;
  }
  virtual bool save_f(const Image_f&, const std::wstring& /*path*/, const std::wstring& /*format*/,
                      float /*cmin*/, float /*cmax*/) {
    return false;
  }
  // Rewrites the description of the file named by `image.file_name`, open as `fd`. May
  // consume the descriptor (closing it and setting it to -1).
  virtual bool update_description(const Image& /*image*/, int& /*fd*/) { return false; }
  // Reads size, format and info of the file open as `fd`; never closes `fd`.
  virtual bool load_description(Image_desc& /*desc*/, int /*fd*/) { return false; }
  // Reads the file open as `fd` into `image`; never closes `fd`.
  virtual bool load_f(Image_f& /*image*/, int /*fd*/) { return false; }
};

}  // namespace QVX::Image::Format
