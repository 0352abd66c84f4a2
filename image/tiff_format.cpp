// TIFF: the private tags, the signature, the info block and saving.
#include "image/tiff_format.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "base/endian.h"
#include "base/file/writers.h"
#include "base/log.h"
#include "base/path.h"
#include "base/platform.h"
#include "image/tiff_internal.h"

namespace QVX::Image::Format {
namespace tiff_internal {
namespace {

TIFFFieldInfo kPrivateTags[] = {
    {kTagQvxInfoV1, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_ASCII, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("QvxInfoV1")},
    {kTagQvxInfoV2, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("QvxInfoV2")},
    {kTagQvxInfoOffsetV2, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_LONG, FIELD_CUSTOM, 0, 1,
     const_cast<char*>("QvxInfoOffsetV2")},
};

// The extender that was installed before ours; ours chains to it.
TIFFExtendProc g_parent_extender = nullptr;

void extend(::TIFF* tif) {
  TIFFMergeFieldInfo(tif, kPrivateTags, sizeof kPrivateTags / sizeof kPrivateTags[0]);
  if (g_parent_extender != nullptr) g_parent_extender(tif);
}

}  // namespace

void register_private_tags() {
  static std::once_flag once;
  std::call_once(once, [] { g_parent_extender = TIFFSetTagExtender(extend); });
}

namespace {

int no_map(thandle_t, void**, toff_t*) { return 0; }
void no_unmap(thandle_t, void*, toff_t) {}

#ifdef QVX_OZK_TIFF_OPEN_OPTIONS
// The largest single allocation libtiff may make for a file being read.
constexpr tmsize_t kMaxSingleAlloc = tmsize_t{256} << 20;

void log_libtiff(const char* prefix, const char* module, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  Base::log_printf("%s%s%s%s\n", prefix, module != nullptr ? module : "",
                   module != nullptr ? ": " : "", text);
}

// Answering 1 keeps libtiff from also calling its process-wide handlers.
int on_error(::TIFF*, void*, const char* module, const char* format, va_list args) {
  log_libtiff("libtiff error: ", module, format, args);
  return 1;
}

int on_warning(::TIFF*, void*, const char* module, const char* format, va_list args) {
  log_libtiff("WARNING: libtiff: ", module, format, args);
  return 1;
}

// Options for one open: handlers that put libtiff's messages about this file into our
// log, and for reading a bound on what one damaged field can make libtiff allocate.
class OpenOptions {
 public:
  explicit OpenOptions(bool reading) : options_(TIFFOpenOptionsAlloc()) {
    if (options_ == nullptr) return;
    if (reading) TIFFOpenOptionsSetMaxSingleMemAlloc(options_, kMaxSingleAlloc);
    TIFFOpenOptionsSetErrorHandlerExtR(options_, on_error, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options_, on_warning, nullptr);
  }
  ~OpenOptions() {
    if (options_ != nullptr) TIFFOpenOptionsFree(options_);
  }
  OpenOptions(const OpenOptions&) = delete;
  OpenOptions& operator=(const OpenOptions&) = delete;
  TIFFOpenOptions* get() const { return options_; }

