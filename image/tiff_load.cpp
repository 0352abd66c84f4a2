#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "image/tiff_format.h"
#include "image/tiff_internal.h"

namespace QVX::Image::Format {

namespace {

using Base::log_wprintf;

// The float image is at most 4 GiB.
constexpr uint64_t kMaxPixels = uint64_t{1} << 30;
// Pixels come from the file: uncompressed, the file must hold them; compressed, none of
// TIFF's compressions inflates by more than this. A header claiming more is refused before
// the image is allocated; images up to 4096 x 4096 pass whatever the file holds.
constexpr uint64_t kMaxInflation = 4096;
constexpr uint64_t kMarginPixels = uint64_t{1} << 24;
// The most a gzip stream inflates (deflate's limit is 1032:1).
constexpr uint64_t kGzipInflation = 1032;

gzFile stream_of(thandle_t handle) { return static_cast<gzFile>(handle); }

// zlib counts in int, libtiff in tmsize_t: large requests go in pieces.
tmsize_t gz_read_proc(thandle_t handle, void* buffer, tmsize_t size) {
  constexpr tmsize_t kPiece = tmsize_t{1} << 30;
  auto* out = static_cast<uint8_t*>(buffer);
  tmsize_t done = 0;
  while (done < size) {
    const tmsize_t piece = size - done < kPiece ? size - done : kPiece;
    const int got = gzread(stream_of(handle), out + done, static_cast<unsigned>(piece));
    if (got < 0) return done > 0 ? done : -1;
    if (got == 0) break;
    done += got;
  }
  return done;
}

tmsize_t gz_write_proc(thandle_t handle, void* buffer, tmsize_t size) {
  const tmsize_t piece = size < INT_MAX ? size : INT_MAX;
  return gzwrite(stream_of(handle), buffer, static_cast<unsigned>(piece));
}

// The 64-bit position is passed through: toff_t is 64-bit, and zlib's -1 becomes libtiff's
// (toff_t)-1 failure value.
toff_t gz_seek_proc(thandle_t handle, toff_t offset, int whence) {
  return static_cast<toff_t>(gzseek64(stream_of(handle), static_cast<z_off64_t>(offset), whence));
}

int gz_close_proc(thandle_t handle) { return gzclose(stream_of(handle)); }

toff_t gz_size_proc(thandle_t handle) { return static_cast<toff_t>(gztell64(stream_of(handle))); }

struct TiffCloser {
  void operator()(::TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<::TIFF, TiffCloser>;

struct OpenMessages {
  const wchar_t* duplicate;
  const wchar_t* stream;
  const wchar_t* tiff;
};

// Opens the TIFF on a gzip stream over a duplicate of `fd`, so that plain and compressed
// files read alike and the caller's descriptor stays open.
TiffHandle open_stream(int fd, const std::wstring& file_name, const OpenMessages& messages) {
  const int copy = Base::Platform::duplicate_descriptor(fd);
  if (copy < 0) {
    log_wprintf(messages.duplicate, file_name.c_str());
    return nullptr;
  }
  gzFile stream = gzdopen(copy, "rb");
  if (stream == nullptr) {
    Base::Platform::close_descriptor(copy);
    log_wprintf(messages.stream, file_name.c_str());
    return nullptr;
  }
  ::TIFF* tif =
      tiff_internal::client_open("QVX::Image::Format::TIFF::load", stream, gz_read_proc,
                                 gz_write_proc, gz_seek_proc, gz_close_proc, gz_size_proc);
  if (tif == nullptr) {
    // A failed open leaves the stream to us.
    gzclose(stream);
    log_wprintf(messages.tiff, file_name.c_str());
    return nullptr;
  }
  return TiffHandle(tif);
}

void read_info(::TIFF* tif, Image& image) {
  uint32_t count = 0;
  const uint8_t* block = nullptr;
  if (TIFFGetField(tif, kTagQvxInfoV2, &count, &block) == 1 && block != nullptr && count >= 5) {
    const uint32_t claimed = (uint32_t{block[0]} << 24) | (uint32_t{block[1]} << 16) |
                             (uint32_t{block[2]} << 8) | uint32_t{block[3]};
    uint32_t length = claimed;
    if (claimed > count - 4) {
      length = count - 4;
      log_wprintf(L"WARNING: tiff description in '%ls' claims %u bytes, block holds %u\n",
                  image.file_name.c_str(), claimed, length);
    }
    if (image.info.resize(length) && length > 0) std::memcpy(image.info.data, block + 4, length);
  }
  const char* text = nullptr;
  count = 0;
  if (TIFFGetField(tif, kTagQvxInfoV1, &count, &text) == 1 && text != nullptr && count > 0 &&
      image.info.resize(uint64_t{count} + 1)) {
    std::memcpy(image.info.data, text, count);
    image.info.data[count] = 0;
  }
}

template <typename T>
std::unique_ptr<T[]> zeroed(uint64_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// Bytes the TIFF stream over `fd` can deliver; unknown (pipes) is unlimited.
uint64_t stream_bytes(::TIFF* tif, int fd) {
  const int64_t size = Base::Platform::descriptor_size(fd);
  if (size <= 0) return UINT64_MAX;
  const bool gzip = gzdirect(stream_of(TIFFClientdata(tif))) == 0;
  return static_cast<uint64_t>(size) * (gzip ? kGzipInflation : 1);
}

bool justified_by_file(::TIFF* tif, int fd, uint64_t pixels, uint64_t bits_per_pixel) {
  if (pixels <= kMarginPixels) return true;
  const uint64_t bytes = stream_bytes(tif, fd);
  if (bytes == UINT64_MAX) return true;
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
  const uint64_t inflation = compression == COMPRESSION_NONE ? 1 : kMaxInflation;
  // pixels <= 2^30 and bits_per_pixel < 2^32: the product fits.
  const uint64_t needed = (pixels - kMarginPixels) * bits_per_pixel / 8;
  return needed / inflation <= bytes;
}

bool scanline_fits(::TIFF* tif, uint64_t row_bytes) {
  if (TIFFScanlineSize64(tif) <= row_bytes) return true;
  log_wprintf(L"FAILED to read tiff data: Inconsistent samples and bits per pixel\n");
  return false;
}

bool read_row(::TIFF* tif, void* buffer, uint32_t row) {
  if (TIFFReadScanline(tif, buffer, row, 0) >= 0) return true;
  log_wprintf(L"FAILED to read pixel row %u of tiff\n", row);
  return false;
}

bool read_float_rows(::TIFF* tif, Image_f& image) {
  if (!scanline_fits(tif, uint64_t{image.width()} * sizeof(float))) return false;
  for (uint32_t r = 0; r < image.height(); ++r) {
    if (!read_row(tif, image.row(r), r)) return false;
  }
  return true;
}

// Reads `samples` values of type T per pixel, row by row, and writes convert(row values,
// column) into each pixel.
template <typename T, typename Convert>
bool read_rows(::TIFF* tif, Image_f& image, uint32_t samples, Convert convert) {
  const uint64_t count = uint64_t{image.width()} * samples;
  if (!scanline_fits(tif, count * sizeof(T))) return false;
  const auto buffer = zeroed<T>(count);
  if (buffer == nullptr) return false;
  for (uint32_t r = 0; r < image.height(); ++r) {
    if (!read_row(tif, buffer.get(), r)) return false;
    float* out = image.row(r);
    for (uint32_t c = 0; c < image.width(); ++c) out[c] = convert(buffer.get(), c);
  }
  return true;
}

template <typename T>
bool read_gray(::TIFF* tif, Image_f& image, const std::vector<float>& table, float scale) {
  return read_rows<T>(tif, image, 1, [&](const T* row, uint32_t c) {
    return (table.empty() ? static_cast<float>(row[c]) : table[row[c]]) * scale;
  });
}

template <typename T, int64_t Offset>
bool read_signed(::TIFF* tif, Image_f& image, float scale) {
  return read_rows<T>(tif, image, 1, [&](const T* row, uint32_t c) {
    return static_cast<float>(int64_t{row[c]} + Offset) * scale;
  });
}

bool read_rgb(::TIFF* tif, Image_f& image, uint16_t bits) {
  if (bits != 8) {
    log_wprintf(L"FAILED to read tiff data: Inconsistent samples and bits per pixel\n");
    return false;
  }
  return read_rows<uint8_t>(tif, image, 3, [](const uint8_t* row, uint32_t c) {
    const uint8_t* rgb = row + uint64_t{c} * 3;
    return static_cast<float>(rgb[0]) * kTiffRed + static_cast<float>(rgb[1]) * kTiffGreen +
           static_cast<float>(rgb[2]) * kTiffBlue;
  });
}

// Table of 2^bits entries for unsigned 8- and 16-bit samples; empty when the samples are
// read as they are.
std::vector<float> lookup_table(::TIFF* tif, const Image& image, uint16_t samples, uint16_t bits,
                                uint16_t sample_format, uint16_t photometric) {
  if (photometric != PHOTOMETRIC_PALETTE && photometric != PHOTOMETRIC_MINISWHITE) return {};
  if (samples == 1 && bits == 32 && (sample_format == 1 || sample_format == 2)) {
    log_wprintf(L"WARNING: no lookup table for 32-bit samples in '%ls'\n", image.file_name.c_str());
    return {};
  }
  // Only these readers use a table.
  if (samples != 1 || sample_format != 1 || (bits != 8 && bits != 16)) return {};
  const uint32_t n = uint32_t{1} << bits;
  std::vector<float> table(n);
  if (photometric == PHOTOMETRIC_MINISWHITE) {
    for (uint32_t i = 0; i < n; ++i) table[i] = static_cast<float>(n - 1 - i);
    return table;
  }
  const uint16_t* red = nullptr;
  const uint16_t* green = nullptr;
  const uint16_t* blue = nullptr;
  if (TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) != 1 || red == nullptr ||
      green == nullptr || blue == nullptr) {
    return {};
  }
  // The colour map holds 16-bit intensities while the readers scale by the sample range:
  // bring the map to that range so a palette image loads in 0..1.
  const float to_range = static_cast<float>(n - 1) / 65535.0f;
  for (uint32_t i = 0; i < n; ++i) {
    table[i] = (0.344f * static_cast<float>(red[i]) + 0.5f * static_cast<float>(green[i]) +
                0.156f * static_cast<float>(blue[i])) *
               to_range;
  }
  return table;
}

}  // namespace

bool TIFF::load_description(Image_desc& desc, int fd) {
  const TiffHandle tif = open_stream(
      fd, desc.file_name,
      {L"FAILED to duplicate compressed image descriptor for reading the description in '%ls'\n",
       L"FAILED to open compressed image for reading the description in '%ls'\n",
       L"FAILED to open tiff for reading the description in '%ls'\n"});
  if (tif == nullptr) return false;

  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 0;
  uint16_t samples = 0;
  uint16_t sample_format = 1;
  TIFFGetField(tif.get(), TIFFTAG_SAMPLEFORMAT, &sample_format);
  if (TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height) != 1 ||
      TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits) != 1 ||
      TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples) != 1) {
    log_wprintf(L"FAILED to get tiff tags for image description in '%ls'\n",
                desc.file_name.c_str());
    return false;
  }
  desc.resize(height, width);
  desc.bytes_per_sample = bits / 8u;

