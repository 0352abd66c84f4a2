// Saving a caller's float image as a 32-bit gray TIFF. The image layer that writes TIFF
// files is not part of this version, so the save reports failure instead of pretending.
#include <cstdint>
#include <string>

#include "api/c_boundary.h"
#include "base/log.h"
#include "base/utf.h"
#include "include/qvx_ozk.h"

namespace {

constexpr const wchar_t* kFormatName = L"gray_tif32";

bool save_gray_tif32(const wchar_t* path, uint32_t height, uint32_t width) {
  if (uint64_t{height} * width == 0) {
    QVX::Base::log_wprintf(L"FAILED to save image '%ls' with format '%ls': Image is empty\n", path,
                           kFormatName);
    return false;
  }
  QVX::Base::log_wprintf(
      L"FAILED to save image '%ls' with format '%ls': TIFF writing is not available in this "
      L"version\n",
      path, kFormatName);
  return false;
}

}  // namespace

extern "C" {

bool qvx_ozk_save_gray_tif32(const char* path, const float* /*data*/, uint32_t height,
                             uint32_t width) {
  return QVX::ozK::guarded("qvx_ozk_save_gray_tif32", false, [&] {
    const std::wstring wide = QVX::Base::utf8_to_wide(path);
    return save_gray_tif32(wide.c_str(), height, width);
  });
}

bool qvx_ozk_save_gray_tif32_w(const wchar_t* path, const float* /*data*/, uint32_t height,
                               uint32_t width) {
  return QVX::ozK::guarded("qvx_ozk_save_gray_tif32_w", false,
                           [&] { return save_gray_tif32(path, height, width); });
}

}  // extern "C"
