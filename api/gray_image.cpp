// Gray images for programs that build volumes from image stacks or show slices as 8-bit
// pictures: the image layer's TIFF, PNG and BMP loaders and its 8-bit saves.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "api/c_boundary.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"
#include "image/bmp_format.h"
#include "image/image.h"
#include "image/png_format.h"
#include "image/tiff_format.h"
#include "qvx_ozk.h"

namespace {

namespace Platform = QVX::Base::Platform;
namespace Format = QVX::Image::Format;

// An image file open for reading, with the loader its first bytes (decompressed where it
// is gzipped) call for.
class ImageFile {
 public:
  ~ImageFile() {
    if (fd_ >= 0) Platform::close_file(fd_);
  }
  // False, with a "FAILED" entry, for a file that cannot be opened or is of none of the
  // formats.
  bool open(const std::wstring& path) {
    fd_ = Platform::open_read_only(path);
    if (fd_ < 0) {
      const int code = Platform::last_error();
      QVX::Base::log_printf("FAILED to open image '%s': %s\n",
                            QVX::Base::wide_to_utf8_lossy(path).c_str(),
                            Platform::error_text(code).c_str());
      return false;
    }
    uint8_t head[8] = {};
    int got = 0;
    if (gzFile stream = Platform::gz_open(path, "rb"); stream != nullptr) {
      got = gzread(stream, head, sizeof head);
      gzclose(stream);
    }
    Format::Format* formats[] = {&tiff_, &png_, &bmp_};
    const uint32_t types[] = {QVX_OZK_IMAGE_TIFF, QVX_OZK_IMAGE_PNG, QVX_OZK_IMAGE_BMP};
    for (int i = 0; i < 3; ++i) {
      if (got > 0 && formats[i]->matches_signature(head, static_cast<size_t>(got))) {
        format_ = formats[i];
        type_ = types[i];
        return true;
      }
    }
    QVX::Base::log_printf("FAILED to load image '%s': not a TIFF, PNG or BMP image\n",
                          QVX::Base::wide_to_utf8_lossy(path).c_str());
    return false;
  }
  // The loaders log why they fail.
  bool describe(QVX::Image::Image_desc& desc) { return format_->load_description(desc, fd_); }
  bool load(QVX::Image::Image_f& image) {
    return Platform::seek_descriptor(fd_, 0, SEEK_SET) == 0 && format_->load_f(image, fd_);
  }
  uint32_t type() const { return type_; }

 private:
  Format::TIFF tiff_;
  Format::PNG png_;
  Format::BMP bmp_;
  Format::Format* format_ = nullptr;
  uint32_t type_ = 0;
  int fd_ = -1;
};

}  // namespace

extern "C" {

bool qvx_ozk_image_describe(const char* path, uint32_t* type, uint32_t* height, uint32_t* width,
                            uint32_t* bits_per_sample) {
  return QVX::ozK::guarded("qvx_ozk_image_describe", false, [&] {
    ImageFile file;
    QVX::Image::Image_desc desc;
    desc.file_name = QVX::Base::utf8_to_wide(path);
    if (!file.open(desc.file_name) || !file.describe(desc)) return false;
    *type = file.type();
    *height = desc.height();
    *width = desc.width();
    *bits_per_sample = desc.bytes_per_sample * 8;
    return true;
  });
}

bool qvx_ozk_image_load_gray(const char* path, float* out, uint32_t height, uint32_t width) {
  return QVX::ozK::guarded("qvx_ozk_image_load_gray", false, [&] {
    ImageFile file;
    QVX::Image::Image_f image;
    image.file_name = QVX::Base::utf8_to_wide(path);
    if (!file.open(image.file_name) || !file.load(image)) return false;
    if (image.height() != height || image.width() != width) {
      QVX::Base::log_printf("FAILED to load image '%s': it holds %u x %u pixels, not %u x %u\n",
                            path, image.width(), image.height(), width, height);
      return false;
    }
    for (uint32_t r = 0; r < height; ++r) {
      std::memcpy(out + uint64_t{r} * width, image.row(r), uint64_t{width} * sizeof(float));
    }
    return true;
  });
}

bool qvx_ozk_image_save_gray8(const char* path, uint32_t type, const float* data, uint32_t height,
                              uint32_t width, float low, float high) {
  return QVX::ozK::guarded("qvx_ozk_image_save_gray8", false, [&] {
    if (type != QVX_OZK_IMAGE_PNG && type != QVX_OZK_IMAGE_BMP) {
      QVX::Base::log_printf("FAILED to save image '%s': type %u is not PNG or BMP\n", path, type);
      return false;
    }
    if (uint64_t{height} * width == 0) {
      QVX::Base::log_printf("FAILED to save image '%s': Image is empty\n", path);
      return false;
    }
    // The image wraps the caller's pixels; saving only reads them.
    const QVX::Image::Image_f image(const_cast<float*>(data), height, width);
    const bool saved =
        QVX::Image::save_image(image, QVX::Base::utf8_to_wide(path),
                               type == QVX_OZK_IMAGE_PNG ? L"gray_png8" : L"gray_bmp8", low, high);
    if (!saved) QVX::Base::log_printf("FAILED to save image '%s'\n", path);
    return saved;
  });
}

}  // extern "C"