  const bool integer = sample_format == 1 || sample_format == 2;
  const wchar_t* name = L"unsupported_tif";
  if (samples == 1 && bits == 32 && (integer || sample_format == 3)) {
    name = L"gray_tif32";
  } else if (samples == 1 && bits == 16 && integer) {
    name = L"gray_tif16";
  } else if (samples == 1 && bits == 8 && integer) {
    name = L"gray_tif8";
  } else if (samples == 3 && integer) {
    name = L"rgb_tif";
  }
  desc.format_name = name;
  read_info(tif.get(), desc);

  log_wprintf(L"Loaded tiff description '%ls' (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u)\n",
              desc.file_name.c_str(), width, height, desc.format_name.c_str(),
              desc.bytes_per_sample, static_cast<uint32_t>(desc.info.length));
  return true;
}

bool TIFF::load_f(Image_f& image, int fd) {
  const TiffHandle tif =
      open_stream(fd, image.file_name,
                  {L"FAILED to duplicate compressed image descriptor for reading '%ls'\n",
                   L"FAILED to open compressed image for reading '%ls'\n",
                   L"FAILED to open tiff for reading '%ls'\n"});
  if (tif == nullptr) return false;

  uint32_t width = 0;
  uint32_t height = 0;
  const bool has_width = TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) == 1;
  const bool has_height = TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height) == 1;
  if (!has_width || !has_height) {
    log_wprintf(L"FAILED to read required tiff tags in %ls (width=%u, height=%u)\n",
                image.file_name.c_str(), has_width ? width : 0u, has_height ? height : 0u);
    return false;
  }
  // Refused before anything is allocated: the pixel count is a 32-bit product elsewhere.
  if (uint64_t{width} * height > kMaxPixels) {
    log_wprintf(L"FAILED to read tiff '%ls': image too large (w=%u, h=%u)\n",
                image.file_name.c_str(), width, height);
    return false;
  }
  uint16_t bits = 32;
  uint16_t samples = 1;
  uint16_t sample_format = 1;
  uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(tif.get(), TIFFTAG_SAMPLEFORMAT, &sample_format);
  TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
  // Every image the loaders read has 8 bits per pixel or more.
  const uint64_t bits_per_pixel = std::max<uint64_t>(uint64_t{bits} * samples, 8);
  if (!justified_by_file(tif.get(), fd, uint64_t{width} * height, bits_per_pixel)) {
    log_wprintf(L"FAILED to read tiff '%ls': the file is too small for its image (w=%u, h=%u)\n",
                image.file_name.c_str(), width, height);
    return false;
  }

  const Image_desc desc(height, width, image.file_name, L"unsupported_tif", bits / 8u);
  if (!image.resize(height, width) || !image.assign_description(desc)) return false;
  read_info(tif.get(), image);
  const std::vector<float> table =
      lookup_table(tif.get(), image, samples, bits, sample_format, photometric);

  const bool empty = width == 0 || height == 0;
  const wchar_t* failure = nullptr;
  bool ok = false;
  if (samples == 1 && bits == 32 && sample_format == 3) {
    image.format_name = L"gray_tif32";
    failure = L"FAILED to read float tiff image data in '%ls' (gray_tif32)\n";
    ok = empty || read_float_rows(tif.get(), image);
  } else if (samples == 1 && bits == 32 && sample_format == 1) {
    image.format_name = L"gray_tif32";
    failure = L"FAILED to read 32-bit integer tiff image data in '%ls' (gray_tif32)\n";
    ok = empty || read_gray<uint32_t>(tif.get(), image, {}, kTiffScale32);
  } else if (samples == 1 && bits == 32 && sample_format == 2) {
    image.format_name = L"gray_tif32";
    failure = L"FAILED to read 32-bit integer tiff image data in '%ls' (gray_tif32)\n";
    ok = empty || read_signed<int32_t, 2147483648>(tif.get(), image, kTiffScale32);
  } else if (samples == 1 && bits == 16 && (sample_format == 1 || sample_format == 2)) {
    image.format_name = L"gray_tif16";
    failure = L"FAILED to read 16-bit tiff image data in '%ls' (gray_tif16)\n";
    ok =
        empty || (sample_format == 1 ? read_gray<uint16_t>(tif.get(), image, table, kTiffScale16)
                                     : read_signed<int16_t, 32768>(tif.get(), image, kTiffScale16));
  } else if (samples == 1 && bits == 8 && (sample_format == 1 || sample_format == 2)) {
    image.format_name = L"gray_tif8";
    failure = L"FAILED to read 8-bit tiff image data in '%ls' (gray_tif8)\n";
    ok = empty || (sample_format == 1 ? read_gray<uint8_t>(tif.get(), image, table, kTiffScale8)
                                      : read_signed<int8_t, 128>(tif.get(), image, kTiffScale8));
  } else if (samples == 3) {
    image.format_name = L"rgb_tif";
    failure = L"FAILED to read rgb tiff image data in '%ls' (rgb_tif)\n";
    ok = empty || read_rgb(tif.get(), image, bits);
  } else {
    log_wprintf(L"FAILED to read unknown tiff image data in '%ls' (spp=%u, bpp=%u, smpl=%u)\n",
                image.file_name.c_str(), unsigned{samples}, unsigned{bits},
                unsigned{sample_format});
    return false;
  }
  if (!ok) {
    log_wprintf(failure, image.file_name.c_str());
    return false;
  }
  Base::log_wprintf_level(
      1, L"Loaded tiff '%ls' into float (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u)\n",
      image.file_name.c_str(), width, height, image.format_name.c_str(), image.bytes_per_sample,
      static_cast<uint32_t>(image.info.length));
  return true;
}

}  // namespace QVX::Image::Format
