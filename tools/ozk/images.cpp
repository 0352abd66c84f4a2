// Slice images: the format by name or extension, and saving without leaving a partial file.
#include <algorithm>
#include <cctype>
#include <cmath>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The library saves beside the target and renames, so a failure leaves neither a partial
// file nor a changed old one; a device or a pipe is written in place.
bool write_image(const std::string& path, ImageFormat format, const float* data, uint32_t height,
                 uint32_t width, double low, double high) {
  if (format == ImageFormat::Tif || format == ImageFormat::TifGz) {
    return qvx_ozk_save_gray_tif32(path.c_str(), data, height, width);
  }
  // The formats take their own range when given none, which is what low >= high asks for.
  float cmin = 1.0f, cmax = -1.0f;
  if (std::isfinite(low) && std::isfinite(high) && low < high) {
    cmin = static_cast<float>(low);
    cmax = static_cast<float>(high);
  }
  return qvx_ozk_image_save_gray8(
      path.c_str(), format == ImageFormat::Png ? QVX_OZK_IMAGE_PNG : QVX_OZK_IMAGE_BMP, data,
      height, width, cmin, cmax);
}

}  // namespace

std::optional<ImageFormat> image_format_named(const std::string& name) {
  const std::string n = lower(name);
  if (n == "tif" || n == "tiff") return ImageFormat::Tif;
  if (n == "tif.gz" || n == "tiff.gz") return ImageFormat::TifGz;
  if (n == "png") return ImageFormat::Png;
  if (n == "bmp") return ImageFormat::Bmp;
  return std::nullopt;
}

std::optional<ImageFormat> image_format_of_path(const std::string& path) {
  const std::string p = lower(path);
  if (ends_with(p, ".tif.gz") || ends_with(p, ".tiff.gz")) return ImageFormat::TifGz;
  if (ends_with(p, ".tif") || ends_with(p, ".tiff")) return ImageFormat::Tif;
  if (ends_with(p, ".png")) return ImageFormat::Png;
  if (ends_with(p, ".bmp")) return ImageFormat::Bmp;
  return std::nullopt;
}

const char* image_extension(ImageFormat format) {
  switch (format) {
    case ImageFormat::Tif:
      return ".tif";
    case ImageFormat::TifGz:
      return ".tif.gz";
    case ImageFormat::Png:
      return ".png";
    case ImageFormat::Bmp:
      return ".bmp";
  }
  return "";
}

bool image_format_is_windowed(ImageFormat format) {
  return format == ImageFormat::Png || format == ImageFormat::Bmp;
}

bool save_slice_image(const std::string& path, ImageFormat format, const float* data,
                      uint32_t height, uint32_t width, double low, double high,
                      std::string* error) {
  if (write_image(path, format, data, height, width, low, high)) return true;
  if (error != nullptr) *error = describe_failure("cannot write", path, library_cause());
  return false;
}

bool save_slice_image(const std::string& path, const float* data, uint32_t height, uint32_t width,
                      double low, double high, std::string* error) {
  const std::optional<ImageFormat> format = image_format_of_path(path);
  if (!format) {
    if (error != nullptr) {
      *error = describe_failure("cannot write", path,
                                "unknown image format (use .tif, .tif.gz, .png or .bmp)");
    }
    return false;
  }
  return save_slice_image(path, *format, data, height, width, low, high, error);
}

}  // namespace QVX::Ozk
