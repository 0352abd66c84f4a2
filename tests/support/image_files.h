// For the image tests: loading files through a format as the library's callers do, and
// comparing pixels with what a reader we did not write prints.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <istream>
#include <memory>
#include <string>
#include <type_traits>

#include "image/format.h"
#include "tests/support/capture_stdout.h"

namespace QVX::TestSupport {

inline std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Loads `path` into an Image_f, or its description into an Image_desc, through a descriptor
// of our own, which the format must leave open. With `log`, captures the entries written
// meanwhile, without their timestamps.
template <typename I>
bool load_image(Image::Format::Format&& format, const std::string& path, I& image,
                std::string* log = nullptr) {
  std::unique_ptr<CaptureStdout> capture(log != nullptr ? new CaptureStdout : nullptr);
  image.file_name = wide(path);
  const int fd = ::open(path.c_str(), O_RDONLY);
  bool ok = false;
  if constexpr (std::is_same_v<I, Image::Image_desc>) ok = format.load_description(image, fd);
  if constexpr (!std::is_same_v<I, Image::Image_desc>) ok = format.load_f(image, fd);
  EXPECT_EQ(::close(fd), 0) << "the descriptor of " << path << " was closed";
  if (log != nullptr) *log = strip_timestamps(capture->text());
  return ok;
}

// Reads "width height value..." for one image from `expected` and counts the pixels of
// `image` more than `tolerance` away (negative values there are undefined, and match);
// -1 when the sizes differ or values are missing.
inline int64_t differing_pixels(std::istream& expected, const Image::Image_f& image,
                                float tolerance) {
  uint32_t width = 0, height = 0;
  if (!(expected >> width >> height) || width != image.width() || height != image.height())
    return -1;
  int64_t differing = 0, count = 0;
  for (float v = 0; count < int64_t{width} * height && expected >> v; ++count) {
    differing += v >= 0 && std::fabs(image.data[count] - v) > tolerance;
  }
  return count == int64_t{width} * height ? differing : -1;
}

}  // namespace QVX::TestSupport