 private:
  TIFFOpenOptions* options_;
};
#endif

}  // namespace

// Before libtiff 4.5 there are no open options: its messages then go to its own
// process-wide handlers (standard error), and reading has no allocation bound.
::TIFF* open_client(const char* name, const char* mode, thandle_t handle, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFCloseProc close,
                    TIFFSizeProc size) {
  register_private_tags();
#ifdef QVX_OZK_TIFF_OPEN_OPTIONS
  const OpenOptions options(mode[0] == 'r');
  return TIFFClientOpenExt(name, mode, handle, read, write, seek, close, size, no_map, no_unmap,
                           options.get());
#else
  return TIFFClientOpen(name, mode, handle, read, write, seek, close, size, no_map, no_unmap);
#endif
}

::TIFF* open_file(const char* path, const char* mode) {
  register_private_tags();
#ifdef QVX_OZK_TIFF_OPEN_OPTIONS
  const OpenOptions options(mode[0] == 'r');
  return TIFFOpenExt(path, mode, options.get());
#else
  return TIFFOpen(path, mode);
#endif
}

::TIFF* client_open(const char* name, thandle_t handle, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFCloseProc close,
                    TIFFSizeProc size) {
  return open_client(name, "r", handle, read, write, seek, close, size);
}

}  // namespace tiff_internal

namespace {

constexpr uint16_t kSampleFormatUInt = 1;
constexpr uint16_t kSampleFormatFloat = 3;
// Classic TIFF addresses 4 GiB; beyond this estimate of the file size BigTIFF is written.
constexpr uint64_t kClassicTiffLimit = (uint64_t{1} << 32) - (uint64_t{64} << 20);

struct Target {
  const wchar_t* name;
  uint16_t bits;
  uint16_t sample_format;
};
constexpr Target kGray32 = {L"gray_tif32", 32, kSampleFormatFloat};
constexpr Target kGray16 = {L"gray_tif16", 16, kSampleFormatUInt};
constexpr Target kGray8 = {L"gray_tif8", 8, kSampleFormatUInt};

// A TIFF built in memory, for targets that cannot seek back (a FIFO) or whose bytes go
// through a compressor. No exception may leave these procedures into libtiff.
struct MemoryFile {
  std::vector<uint8_t> bytes;
  uint64_t position = 0;
};

MemoryFile& memory(thandle_t handle) { return *static_cast<MemoryFile*>(handle); }

tmsize_t memory_read(thandle_t handle, void* buffer, tmsize_t size) {
  MemoryFile& m = memory(handle);
  const uint64_t left = m.position < m.bytes.size() ? m.bytes.size() - m.position : 0;
  const auto n = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(size)));
  if (n > 0) std::memcpy(buffer, m.bytes.data() + m.position, n);
  m.position += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t memory_write(thandle_t handle, void* buffer, tmsize_t size) {
  MemoryFile& m = memory(handle);
  const uint64_t end = m.position + static_cast<uint64_t>(size);
  try {
    if (end > m.bytes.size()) m.bytes.resize(end);
  } catch (const std::exception&) {
    return -1;
  }
  if (size > 0) std::memcpy(m.bytes.data() + m.position, buffer, static_cast<size_t>(size));
  m.position = end;
  return size;
}

toff_t memory_seek(thandle_t handle, toff_t offset, int whence) {
  MemoryFile& m = memory(handle);
  const uint64_t base = whence == SEEK_CUR ? m.position : whence == SEEK_END ? m.bytes.size() : 0;
  m.position = base + offset;  // unsigned arithmetic: a negative offset wraps back
  return m.position;
}

int memory_close(thandle_t) { return 0; }
toff_t memory_size(thandle_t handle) { return memory(handle).bytes.size(); }

// A TIFF being written to a file, or into memory when the file name is empty.
class TiffOutput {
 public:
  TiffOutput(const std::wstring& file) : file_(file) {}
  ~TiffOutput() {
    if (tif_ != nullptr) TIFFClose(tif_);
  }
  bool open(bool big) {
    const char* mode = big ? "w8" : "w";
    tif_ = file_.empty()
               ? tiff_internal::open_client("memory", mode, &memory_, memory_read, memory_write,
                                            memory_seek, memory_close, memory_size)
               : tiff_internal::open_file(Base::Platform::native_path(file_).c_str(), mode);
    if (tif_ == nullptr && !file_.empty()) Base::note_error_code(Base::Platform::last_error());
    return tif_ != nullptr;
  }
  // Writes out what is buffered and closes; false when the data did not reach the file.
  bool finish() {
    const bool flushed = TIFFFlush(tif_) == 1;
    TIFFClose(tif_);
    tif_ = nullptr;
    return flushed;
  }
  ::TIFF* get() const { return tif_; }
  const std::vector<uint8_t>& bytes() const { return memory_.bytes; }

