#include "image/png_format.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/file/writers.h"
#include "base/log.h"
#include "base/platform.h"

namespace QVX::Image::Format {

namespace {

using Base::log_wprintf;
using Base::log_wprintf_level;

const wchar_t kFormatName[] = L"gray_png8";

// Decoded rows and the float image are each kept to 1 GiB at most, so a hostile header cannot
// make the loader allocate without bound.
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 30;
// libpng allocates rows of the declared width before the loader sees them.
constexpr png_uint_32 kMaxSide = png_uint_32{1} << 24;
// Ancillary chunks (text, profiles) are not used; these caps keep them small.
constexpr png_alloc_size_t kMaxChunkBytes = png_alloc_size_t{8} << 20;
constexpr png_uint_32 kMaxChunkCount = 1000;
// Deflate never expands data by more than about 1032:1; a header that claims more image
// data than the file can hold is refused before any pixel memory is allocated.
constexpr uint64_t kMaxInflation = 1100;
constexpr uint64_t kInflationSlack = uint64_t{1} << 16;
constexpr size_t kReadBufferBytes = size_t{64} << 10;

// The libpng error text, kept in plain storage because libpng leaves by a long jump.
struct ErrorText {
  char text[256];
};

void keep_error(ErrorText* error, png_const_charp message) {
  std::snprintf(error->text, sizeof error->text, "%s", message != nullptr ? message : "unknown");
}

std::wstring widened(const char* text) {
  std::wstring out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    out.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : L'?');
  }
  return out;
}

// Everything the read path shares with libpng's callbacks: plain data only, so that a long
// jump out of libpng skips no destructor.
struct Reader {
  int fd;
  const wchar_t* file_name;
  uint8_t* buffer;
  size_t buffer_pos;
  size_t buffer_fill;
  png_structp png;
  png_infop info;
  png_uint_32 width;
  png_uint_32 height;
  int header_depth;
  int interlaced;
  size_t raw_row_bytes;
  int depth;
  int channels;
  size_t row_bytes;
  ErrorText error;
};

void on_read_error(png_structp png, png_const_charp message) {
  keep_error(&static_cast<Reader*>(png_get_error_ptr(png))->error, message);
  png_longjmp(png, 1);
}

// Warnings concern ancillary data (bad CRC in a text chunk, odd gamma); they are only
// worth a detail entry.
void on_read_warning(png_structp png, png_const_charp message) {
  const auto* reader = static_cast<const Reader*>(png_get_error_ptr(png));
  try {
    log_wprintf_level(1, L"WARNING: png '%ls': %ls\n", reader->file_name,
                      widened(message != nullptr ? message : "").c_str());
  } catch (...) {
    // Nothing may propagate into libpng's C frames.
  }
}

// Reads through our own buffer on the duplicated descriptor: the platform layer owns the
// descriptor calls, and no C runtime stream is needed.
void on_read_data(png_structp png, png_bytep out, size_t size) {
  auto* reader = static_cast<Reader*>(png_get_io_ptr(png));
  while (size > 0) {
    if (reader->buffer_pos == reader->buffer_fill) {
      const std::ptrdiff_t got =
          Base::Platform::read_descriptor(reader->fd, reader->buffer, kReadBufferBytes);
      if (got < 0) png_error(png, "Read Error");
      if (got == 0) png_error(png, "Unexpected end of file");
      reader->buffer_pos = 0;
      reader->buffer_fill = static_cast<size_t>(got);
    }
    size_t piece = reader->buffer_fill - reader->buffer_pos;
    if (piece > size) piece = size;
    std::memcpy(out, reader->buffer + reader->buffer_pos, piece);
    reader->buffer_pos += piece;
    out += piece;
    size -= piece;
  }
}

// The gray of a colour with the weights libpng's gray conversion uses: the Y of the cHRM
// primaries when the file has them, else its defaults (6968, 23434, 2366 of 32768).
png_uint_16 gray_of(png_structp png, png_infop info, const png_color_16& colour) {
  uint64_t red = 6968;
  uint64_t green = 23434;
  png_fixed_point x = 0, z = 0, ry = 0, gy = 0, by = 0;
  if (png_get_valid(png, info, PNG_INFO_cHRM) != 0 &&
      png_get_cHRM_XYZ_fixed(png, info, &x, &ry, &z, &x, &gy, &z, &x, &by, &z) != 0 && ry >= 0 &&
      gy >= 0 && by >= 0 && int64_t{ry} + gy + by > 0) {
    const int64_t total = int64_t{ry} + gy + by;
    red = static_cast<uint64_t>((int64_t{ry} * 32768 + total / 2) / total);
    green = static_cast<uint64_t>((int64_t{gy} * 32768 + total / 2) / total);
  }
  const uint64_t blue = red + green <= 32768 ? 32768 - red - green : 0;
  const uint64_t gray =
      (red * colour.red + green * colour.green + blue * colour.blue + 16384) >> 15;
  const uint64_t top = png_get_bit_depth(png, info) == 16 ? 0xFFFF : 0xFF;
  return static_cast<png_uint_16>(gray < top ? gray : top);
}

