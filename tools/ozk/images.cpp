// Slice images: the format by name or extension, and saving without leaving a partial file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "base/utf.h"
#include "image/image.h"
#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Writes the image to `file`, a name the writers may create and replace. The 32-bit TIFF
// goes through the library's exported save, the 8-bit formats through the image layer.
bool write_image(const std::string& file, ImageFormat format, const float* data, uint32_t height,
                 uint32_t width, double low, double high) {
  if (format == ImageFormat::Tif || format == ImageFormat::TifGz) {
    return qvx_ozk_save_gray_tif32(file.c_str(), data, height, width);
  }
  // The formats take their own range when given none, which is what low >= high asks for.
  float cmin = 1.0f, cmax = -1.0f;
  if (std::isfinite(low) && std::isfinite(high) && low < high) {
    cmin = static_cast<float>(low);
    cmax = static_cast<float>(high);
  }
  std::wstring wide;
  try {
    wide = Base::utf8_to_wide(file);
  } catch (const std::range_error&) {
    errno = EILSEQ;
    return false;
  }
  // The save only reads the pixels it wraps.
  const Image::Image_f image(const_cast<float*>(data), height, width);
  return Image::save_image(image, wide, format == ImageFormat::Png ? L"gray_png8" : L"gray_bmp8",
                           cmin, cmax);
}

// A name no other save of this process uses; the extension makes the writers produce the
// format asked for whatever the target is called.
std::string temporary_name(const fs::path& directory, ImageFormat format) {
  static std::atomic<unsigned> counter{0};
  const std::string name = ".ozk-" + std::to_string(static_cast<long>(getpid())) + "-" +
                           std::to_string(counter++) + image_extension(format);
  return (directory / name).string();
}

std::string cause_of(int code, const char* otherwise) {
  return code != 0 ? std::strerror(code) : otherwise;
}

// Copies the finished file into a device or pipe.
bool copy_into(const std::string& from, const std::string& to, std::string* cause) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *cause = std::strerror(errno);
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CLOEXEC);
  if (out < 0) {
    *cause = std::strerror(errno);
    ::close(in);
    return false;
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; ok && done < got;) {
      const ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0)
        ok = false;
      else
        done += put;
    }
    if (!ok) break;
  }
  if (!ok) *cause = cause_of(errno, "write failed");
  ::close(in);
  if (::close(out) != 0 && ok) {
    *cause = std::strerror(errno);
    ok = false;
  }
  return ok;
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
  auto failed = [&](const std::string& cause) {
    if (error != nullptr) *error = describe_failure("cannot write", path, cause);
    return false;
  };
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) return failed(std::strerror(EISDIR));
  // A device or a pipe cannot be replaced by a rename (and must not be: think of
  // /dev/null), so it gets the bytes of a file finished elsewhere.
  const bool stream = fs::exists(status) && !fs::is_regular_file(status);
  const fs::path directory = stream ? fs::temp_directory_path(ec) : fs::path(path).parent_path();
  const std::string temporary = temporary_name(directory, format);

  // Creating the name first tells why the directory takes no file, which the writers
  // would only log.
  const int probe = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (probe < 0) return failed(std::strerror(errno));
  ::close(probe);

  errno = 0;
  const bool written = write_image(temporary, format, data, height, width, low, high);
  const int code = errno;
  if (!written) {
    std::remove(temporary.c_str());
    return failed(cause_of(code, "the image could not be written (the log says why)"));
  }
  if (stream) {
    std::string cause;
    const bool copied = copy_into(temporary, path, &cause);
    std::remove(temporary.c_str());
    return copied || failed(cause);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int rename_code = errno;
    std::remove(temporary.c_str());
    return failed(std::strerror(rename_code));
  }
  return true;
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