 private:
  std::wstring file_;
  ::TIFF* tif_ = nullptr;
  MemoryFile memory_;
};

// Maps v from [lo, hi] onto 0..top, halves away from zero; NaN and everything at or below
// lo give 0 (so does every pixel of a constant image).
uint32_t quantize(float v, float lo, float hi, float factor, uint32_t top) {
  if (!(v > lo)) return 0;
  if (v >= hi) return top;
  const float scaled = (v - lo) * factor;
  if (!(scaled >= 0.0f)) return 0;
  if (scaled >= static_cast<float>(top)) return top;
  return static_cast<uint32_t>(std::lround(scaled));
}

// Pixels go to the file in strips of about this size, each with one write call straight
// from the caller's pixels (or from one conversion buffer of this size): a write per row
// through libtiff's own buffer costs several times the bytes' own write.
constexpr uint64_t kStripBytes = uint64_t{8} << 20;

// Writes a `width` x `height` single-channel TIFF whose pixels `strip(first, rows,
// buffer)` delivers: `rows` whole rows from row `first` on, either a pointer into the
// image or into `buffer`, which it sizes and fills.
template <typename StripFn>
bool write_tiff(const std::wstring& path, const Target& target, uint32_t width, uint32_t height,
                const Math::Vector_u8& info, uint64_t pixel_bytes, StripFn strip) {
  // A regular file is written beside the target and moved over it only when complete
  // (see SaveFile), so a failed save never costs the file that was there, and a compressed
  // save never touches a file named like the target without ".gz". Messages name the TIFF
  // by the target's name less any ".gz".
  const bool compress = Base::has_gz_suffix(path);
  const std::wstring shown = compress ? path.substr(0, path.size() - 3) : path;
  if (width == 0 || height == 0) {
    Base::log_wprintf(L"FAILED to write tiff '%ls': the image has no pixels\n", shown.c_str());
    return false;
  }
  const uint64_t block_size = info.length > 0 ? padded_info_size(info.length, pixel_bytes) : 0;
  const uint64_t row_bytes = uint64_t{width} * (target.bits / 8);
  const uint64_t stored = row_bytes * height + block_size;
  const auto rows_per_strip =
      static_cast<uint32_t>(std::clamp<uint64_t>(kStripBytes / row_bytes, 1, height));

  tiff_internal::register_private_tags();
  Base::File::SaveFile save(path);
  // libtiff seeks back to finish a file, which a FIFO cannot do, and a compressor wants
  // the finished bytes: these TIFFs are built in memory and then written out in one go.
  const bool in_memory = compress || save.in_place();
  TiffOutput out(in_memory ? std::wstring() : save.write_path());
  if (!save.valid() || !out.open(stored > kClassicTiffLimit)) {
    Base::log_wprintf(L"FAILED to open tiff for writing '%ls'\n", shown.c_str());
    return false;
  }
  ::TIFF* tif = out.get();
  const bool tags_set = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1 &&
                        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1 &&
                        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, target.bits) == 1 &&
                        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
                        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, target.sample_format) == 1 &&
                        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
                        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1 &&
                        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1;
  if (!tags_set) return false;

  if (info.length > 0) {
    std::vector<uint8_t> block;
    const bool fits = block_size <= std::numeric_limits<uint32_t>::max();
    if (fits) {
      block.assign(block_size, 0);
      const auto length = static_cast<uint32_t>(info.length);
      const uint8_t prefix[4] = {static_cast<uint8_t>(length >> 24),
                                 static_cast<uint8_t>(length >> 16),
                                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
      std::memcpy(block.data(), prefix, 4);
      std::memcpy(block.data() + 4, info.data, info.length);
    }
    if (!fits ||
        TIFFSetField(tif, kTagQvxInfoV2, static_cast<uint32_t>(block.size()), block.data()) != 1) {
      Base::log_wprintf(L"FAILED to save info to tiff tag when writing '%ls'\n", shown.c_str());
      return false;
    }
  }
  if (TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip) != 1) return false;

  // Uncompressed strips in the file's own (the host's) byte order are the pixel bytes
  // themselves, so they go out raw: libtiff appends each at the end of the file, one
  // after the other, and neither copies nor swaps them.
  std::vector<uint8_t> buffer;
  uint32_t index = 0;
  for (uint32_t first = 0; first < height; first += rows_per_strip, ++index) {
    const uint32_t rows = std::min(rows_per_strip, height - first);
    const auto bytes = static_cast<tmsize_t>(row_bytes * rows);
    void* pixels = const_cast<void*>(strip(first, rows, buffer));
    if (TIFFWriteRawStrip(tif, index, pixels, bytes) != bytes) {
      Base::log_wprintf(L"FAILED to write pixel row %u of tiff '%ls'\n", first, shown.c_str());
      return false;
    }
  }
  if (!out.finish()) {
    Base::log_wprintf(L"FAILED to write tiff '%ls'\n", shown.c_str());
    return false;
  }
  if (in_memory) {
    Base::File::WriterPtr writer;
    const std::vector<uint8_t>& bytes = out.bytes();
    const bool written = Base::File::make_writer(writer, save.write_path(), compress) &&
                         writer->write(bytes.data(), bytes.size()) == bytes.size() &&
                         writer->close() && save.commit();
    if (!written) {
      if (compress) {
        Base::log_wprintf(L"FAILED to compress tiff '%ls'\n", path.c_str());
      } else {
        Base::log_wprintf(L"FAILED to write tiff '%ls'\n", shown.c_str());
      }
    }
    return written;
  }
  if (!save.commit()) {
    Base::log_wprintf(L"FAILED to write tiff '%ls'\n", shown.c_str());
    return false;
  }
  return true;
}

// `rows` rows of `cols` samples from `in` on, converted by `convert` into `buffer`.
template <typename Sample, typename Convert>
const void* convert_strip(const Sample* in, uint32_t rows, uint32_t cols,
                          std::vector<uint8_t>& buffer, Convert convert) {
  using Out = decltype(convert(*in));
  const uint64_t count = uint64_t{rows} * cols;
  if (buffer.size() < count * sizeof(Out)) buffer.resize(count * sizeof(Out));
  auto* out = reinterpret_cast<Out*>(buffer.data());
  for (uint64_t i = 0; i < count; ++i) out[i] = convert(in[i]);
  return buffer.data();
}