void set_read_transforms(Reader* r) {
  png_structp png = r->png;
  png_infop info = r->info;
  png_set_read_fn(png, r, on_read_data);
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_set_chunk_cache_max(png, kMaxChunkCount);
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  png_read_info(png, info);
  r->width = png_get_image_width(png, info);
  r->height = png_get_image_height(png, info);
  r->header_depth = png_get_bit_depth(png, info);
  r->interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  r->raw_row_bytes = png_get_rowbytes(png, info);
  // Palette, gray below 8 bits and tRNS become plain samples with alpha, so every file
  // ends as one gray channel of 8 or 16 bits once the alpha is composited.
  png_set_expand(png);
  png_set_rgb_to_gray_fixed(png, PNG_ERROR_ACTION_NONE, -100000, -100000);
  png_color_16p background = nullptr;
  if (png_get_bKGD(png, info, &background) != 0 && background != nullptr) {
    png_color_16 chosen = *background;
    // The colour is turned into gray before compositing, so libpng composites onto the
    // background's gray field, which a colour bKGD leaves at 0 (black).
    if ((png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) != 0 &&
        png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) {
      chosen.gray = gray_of(png, info, chosen);
    }
    png_set_background_fixed(png, &chosen, PNG_BACKGROUND_GAMMA_FILE, 1, PNG_FP_1);
  } else {
    png_color_16 black{};
    png_set_background_fixed(png, &black, PNG_BACKGROUND_GAMMA_SCREEN, 0, PNG_FP_1);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  r->depth = png_get_bit_depth(png, info);
  r->channels = png_get_channels(png, info);
  r->row_bytes = png_get_rowbytes(png, info);
}

// The only frames between libpng's long jump and these set-jump points are libpng's and
// the callbacks above, none of which owns anything with a destructor.
bool read_header(Reader* r) {
  if (setjmp(png_jmpbuf(r->png)) != 0) return false;
  set_read_transforms(r);
  return true;
}

bool read_pixels(Reader* r, png_bytepp rows) {
  if (setjmp(png_jmpbuf(r->png)) != 0) return false;
  png_read_image(r->png, rows);
  return true;
}

// Owns the duplicate descriptor, the read buffer and the libpng structures of one load.
class ReadSession {
 public:
  ReadSession() = default;
  ReadSession(const ReadSession&) = delete;
  ReadSession& operator=(const ReadSession&) = delete;
  ~ReadSession() {
    if (reader_.png != nullptr) png_destroy_read_struct(&reader_.png, &reader_.info, nullptr);
    std::free(reader_.buffer);
    if (reader_.fd >= 0) Base::Platform::close_descriptor(reader_.fd);
  }

  // Steps up to the updated header; every failure is logged.
  bool open(int fd, const std::wstring& file_name) {
    reader_.fd = Base::Platform::duplicate_descriptor(fd);
    reader_.file_name = file_name.c_str();
    if (reader_.fd < 0) {
      log_wprintf(L"FAILED to duplicate png descriptor for reading '%ls'\n", file_name.c_str());
      return false;
    }
    reader_.buffer = static_cast<uint8_t*>(std::malloc(kReadBufferBytes));
    if (reader_.buffer == nullptr) {
      log_wprintf(L"FAILED to open jpeg png stream for reading '%ls'\n", file_name.c_str());
      return false;
    }
    reader_.png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader_, on_read_error, on_read_warning);
    if (reader_.png != nullptr) reader_.info = png_create_info_struct(reader_.png);
    if (reader_.png == nullptr || reader_.info == nullptr) {
      return fail(file_name, "cannot create the png read structures");
    }
    if (!read_header(&reader_)) return fail(file_name, reader_.error.text);
    if (reader_.channels != 1 || (reader_.depth != 8 && reader_.depth != 16) ||
        reader_.row_bytes < uint64_t{reader_.width} * (reader_.depth / 8)) {
      return fail(file_name, "unexpected pixel layout after conversion to gray");
    }
    return true;
  }

  // Rows are sized from libpng's count after the transforms, never from the width.
  bool read(uint8_t* pixels, png_bytepp rows, const std::wstring& file_name) {
    for (png_uint_32 r = 0; r < reader_.height; ++r) rows[r] = pixels + r * reader_.row_bytes;
    if (!read_pixels(&reader_, rows)) return fail(file_name, reader_.error.text);
    return true;
  }

  // Refuses sizes beyond the limits, and headers claiming more data than the file holds.
  bool sizes_allowed(const std::wstring& file_name) {
    const uint64_t height = reader_.height;
    const uint64_t decoded = height * reader_.row_bytes;
    const uint64_t floats = height * reader_.width * sizeof(float);
    if (decoded > kMaxImageBytes || floats > kMaxImageBytes) {
      return fail(file_name, "image too large to load");
    }
    const uint64_t filtered =
        height * (uint64_t{reader_.raw_row_bytes} + 1) + (reader_.interlaced ? 7 * height : 0);
    const int64_t file_size = Base::Platform::descriptor_size(reader_.fd);
    if (file_size > 0 &&
        filtered > static_cast<uint64_t>(file_size) * kMaxInflation + kInflationSlack) {
      return fail(file_name, "image data cannot fit in the file");
    }
    return true;
  }

  const Reader& reader() const { return reader_; }

 private:
  static bool fail(const std::wstring& file_name, const char* why) {
    log_wprintf(L"FAILED to read png '%ls': %ls\n", file_name.c_str(), widened(why).c_str());
    return false;
  }

  Reader reader_{-1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, {}};
};

