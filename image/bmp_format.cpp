#include "image/bmp_format.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "base/endian.h"
#include "base/file/writers.h"
#include "base/log.h"
#include "base/path.h"
#include "base/platform.h"

namespace QVX::Image::Format {

namespace {

using Base::load_le16;
using Base::load_le32;
using Base::log_wprintf;

constexpr wchar_t kFormatName[] = L"gray_bmp8";
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kSavedHeaderSize = 54;

// Whole files are read into memory, so their size is capped; the pixel count is capped so
// that neither the float image nor an RLE decode buffer can grow without bound.
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;
// RLE data does not bound the image size (an early end-of-bitmap is valid), so a tiny file
// could otherwise make the loader allocate for 2^28 pixels. A run of two bytes paints at most
// 255 pixels; an RLE image may cover this many pixels per byte of its data, plus a margin
// that any image up to 4096 x 4096 fits in whatever its encoding.
constexpr uint64_t kRlePixelsPerByte = 256;
constexpr uint64_t kRleMarginPixels = uint64_t{1} << 24;

constexpr float kGreen = 0.5f / 255.0f;
constexpr float kRed = 0.344f / 255.0f;
constexpr float kBlue = 0.156f / 255.0f;

float gray(uint32_t red, uint32_t green, uint32_t blue) {
  return kGreen * static_cast<float>(green) + kRed * static_cast<float>(red) +
         kBlue * static_cast<float>(blue);
}

enum Compression : uint32_t { kNone = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3 };

struct Header {
  uint32_t pixel_offset = 0;
  uint32_t header_size = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool top_down = false;
  uint32_t bits = 0;
  uint32_t compression = kNone;
  std::array<uint32_t, 3> masks{};  // red, green, blue
  std::vector<float> colours;       // gray value of each colour-map entry
};

// The file, possibly gunzipped, as a bounded byte string; every field is read through
// `fits` first.
struct Bytes {
  std::vector<uint8_t> data;
  bool fits(uint64_t offset, uint64_t size) const {
    return offset <= data.size() && size <= data.size() - offset;
  }
};

// Reads the whole stream behind `fd` (plain or gzip) into `out`.
bool read_all(int fd, const std::wstring& name, Bytes& out) {
  const int copy = Base::Platform::duplicate_descriptor(fd);
  if (copy < 0) {
    log_wprintf(L"FAILED to duplicate bmp descriptor for reading '%ls'\n", name.c_str());
    return false;
  }
  // The duplicate shares the caller's position; a file read earlier through the same
  // descriptor must still be read from its start. A pipe cannot seek and is read as it is.
  Base::Platform::seek_descriptor(copy, 0, SEEK_SET);
  gzFile stream = gzdopen(copy, "rb");
  if (stream == nullptr) {
    Base::Platform::close_descriptor(copy);
    log_wprintf(L"FAILED to open compressed bmp for reading '%ls'\n", name.c_str());
    return false;
  }
  // Small files are the common case: the buffer starts small and grows by doubling the
  // step, so a tiny file never pays for zeroing a megabyte.
  constexpr size_t kFirstChunk = size_t{1} << 12;
  constexpr size_t kMaxChunk = size_t{1} << 24;
  size_t chunk = kFirstChunk;
  bool ok = true;
  for (;; chunk = std::min(chunk * 2, kMaxChunk)) {
    const size_t used = out.data.size();
    if (used > kMaxFileBytes) {
      log_wprintf(L"FAILED to read bmp '%ls': larger than 1 GiB\n", name.c_str());
      ok = false;
      break;
    }
    out.data.resize(used + chunk);
    const int got = gzread(stream, out.data.data() + used, static_cast<unsigned>(chunk));
    if (got < 0) {
      log_wprintf(L"FAILED to read bmp data from '%ls'\n", name.c_str());
      ok = false;
      break;
    }
    out.data.resize(used + static_cast<size_t>(got));
    if (got == 0) break;
  }
  gzclose(stream);
  if (ok && out.data.size() < 2) {
    log_wprintf(L"FAILED to seek bmp to file size field in '%ls'\n", name.c_str());
    ok = false;
  }
  if (!ok) out.data = {};
  return ok;
}

bool truncated(const std::wstring& name) {
  log_wprintf(L"FAILED to read bmp header in '%ls': Truncated header\n", name.c_str());
  return false;
}

bool unsupported(const std::wstring& name) {
  log_wprintf(L"FAILED to read bmp header in '%ls': Unsupported header content\n", name.c_str());
  return false;
}

bool supported_bits(uint32_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

uint64_t row_bytes(const Header& h) { return (uint64_t{h.bits} * h.width + 31) / 32 * 4; }

bool read_colour_map(const Bytes& file, Header& h, uint32_t colours_used,
                     const std::wstring& name) {
  if (h.bits >= 16) return true;
  const uint64_t count = colours_used != 0 ? colours_used : uint64_t{1} << h.bits;
  // Core headers have 3-byte entries; every larger header has 4-byte entries.
  const uint64_t entry = h.header_size == 12 ? 3 : 4;
  const uint64_t offset = uint64_t{kFileHeaderSize} + h.header_size;
  if (offset > file.data.size()) {
    log_wprintf(L"FAILED to read bmp header in '%ls': Invalid colormap\n", name.c_str());
    return false;
  }
  if (!file.fits(offset, count * entry)) {
    log_wprintf(L"FAILED to read bmp colormap in '%ls'\n", name.c_str());
    return false;
  }
  // Entries beyond what an index can reach are never looked up.
  const uint64_t kept = std::min<uint64_t>(count, uint64_t{1} << h.bits);
  h.colours.resize(kept);
  const uint8_t* p = file.data.data() + offset;
  for (uint64_t i = 0; i < kept; ++i, p += entry) h.colours[i] = gray(p[2], p[1], p[0]);
  return true;
}

bool parse_header(const Bytes& file, Header& h, const std::wstring& name) {
  if (!file.fits(0, kFileHeaderSize + 4)) return truncated(name);
  const uint8_t* d = file.data.data();
  h.pixel_offset = load_le32(d + 10);
  h.header_size = load_le32(d + 14);
  uint32_t planes = 0;
  uint32_t colours_used = 0;
  if (h.header_size == 12) {
    if (!file.fits(18, 8)) return truncated(name);
    h.width = load_le16(d + 18);
    h.height = load_le16(d + 20);
    planes = load_le16(d + 22);
    h.bits = load_le16(d + 24);
  } else if (h.header_size < 40) {
    log_wprintf(L"FAILED to read bmp header in '%ls': Incompatible header size\n", name.c_str());
    return false;
  } else {
    if (!file.fits(18, 36)) return truncated(name);
    const auto width = static_cast<int32_t>(load_le32(d + 18));
    const auto height = static_cast<int32_t>(load_le32(d + 22));
    planes = load_le16(d + 26);
    h.bits = load_le16(d + 28);
    h.compression = load_le32(d + 30);
    colours_used = load_le32(d + 46);
    if (width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min()) {
      return unsupported(name);
    }
    h.width = static_cast<uint32_t>(width);
    h.top_down = height < 0;
    h.height = static_cast<uint32_t>(h.top_down ? -height : height);
  }
  const bool rle = h.compression == kRle8 || h.compression == kRle4;
  const bool valid = h.width > 0 && h.height > 0 && planes == 1 && supported_bits(h.bits) &&
                     h.compression < 4 && (h.compression != kRle8 || h.bits == 8) &&
                     (h.compression != kRle4 || h.bits == 4) &&
                     (h.compression != kBitFields || h.bits >= 16) && !(rle && h.top_down);
  if (!valid || uint64_t{h.width} * h.height > kMaxPixels) return unsupported(name);
  if (h.compression == kBitFields) {
    // The masks follow the 40 bytes of fields, inside a larger header or after a 40-byte one.
    if (!file.fits(54, 12)) return truncated(name);
    for (int i = 0; i < 3; ++i) h.masks[i] = load_le32(d + 54 + 4 * i);
  } else if (h.bits == 16) {
    h.masks = {0x7C00, 0x03E0, 0x001F};
  } else {
    h.masks = {0xFF0000, 0xFF00, 0xFF};
  }
  return read_colour_map(file, h, colours_used, name);
}

// One masked channel expanded to 0..255: the top bits of a narrow channel are repeated
// below it, so that a full channel of any width maps to 255.
uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countl_zero(mask);
  int width = std::countl_one(mask << shift);
  const uint32_t bits = ((pixel & mask) << shift) >> 16;
  if (width > 16) width = 16;
  const uint32_t value = (bits >> (16 - width)) & ((uint32_t{1} << width) - 1);
  if (width >= 8) return value >> (width - 8);
  uint32_t wide = 0;
  int filled = 0;
  while (filled < 8) {
    wide = (wide << width) | value;
    filled += width;
  }
  return wide >> (filled - 8);
}

float index_value(const Header& h, uint32_t index) {
  if (h.colours.empty()) return static_cast<float>(index) * 0.003921569f;
  // An index beyond the colour map reads as 0 (black) rather than as any stored entry.
  return index < h.colours.size() ? h.colours[index] : 0.0f;
}

// Converts one stored row of `bits` per pixel into floats.
void convert_row(const Header& h, uint32_t bits, const uint8_t* in, float* out) {
  const uint32_t w = h.width;
  switch (bits) {
    case 1:
      for (uint32_t c = 0; c < w; ++c) out[c] = (in[c / 8] >> (7 - c % 8)) & 1 ? 1.0f : 0.0f;
      break;
    case 4:
      for (uint32_t c = 0; c < w; ++c) {
        out[c] = index_value(h, c % 2 == 0 ? in[c / 2] >> 4 : in[c / 2] & 0x0F);
      }
      break;
    case 8:
      for (uint32_t c = 0; c < w; ++c) out[c] = index_value(h, in[c]);
      break;
    case 16:
    case 32:
      for (uint32_t c = 0; c < w; ++c) {
        const uint32_t p =
            bits == 16 ? load_le16(in + 2 * uint64_t{c}) : load_le32(in + 4 * uint64_t{c});
        out[c] = gray(channel(p, h.masks[0]), channel(p, h.masks[1]), channel(p, h.masks[2]));
      }
      break;
    default:  // 24
      for (uint32_t c = 0; c < w; ++c) {
        const uint8_t* p = in + 3 * uint64_t{c};
        out[c] = gray(p[2], p[1], p[0]);
      }
      break;
  }
}

// Decodes RLE8/RLE4 into one index per pixel, bottom row first, in one linear buffer: a
// run or literal that passes the end of its row goes on in the next one, everything is
// clipped to the buffer, and a position outside the buffer (or the end of the input or
// of the bitmap) ends decoding; pixels not reached stay 0.
bool decode_rle(const Header& h, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                const std::wstring& /*name*/) {
  const bool four = h.compression == kRle4;
  const uint64_t w = h.width;
  const uint64_t total = out.size();
  uint64_t x = 0;
  uint64_t y = 0;
  size_t i = 0;
  const auto put = [&](uint64_t k, uint8_t index) {
    const uint64_t at = y * w + x + k;
    if (at < total) out[at] = index;
  };
  while (i + 2 <= size && y * w + x < total) {
    const uint32_t n = in[i];
    const uint8_t value = in[i + 1];
    i += 2;
    if (n > 0) {
      for (uint32_t k = 0; k < n; ++k)
        put(k, four ? (k % 2 == 0 ? value >> 4 : value & 0x0F) : value);
      x += n;
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (i + 2 > size) break;
      x += in[i];
      y += in[i + 1];
      i += 2;
    } else {
      const size_t bytes = four ? (value + 1) / 2 : value;
      if (bytes > size - i) break;
      for (uint32_t k = 0; k < value; ++k) {
        put(k, four ? (k % 2 == 0 ? in[i + k / 2] >> 4 : in[i + k / 2] & 0x0F) : in[i + k]);
      }
      x += value;
      i += bytes + bytes % 2;
    }
  }
  return true;
}

bool load_file(int fd, const std::wstring& name, Bytes& file, Header& h) {
  return read_all(fd, name, file) && parse_header(file, h, name);
}

bool describe(Image& image, const Header& h) {
  const Image_desc desc(h.height, h.width, image.file_name, kFormatName, 1);
  return image.assign_description(desc);
}

}  // namespace

bool BMP::matches_signature(const uint8_t* bytes, size_t size) const {
  return bytes != nullptr && size >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

bool BMP::save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
                 float cmin, float cmax) {
  if (format != kFormatName) return false;
  const uint32_t width = image.width();
  const uint32_t height = image.height();
  const uint64_t pixel_bytes = uint64_t{width} * height * 4;
  if (pixel_bytes == 0 || image.data == nullptr) {
    log_wprintf(L"FAILED to save bmp '%ls': the image has no pixels\n", path.c_str());
    return false;
  }
  constexpr auto kMaxInt32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  if (pixel_bytes + kSavedHeaderSize > std::numeric_limits<uint32_t>::max() || width > kMaxInt32 ||
      height > kMaxInt32) {
    log_wprintf(L"FAILED to save bmp '%ls': the image is too large\n", path.c_str());
    return false;
  }
  float lo = cmin;
  float hi = cmax;
  if (!(cmin < cmax)) {
    bool seen = false;
    for (uint64_t i = 0; i < uint64_t{width} * height; ++i) {
      const float v = image.data[i];
      if (std::isnan(v)) continue;
      if (!seen || v < lo) lo = v;
      if (!seen || v > hi) hi = v;
      seen = true;
    }
    if (!seen) lo = hi = 0.0f;
  }
  Base::File::SaveFile save(path);
  Base::File::WriterPtr writer;
  if (!save.valid() ||
      !Base::File::make_writer(writer, save.write_path(), Base::has_gz_suffix(path))) {
    log_wprintf(L"FAILED to open bmp for writing '%ls'\n", path.c_str());
    return false;
  }
  std::array<uint8_t, kSavedHeaderSize> header{};
  header[0] = 'B';
  header[1] = 'M';
  Base::store_le32(&header[2], static_cast<uint32_t>(pixel_bytes + kSavedHeaderSize));
  Base::store_le32(&header[10], kSavedHeaderSize);
  Base::store_le32(&header[14], 40);
  Base::store_le32(&header[18], width);
  Base::store_le32(&header[22], height);
  Base::store_le16(&header[26], 1);
  Base::store_le16(&header[28], 32);
  bool ok = writer->write(header.data(), header.size()) == header.size();
  const float k = 255.0f / (hi - lo);
  std::vector<uint8_t> row(uint64_t{width} * 4);
  for (uint32_t r = height; ok && r-- > 0;) {
    const float* in = image.row(r);
    for (uint32_t c = 0; c < width; ++c) {
      const float v = in[c];
      uint8_t g = 0;
      // A constant image (lo == hi) gives 0 everywhere: v <= lo is tested first.
      if (v <= lo || std::isnan(v)) {
        g = 0;
      } else if (v >= hi) {
        g = 255;
      } else {
        const float q = std::roundf((v - lo) * k);
        g = q >= 255.0f ? 255 : q > 0.0f ? static_cast<uint8_t>(q) : 0;
      }
      uint8_t* p = &row[4 * uint64_t{c}];
      p[0] = p[1] = p[2] = g;
      p[3] = 255;
    }
    ok = writer->write(row.data(), row.size()) == row.size();
  }
  // Buffered bytes reach the file only when it is closed; a full disk shows here.
  ok = writer->close() && ok;
  Base::File::reset_writer(writer);
  // A partial picture would read as a valid but wrong image: it never replaces the target.
  if (!ok || !save.commit()) {
    log_wprintf(L"FAILED to write bmp '%ls'\n", path.c_str());
    return false;
  }
  log_wprintf(L"Saved bmp '%ls' from float (w=%u, h=%u, fmt=%ls, info_len=%u', cmin=%f, cmax=%f)\n",
              path.c_str(), width, height, format.c_str(), static_cast<unsigned>(image.info.length),
              static_cast<double>(lo), static_cast<double>(hi));
  return true;
}

bool BMP::load_description(Image_desc& desc, int fd) {
  Bytes file;
  Header h;
  if (!load_file(fd, desc.file_name, file, h)) return false;
  if (!describe(desc, h) || !desc.resize(h.height, h.width)) return false;
  Base::log_wprintf_level(
      1, L"Loaded bmp description '%ls' (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u')\n",
      desc.file_name.c_str(), desc.width(), desc.height(), desc.format_name.c_str(),
      desc.bytes_per_sample, static_cast<unsigned>(desc.info.length));
  return true;
}

bool BMP::load_f(Image_f& image, int fd) {
  Bytes file;
  Header h;
  const std::wstring& name = image.file_name;
  if (!load_file(fd, name, file, h)) return false;
  if (h.pixel_offset > file.data.size()) {
    log_wprintf(L"FAILED to seek to bmp pixel data offset in '%ls'\n", name.c_str());
    return false;
  }
  const bool rle = h.compression == kRle8 || h.compression == kRle4;
  const uint64_t stride = rle ? h.width : row_bytes(h);
  if (!rle && !file.fits(h.pixel_offset, stride * h.height)) {
    log_wprintf(L"FAILED to read bmp pixel data '%ls'\n", name.c_str());
    return false;
  }
  const uint64_t rle_bytes = file.data.size() - h.pixel_offset;
  if (rle && uint64_t{h.width} * h.height > kRleMarginPixels + rle_bytes * kRlePixelsPerByte) {
    log_wprintf(
        L"FAILED to read bmp pixel data '%ls': %llu bytes of RLE data cannot describe "
        L"%u x %u pixels\n",
        name.c_str(), static_cast<unsigned long long>(rle_bytes), h.width, h.height);
    return false;
  }
  if (!image.resize(h.height, h.width) || !describe(image, h)) return false;
  const uint8_t* pixels = file.data.data() + h.pixel_offset;
  std::vector<uint8_t> decoded;
  if (rle) {
    decoded.assign(uint64_t{h.width} * h.height, 0);
    if (!decode_rle(h, pixels, file.data.size() - h.pixel_offset, decoded, name)) return false;
    pixels = decoded.data();
  }
  const uint32_t bits = rle ? 8 : h.bits;
  for (uint32_t r = 0; r < h.height; ++r) {
    const uint32_t stored = h.top_down ? r : h.height - 1 - r;
    convert_row(h, bits, pixels + stride * stored, image.row(r));
  }
  Base::log_wprintf_level(
      1, L"Loaded bmp '%ls' into float (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u')\n", name.c_str(),
      image.width(), image.height(), image.format_name.c_str(), image.bytes_per_sample,
      static_cast<unsigned>(image.info.length));
  return true;
}

}  // namespace QVX::Image::Format
