// Saving a caller's float image as a 32-bit gray TIFF, straight from the caller's buffer.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "api/c_boundary.h"
#include "base/log.h"
#include "base/utf.h"
#include "image/image.h"
#include "qvx_ozk.h"

namespace {

constexpr const wchar_t* kFormatName = L"gray_tif32";

bool save_gray_tif32(const wchar_t* path, const float* data, uint32_t height, uint32_t width) {
  if (uint64_t{height} * width == 0) {
    QVX::Base::log_wprintf(L"FAILED to save image '%ls' with format '%ls': Image is empty\n", path,
                           kFormatName);
    return false;
  }
  // The image wraps the caller's pixels; saving only reads them.
  const QVX::Image::Image_f image(const_cast<float*>(data), height, width);
  bool saved = false;
  try {
    saved = QVX::Image::save_image(image, path, kFormatName);
  } catch (const std::range_error&) {
    // A wide path that names no file (an unpaired surrogate) is a failed save like any other.
  }
  if (!saved) {
    QVX::Base::log_wprintf(L"FAILED to save image '%ls' with format '%ls'\n", path, kFormatName);
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

bool qvx_ozk_save_gray_tif32(const char* path, const float* data, uint32_t height, uint32_t width) {
  return QVX::ozK::guarded("qvx_ozk_save_gray_tif32", false, [&] {
    const std::wstring wide = QVX::Base::utf8_to_wide(path);
    return save_gray_tif32(wide.c_str(), data, height, width);
  });
}

bool qvx_ozk_save_gray_tif32_w(const wchar_t* path, const float* data, uint32_t height,
                               uint32_t width) {
  return QVX::ozK::guarded("qvx_ozk_save_gray_tif32_w", false,
                           [&] { return save_gray_tif32(path, data, height, width); });
}

}  // extern "C"