// The write path's shared state, plain data for the same reason as Reader.
struct Writer {
  std::FILE* stream;
  png_structp png;
  png_infop info;
  png_uint_32 width;
  png_uint_32 height;
  const float* pixels;
  uint8_t* row;
  double min;
  double max;
  double factor;
  ErrorText error;
};

void on_write_error(png_structp png, png_const_charp message) {
  keep_error(&static_cast<Writer*>(png_get_error_ptr(png))->error, message);
  png_longjmp(png, 1);
}

void on_write_warning(png_structp, png_const_charp) {}

uint8_t to_byte(float value, const Writer* w) {
  if (!(value > w->min)) return 0;  // NaN too
  if (value >= w->max) return 255;
  // Values just below max scale to 256 before rounding; a byte holds 255.
  const double scaled = std::round((value - w->min) * w->factor);
  return scaled >= 255.0 ? 255 : static_cast<uint8_t>(scaled);
}

void write_header_steps(Writer* w) {
  png_init_io(w->png, w->stream);
  png_set_user_limits(w->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(w->png, w->info, w->width, w->height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(w->png, w->info);
  const uint64_t row_size = uint64_t{w->width} * 8;
  if (w->height > UINT64_MAX / row_size) png_error(w->png, "Image_data buffer would be too large");
  if (w->height > 0x1FFFFFFF) png_error(w->png, "Image is too tall to process in memory");
}

void write_row_steps(Writer* w) {
  for (png_uint_32 r = 0; r < w->height; ++r) {
    const float* source = w->pixels + uint64_t{r} * w->width;
    for (png_uint_32 c = 0; c < w->width; ++c) w->row[c] = to_byte(source[c], w);
    png_write_row(w->png, w->row);
  }
  png_write_end(w->png, nullptr);
}

bool write_header(Writer* w) {
  if (setjmp(png_jmpbuf(w->png)) != 0) return false;
  write_header_steps(w);
  return true;
}

bool write_rows(Writer* w) {
  if (setjmp(png_jmpbuf(w->png)) != 0) return false;
  write_row_steps(w);
  return true;
}

// The range actually used: the given one, or the data's own (NaN ignored).
void choose_range(const Image_f& image, float cmin, float cmax, Writer* w) {
  if (cmax > cmin) {
    w->min = cmin;
    w->max = cmax;
  } else {
    bool any = false;
    float lo = 0.0f;
    float hi = 0.0f;
    const uint64_t count = uint64_t{image.width()} * image.height();
    for (uint64_t i = 0; i < count; ++i) {
      const float v = image.data[i];
      if (std::isnan(v)) continue;
      if (!any || v < lo) lo = v;
      if (!any || v > hi) hi = v;
      any = true;
    }
    w->min = lo;
    w->max = hi;
  }
  w->factor = 256.0;
  if (w->max > w->min) w->factor /= (w->max - w->min);
}

// Creates the file and writes it; false with the reason in w->error.
bool write_file(const Image_f& image, float cmin, float cmax, Writer* w) {
  w->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, w, on_write_error, on_write_warning);
  if (w->png != nullptr) w->info = png_create_info_struct(w->png);
  if (w->png == nullptr || w->info == nullptr) {
    keep_error(&w->error, "cannot create the png write structures");
    return false;
  }
  if (!write_header(w)) return false;
  choose_range(image, cmin, cmax, w);
  const std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[w->width]);
  if (row == nullptr) {
    keep_error(&w->error, "out of memory for a pixel row");
    return false;
  }
  w->row = row.get();
  const bool written = write_rows(w);
  w->row = nullptr;
  return written;
}

}  // namespace