// The strip writer for integer output of float pixels over [lo, hi].
template <typename Sample>
auto quantized_strips(const Image_f& image, float lo, float hi) {
  constexpr uint32_t top = std::numeric_limits<Sample>::max();
  const float factor = static_cast<float>(top) / (hi - lo);
  return [&image, lo, hi, factor](uint32_t first, uint32_t rows,
                                  std::vector<uint8_t>& buffer) -> const void* {
    return convert_strip(image.row(first), rows, image.cols, buffer, [&](float v) {
      return static_cast<Sample>(quantize(v, lo, hi, factor, top));
    });
  };
}

// The same for integer pixels: unchanged without a range, else mapped onto 0..top.
template <typename Sample>
bool save_int(const Image_int<Sample>& image, const std::wstring& path, const Target& target,
              Sample cmin, Sample cmax) {
  const bool ranged = cmin < cmax;
  constexpr uint32_t top = std::numeric_limits<Sample>::max();
  const float factor = static_cast<float>(top) / static_cast<float>(cmax - cmin);
  return write_tiff(
      path, target, image.width(), image.height(), image.info,
      uint64_t{image.width()} * image.height() * sizeof(Sample),
      [&](uint32_t first, uint32_t rows, std::vector<uint8_t>& buffer) -> const void* {
        if (!ranged) return image.row(first);
        return convert_strip(image.row(first), rows, image.width(), buffer, [&](Sample v) {
          return static_cast<Sample>(quantize(static_cast<float>(v), cmin, cmax, factor, top));
        });
      });
}

}  // namespace

bool TIFF::matches_signature(const uint8_t* bytes, size_t size) const {
  if (size < 4) return false;
  const uint32_t magic = Base::load_le32(bytes);
  return magic == 0x002A4949 || magic == 0x2A004D4D;
}

uint64_t padded_info_size(uint64_t info_length, uint64_t pixel_bytes) {
  const int e = pixel_bytes == 0 ? 0 : static_cast<int>(std::bit_width(pixel_bytes)) - 1;
  const uint64_t unit = e <= 20 ? 1024 : uint64_t{1} << (e - 10);
  return (info_length + 4 + unit - 1) / unit * unit;
}

bool TIFF::save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
                  float cmin, float cmax) {
  const bool ranged = cmin < cmax;
  const uint64_t pixel_bytes = uint64_t{image.cols} * image.rows * 4;
  if (format == kGray32.name) {
    const float inverse = 1.0f / (cmax - cmin);
    return write_tiff(
        path, kGray32, image.cols, image.rows, image.info, pixel_bytes,
        [&](uint32_t first, uint32_t rows, std::vector<uint8_t>& buffer) -> const void* {
          if (!ranged) return image.row(first);
          return convert_strip(image.row(first), rows, image.cols, buffer, [&](float v) {
            return v <= cmin ? 0.0f : v >= cmax ? 1.0f : (v - cmin) * inverse;
          });
        });
  }
  const bool to16 = format == kGray16.name;
  if (!to16 && format != kGray8.name) return false;
  float lo = cmin, hi = cmax;
  if (!ranged) {
    // The data's own range, found before the first row is written; NaN takes no part.
    lo = std::numeric_limits<float>::infinity();
    hi = -lo;
    const uint64_t count = uint64_t{image.rows} * image.cols;
    for (uint64_t i = 0; i < count; ++i) {
      lo = std::min(lo, image.data[i]);
      hi = std::max(hi, image.data[i]);
    }
    if (lo > hi) lo = hi = 0.0f;
  }
  if (to16) {
    return write_tiff(path, kGray16, image.cols, image.rows, image.info, pixel_bytes,
                      quantized_strips<uint16_t>(image, lo, hi));
  }
  return write_tiff(path, kGray8, image.cols, image.rows, image.info, pixel_bytes,
                    quantized_strips<uint8_t>(image, lo, hi));
}

bool TIFF::save_u16(const Image_u16& image, const std::wstring& path, const std::wstring& format,
                    uint16_t cmin, uint16_t cmax) {
  return format == kGray16.name && save_int(image, path, kGray16, cmin, cmax);
}

bool TIFF::save_u8(const Image_u8& image, const std::wstring& path, const std::wstring& format,
                   uint8_t cmin, uint8_t cmax) {
  return format == kGray8.name && save_int(image, path, kGray8, cmin, cmax);
}

}  // namespace QVX::Image::Format