bool PNG::matches_signature(const uint8_t* bytes, size_t size) const {
  static const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  return bytes != nullptr && size >= 8 && std::memcmp(bytes, kSignature, 8) == 0;
}

bool PNG::save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
                 float cmin, float cmax) {
  if (format != kFormatName) return false;
  // Checked before anything divides by the row size or creates the file.
  if (image.width() == 0 || image.height() == 0 || image.data == nullptr) {
    log_wprintf(L"FAILED to save png '%ls': the image has no pixels (w=%u, h=%u)\n", path.c_str(),
                image.width(), image.height());
    return false;
  }
  std::optional<Base::File::SaveFile> save;
  std::FILE* stream = nullptr;
  try {
    save.emplace(path);
    if (save->valid())
      stream = std::fopen(Base::Platform::native_path(save->write_path()).c_str(), "wb");
  } catch (const std::range_error&) {
    stream = nullptr;
  }
  if (stream == nullptr) {
    Base::note_error_code(Base::Platform::last_error());
    log_wprintf(L"FAILED to open png file stream for writing '%ls'\n", path.c_str());
    return false;
  }
  Writer w{stream, nullptr, nullptr, image.width(), image.height(), image.data, nullptr, 0,
           0,      0,       {}};
  bool ok = write_file(image, cmin, cmax, &w);
  if (w.png != nullptr) png_destroy_write_struct(&w.png, &w.info);
  // Buffered bytes reach the file only here, so a full disk may show up at the close.
  const bool closed = std::fclose(stream) == 0;
  if (!closed) Base::note_error_code(Base::Platform::last_error());
  if (ok && (!closed || !save->commit())) {
    keep_error(&w.error, "Write Error");
    ok = false;
  }
  if (!ok) {
    log_wprintf(L"FAILED to write png '%ls': %ls\n", path.c_str(), widened(w.error.text).c_str());
    return false;
  }
  log_wprintf(L"Saved png '%ls' from float (w=%u, h=%u, fmt=%ls, info_len=%u', cmin=%f, cmax=%f)\n",
              path.c_str(), image.width(), image.height(), format.c_str(),
              static_cast<unsigned>(image.info.length), w.min, w.max);
  return true;
}

bool PNG::load_description(Image_desc& desc, int fd) {
  ReadSession session;
  if (!session.open(fd, desc.file_name)) return false;
  const Reader& r = session.reader();
  const Image_desc fresh(r.height, r.width, desc.file_name, kFormatName,
                         static_cast<uint32_t>(r.depth / 8));
  if (!desc.assign_description(fresh) || !desc.resize(r.height, r.width)) return false;
  log_wprintf_level(1,
                    L"Loaded png description '%ls' (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u')\n",
                    desc.file_name.c_str(), desc.width(), desc.height(), desc.format_name.c_str(),
                    desc.bytes_per_sample, static_cast<unsigned>(desc.info.length));
  return true;
}

bool PNG::load_f(Image_f& image, int fd) {
  ReadSession session;
  if (!session.open(fd, image.file_name) || !session.sizes_allowed(image.file_name)) return false;
  const Reader& r = session.reader();
  const std::unique_ptr<uint8_t[]> pixels(new (std::nothrow)
                                              uint8_t[uint64_t{r.height} * r.row_bytes]);
  const std::unique_ptr<png_bytep[]> rows(new (std::nothrow) png_bytep[r.height]);
  if (pixels == nullptr || rows == nullptr) {
    log_wprintf(L"FAILED to read png '%ls': out of memory\n", image.file_name.c_str());
    return false;
  }
  if (!session.read(pixels.get(), rows.get(), image.file_name)) return false;

  const Image_desc desc(r.height, r.width, image.file_name, kFormatName,
                        static_cast<uint32_t>(r.depth / 8));
  if (!image.resize(r.height, r.width) || !image.assign_description(desc)) return false;
  // libpng delivers 16-bit samples most significant byte first.
  const bool wide = r.depth == 16;
  const float scale = wide ? 1.0f / 65536.0f : 1.0f / 256.0f;
  for (png_uint_32 y = 0; y < r.height; ++y) {
    const uint8_t* source = rows[y];
    float* out = image.row(y);
    for (png_uint_32 x = 0; x < r.width; ++x) {
      const unsigned value =
          wide ? (unsigned{source[2 * x]} << 8) | source[2 * x + 1] : unsigned{source[x]};
      out[x] = static_cast<float>(value) * scale;
    }
  }
  log_wprintf_level(1, L"Loaded png '%ls' into float (w=%u, h=%u, fmt=%ls, bpp=%u, info_len=%u')\n",
                    image.file_name.c_str(), image.width(), image.height(),
                    image.format_name.c_str(), image.bytes_per_sample,
                    static_cast<unsigned>(image.info.length));
  return true;
}

}  // namespace QVX::Image::Format
