// TIFF files: loaded from files libtiff and tifffile wrote, saved and read back with them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/utf.h"
#include "image/tiff_format.h"
#include "image/tiff_internal.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/external_tools.h"
#include "tests/support/image_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::Image::Format {
namespace {

namespace ts = QVX::TestSupport;
using ts::wide;

using Bytes = std::vector<uint8_t>;
using Tags = std::function<void(::TIFF*)>;

template <typename T>
Bytes raw(std::initializer_list<T> values) {
  Bytes out(values.size() * sizeof(T));
  std::memcpy(out.data(), values.begin(), out.size());
  return out;
}

struct Layout {
  uint32_t bits, samples, format, photometric;
};

// Writes a TIFF of 3 columns and 2 rows, each row being `row`; `tags` sets more tags.
void write_tiff(const std::string& path, const char* mode, Layout l, const Bytes& row,
                const Tags& tags = nullptr) {
  tiff_internal::register_private_tags();
  ::TIFF* tif = TIFFOpen(path.c_str(), mode);
  ASSERT_NE(tif, nullptr);
  const uint32_t fields[][2] = {{TIFFTAG_IMAGEWIDTH, 3},
                                {TIFFTAG_IMAGELENGTH, 2},
                                {TIFFTAG_BITSPERSAMPLE, l.bits},
                                {TIFFTAG_SAMPLESPERPIXEL, l.samples},
                                {TIFFTAG_SAMPLEFORMAT, l.format},
                                {TIFFTAG_PHOTOMETRIC, l.photometric},
                                {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG}};
  for (const auto& field : fields) TIFFSetField(tif, field[0], field[1]);
  if (tags) tags(tif);
  for (uint32_t r = 0; r < 2; ++r) {
    Bytes copy = row;  // libtiff swaps the bytes of a big-endian file in place
    EXPECT_EQ(TIFFWriteScanline(tif, copy.data(), r, 0), 1);
  }
  TIFFClose(tif);
}

// The info block: big-endian `claimed` length, `text`, zero padding up to `size` bytes.
Bytes block(uint32_t claimed, const std::string& text, size_t size) {
  Bytes out(std::max(size, 4 + text.size()));
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(claimed >> (24 - 8 * i));
  std::copy(text.begin(), text.end(), out.begin() + 4);
  out.resize(size);
  return out;
}

Tags info_tags(const Bytes& v2, const std::string& v1 = "") {
  return [=](::TIFF* tif) {
    TIFFSetField(tif, kTagQvxInfoV2, uint32_t(v2.size()), v2.data());
    if (!v1.empty()) TIFFSetField(tif, kTagQvxInfoV1, uint32_t(v1.size()), v1.data());
  };
}

std::string info_of(const Image& image) {
  return std::string(reinterpret_cast<const char*>(image.info.data), image.info.length);
}

template <typename I>
bool load(const std::string& path, I& image) {
  return ts::load_image(TIFF(), path, image);
}

std::string log_fields(const std::string& format, uint32_t bpp) {
  return "(w=3, h=2, fmt=" + format + ", bpp=" + std::to_string(bpp) + ", info_len=0)\n";
}

TEST(TiffLoad, RefusesWhatItCannotRead) {
  // libtiff's own message comes first, in our log.
  const std::string not_tiff =
      "libtiff error: QVX::Image::Format::TIFF::load: Not a TIFF or MDI file, bad magic number "
      "26740 (0x6874)\n";
  const struct {
    Layout layout;
    std::string failure, description;
  } cases[] = {
      {{64, 1, 3, 1},
       "FAILED to read unknown tiff image data in '%' (spp=1, bpp=64, smpl=3)\n",
       "Loaded tiff description '%' " + log_fields("unsupported_tif", 8)},
      {{16, 3, 1, 2},
       "FAILED to read tiff data: Inconsistent samples and bits per pixel\n"
       "FAILED to read rgb tiff image data in '%' (rgb_tif)\n",
       "Loaded tiff description '%' " + log_fields("rgb_tif", 2)},
      {{0, 0, 0, 0},
       not_tiff + "FAILED to open tiff for reading '%'\n",
       not_tiff + "FAILED to open tiff for reading the description in '%'\n"},
  };
  for (const auto& c : cases) {
    ts::TempDir dir;
    const std::string path = dir.file("bad.tif");
    if (c.layout.bits == 0) ts::write_file(path, "this is not a tiff file");
    if (c.layout.bits != 0)
      write_tiff(path, "w", c.layout, Bytes(3 * c.layout.samples * c.layout.bits / 8));
    ts::CaptureStdout capture;
    Image_f image;
    Image_desc desc;
    EXPECT_FALSE(load(path, image));
    EXPECT_EQ(load(path, desc), c.layout.bits != 0);
    std::string expected = c.failure + c.description;
    for (size_t at; (at = expected.find('%')) != std::string::npos;) expected.replace(at, 1, path);
    EXPECT_EQ(ts::strip_timestamps(capture.text()), expected);
  }
}

// Blocks in each byte order and offset size, beside the older text tag (which wins), and
// one claiming more than it holds: loaded as they are, and found where they lie.
TEST(TiffLoad, ReadsAndFindsTheInfoBlocks) {
  const std::string v1("hello", 6), k60(60, 'k');  // v1 with its terminating zero
  const struct {
    const char* mode;
    Bytes block;
    std::string v1, info, warning;
  } cases[] = {
      {"w", block(3, "abc", 64), "", "abc", ""},
      {"w", block(3, "abc", 64), v1, v1 + '\0', ""},
      {"w", block(100, "wxyz", 8), "", "wxyz", "claims 100 bytes, block holds 4\n"},
      {"wb", block(60, k60, 64), "", k60, ""},
      {"w", block(0, "", 4), "", "", ""},
      {"w8", block(60, k60, 64), "", k60, ""},
      {"wb8", block(4, "kkkk", 8), "", "kkkk", ""},
  };
  for (const auto& c : cases) {
    ts::TempDir dir;
    const std::string path = dir.file("i.tif");
    write_tiff(path, c.mode, {32, 1, 3, 1}, Bytes(12), info_tags(c.block, c.v1));
    write_tiff(dir.file("none.tif"), c.mode, {32, 1, 3, 1}, Bytes(12));
    ts::CaptureStdout capture;
    Image_f image;
    Image_desc desc;
    ASSERT_TRUE(load(path, image) && load(path, desc));
    EXPECT_EQ(info_of(image) + "|" + info_of(desc), c.info + "|" + c.info);
    const std::string warning = "WARNING: tiff description in '" + path + "' " + c.warning;
    const std::string log = ts::strip_timestamps(capture.text());
    EXPECT_EQ(log.find(warning) != std::string::npos, !c.warning.empty()) << log;
    const int fd = ::open(path.c_str(), O_RDONLY), none = ::open(dir.file("none.tif").c_str(), 0);
    ASSERT_EQ(::lseek(fd, 5, SEEK_SET), 5);
    const std::optional<InfoEntry> entry = find_info_entry(fd);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 5);  // the position is left alone
    EXPECT_FALSE(find_info_entry(none).has_value());
    ::close(fd), ::close(none);
    ASSERT_TRUE(entry.has_value()) << c.mode;
    EXPECT_EQ(ts::read_file(path).substr(entry->offset, entry->count),
              std::string(c.block.begin(), c.block.end()));
  }
}

// A 3 x 2 float file whose 64-byte info block holds "abc" (or that has no block), open for
// writing, and a description of it with `info`.
struct UpdateFixture {
  ts::TempDir dir;
  std::string path = dir.file("u.tif");
  Image_desc desc;
  int fd = -1;
  UpdateFixture(const std::string& info, uint32_t width = 3, bool with_block = true)
      : desc(2, width, wide(path), L"gray_tif32", 4) {
    write_tiff(path, "w", {32, 1, 3, 1}, raw<float>({0.25f, 0.5f, 2}),
               with_block ? info_tags(block(3, "abc", 64)) : Tags());
    desc.info.resize(info.size());
    std::memcpy(desc.info.data, info.data(), info.size());
    fd = ::open(path.c_str(), O_RDWR);
  }
  ~UpdateFixture() {
    if (fd >= 0) ::close(fd);
  }
};

// A block that fits changes in place and nothing else; a longer one rewrites the file
// (closing the descriptor); another size is refused.
TEST(TiffUpdate, InPlaceRewrittenOrRefused) {
  UpdateFixture f("xyz12"), longer(std::string(100, 'q')), other("new", 4, false);
  const std::string before = ts::read_file(f.path);
  const InfoEntry entry = find_info_entry(f.fd).value();
  ts::CaptureStdout capture;
  ASSERT_TRUE(TIFF().update_description(f.desc, f.fd));
  EXPECT_GE(f.fd, 0);
  std::string after = ts::read_file(f.path);
  EXPECT_EQ(after.substr(entry.offset, 9), std::string("\0\0\0\5xyz12", 9));
  after.replace(entry.offset, 64, before.substr(entry.offset, 64));
  EXPECT_EQ(after, before);
  EXPECT_FALSE(TIFF().update_description(other.desc, other.fd));
  EXPECT_GE(other.fd, 0);
  const std::string log = ts::strip_timestamps(capture.text());
  EXPECT_EQ(log.rfind("Updated image description '" + f.path + "' (info_len=5')\n", 0), 0u);
  EXPECT_NE(log.find("FAILED to write tiff description: Inconsistent image size (img w=3 h=2, "
                     "desc w=4 h=2)\n"),
            std::string::npos);

  ASSERT_TRUE(TIFF().update_description(longer.desc, longer.fd));
  EXPECT_EQ(longer.fd, -1);
  Image_f image;
  ASSERT_TRUE(load(longer.path, image));
  EXPECT_EQ(info_of(image), std::string(100, 'q'));
  EXPECT_EQ(image(1, 2), 2.0f);
}

// Tags, strips and samples of the TIFF at `path`, as libtiff reads them.
struct Read {
  uint32_t width = 0, height = 0, rows_per_strip = 0;
  uint16_t bits = 0, format = 0, photometric = 99, compression = 0;
  std::vector<uint8_t> bytes;  // all rows
  std::vector<uint8_t> info;   // the 65001 block; empty when absent
};

Read read_tiff(const std::string& path) {
  tiff_internal::register_private_tags();
  Read r;
  ::TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return r;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &r.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &r.height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
  TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &r.format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &r.photometric);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &r.compression);
  TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &r.rows_per_strip);
  uint32_t count = 0;
  uint8_t* block = nullptr;
  if (TIFFGetField(tif, kTagQvxInfoV2, &count, &block) == 1) {
    r.info.assign(block, block + count);
  }
  std::vector<uint8_t> line(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < r.height && TIFFReadScanline(tif, line.data(), y, 0) == 1; ++y) {
    r.bytes.insert(r.bytes.end(), line.begin(), line.end());
  }
  TIFFClose(tif);
  return r;
}

// Integer output maps the range with halves away from zero; float output keeps the
// caller's pixels without a range. Samples compared as 16 bits: floats by their high half.
TEST(TiffSave, PixelsAndTagsAsLibtiffReadsThem) {
  ts::TempDir dir;
  const std::string path = dir.file("i.tif");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const wchar_t* format;
    std::vector<float> pixels;
    float cmin, cmax;
    std::vector<uint16_t> expected;
  } cases[] = {
      {L"gray_tif16", {0.0f, 0.5f, 1.0f}, 1.0f, -1.0f, {0, 32768, 65535}},
      {L"gray_tif8", {-1.0f, 0.0f, 1.0f}, 1.0f, -1.0f, {0, 128, 255}},
      {L"gray_tif8", {7.0f, 7.0f, 7.0f}, 1.0f, -1.0f, {0, 0, 0}},  // constant image
      {L"gray_tif8", {-5.0f, 0.5f, 9.0f, nan}, 0.0f, 1.0f, {0, 128, 255, 0}},
      {L"gray_tif32", {-5.0f, 0.25f, 9.0f}, 0.0f, 1.0f, {0, 0x3E80, 0x3F80}},
      {L"gray_tif32", {1.5f, -2.0f, 1e-40f, -0.0f}, 1.0f, -1.0f, {0x3FC0, 0xC000, 0x0001, 0x8000}},
  };
  for (const auto& c : cases) {
    std::vector<float> pixels = c.pixels;
    const Image_f image(pixels.data(), 1, static_cast<uint32_t>(pixels.size()));
    ASSERT_TRUE(TIFF().save_f(image, wide(path), c.format, c.cmin, c.cmax));
    const Read r = read_tiff(path);
    EXPECT_EQ(std::tuple(r.width, r.height, r.format, r.photometric, r.compression),
              std::tuple(pixels.size(), 1u, r.bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT,
                         PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE));
    EXPECT_TRUE(r.info.empty());  // no description, no block
    for (size_t i = 0; i < c.expected.size(); ++i) {
      const uint8_t* sample = r.bytes.data() + i * r.bits / 8;
      const uint32_t got = r.bits == 8    ? sample[0]
                           : r.bits == 16 ? sample[0] | sample[1] << 8
                                          : (sample[2] | sample[3] << 8);
      EXPECT_EQ(got, c.expected[i]) << "pixel " << i << " of case " << c.pixels[i];
    }
  }
}

// 8.7 million pixels: several strips at each integer depth (their layout, shared with float
// output, is what the tifffile comparison maps); rows on either side of each strip boundary
// come out as they do when saved alone.
TEST(TiffSave, LargeImagesConvertAlikeOnEitherSideOfStripBoundaries) {
  ts::TempDir dir;
  constexpr uint32_t kRows = 3001, kCols = 2900;
  std::vector<float> floats(size_t{kRows} * kCols);
  std::vector<uint16_t> u16(floats.size());
  std::vector<uint8_t> u8(floats.size());
  uint32_t state = 12345;
  for (size_t i = 0; i < floats.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    floats[i] = static_cast<float>(state >> 8) * 1.8e-7f - 1.0f;
    u16[i] = static_cast<uint16_t>(state >> 16);
    u8[i] = static_cast<uint8_t>(state >> 24);
  }
  // Source 0: floats, 1: u16, 2: u8; for integer sources the range is of their own type.
  const struct {
    const wchar_t* format;
    int source;
    float cmin, cmax;
    uint32_t bytes;
  } cases[] = {{L"gray_tif16", 0, -0.5f, 1.5f, 2},
               {L"gray_tif8", 0, -0.5f, 1.5f, 1},
               {L"gray_tif16", 1, 1, -1, 2},
               {L"gray_tif8", 2, 20, 200, 1}};
  auto save = [&](const auto& c, const std::string& path, uint32_t first, uint32_t rows) {
    const size_t at = size_t{first} * kCols;
    if (c.source == 1)
      return TIFF().save_u16(Image_u16(u16.data() + at, rows, kCols), wide(path), c.format,
                             uint16_t(c.cmin), uint16_t(c.cmax));
    if (c.source == 2)
      return TIFF().save_u8(Image_u8(u8.data() + at, rows, kCols), wide(path), c.format,
                            uint8_t(c.cmin), uint8_t(c.cmax));
    return TIFF().save_f(Image_f(floats.data() + at, rows, kCols), wide(path), c.format, c.cmin,
                         c.cmax);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    ASSERT_TRUE(save(c, dir.file("large.tif"), 0, kRows));
    const Read r = read_tiff(dir.file("large.tif"));
    const uint64_t row_bytes = uint64_t{kCols} * c.bytes;
    ASSERT_EQ(r.bytes.size(), kRows * row_bytes);
    ASSERT_LT(r.rows_per_strip, kRows);
    for (uint32_t boundary = r.rows_per_strip; boundary < kRows; boundary += r.rows_per_strip) {
      ASSERT_TRUE(save(c, dir.file("rows.tif"), boundary - 1, 2));
      const Read alone = read_tiff(dir.file("rows.tif"));
      ASSERT_EQ(alone.bytes.size(), 2 * row_bytes);
      EXPECT_EQ(std::memcmp(alone.bytes.data(), r.bytes.data() + (boundary - 1) * row_bytes,
                            alone.bytes.size()),
                0)
          << "rows " << boundary - 1 << " and " << boundary;
    }
  }
}

TEST(TiffSave, RefusedNamesAndUnwritablePathsLeaveNothing) {
  ts::TempDir dir;
  float pixels[256 * 256] = {};
  const Image_f image(pixels, 256, 256);
  for (const wchar_t* name : {L"GRAY_TIF32", L"gray_tif32 ", L"gray_tif3", L"rgb_tif"}) {
    EXPECT_FALSE(TIFF().save_f(image, wide(dir.file("n.tif")), name, 1.0f, -1.0f));
  }
  ts::write_file(dir.file("plain"), "x");
  ts::CaptureStdout capture;
  for (const std::string& path : {dir.file("plain/a.tif"), dir.file("missing/a.tif")}) {
    EXPECT_FALSE(TIFF().save_f(image, wide(path), L"gray_tif32", 1.0f, -1.0f));
    EXPECT_NE(capture.text().find("FAILED to open tiff for writing '" + path + "'"),
              std::string::npos);
  }
  // A write that fails midway, as on a full disk: the file may not outgrow 64 KiB. The
  // file that was there before stays as it was.
  ts::write_file(dir.file("big.tif"), "the earlier file");
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{}, small{};
  getrlimit(RLIMIT_FSIZE, &saved);
  setrlimit(RLIMIT_FSIZE, &(small = {64 * 1024, saved.rlim_max}));
  const bool saved_big = TIFF().save_f(image, wide(dir.file("big.tif")), L"gray_tif32", 1, -1);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(saved_big);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2)
      << "only 'plain' and the earlier 'big.tif' may remain";
  EXPECT_EQ(ts::read_file(dir.file("big.tif")), "the earlier file");
  EXPECT_FALSE(TIFF().save_f(Image_f(), wide(dir.file("empty.tif")), L"gray_tif32", 1, -1));
}

// Files tifffile, a reader and writer we did not write, made, plain and gzipped: loaded
// with the documented scaling, floats bit for bit.
TEST(TiffInterop, LoadsTifffileImagesWithTheDocumentedScaling) {
  ts::TempDir dir;
  std::string out;
  const int made = ts::run_command(ts::crosscheck_command() + "make " + dir.path() + " 2>&1", &out);
  QVX_REQUIRE_TOOL(made != 2 && made != 127, "python3-tifffile");
  ASSERT_EQ(made, 0) << out;
  const struct {
    const char* file;
    const wchar_t* format;
    std::vector<float> expected;
  } cases[] = {
      {"u8.tif", L"gray_tif8", {0.0f, 128 * kTiffScale8, 255 * kTiffScale8}},
      {"u16.tif", L"gray_tif16", {0.0f, kTiffScale16, 65535 * kTiffScale16}},
      {"u32.tif", L"gray_tif32", {1.0f, 0.0f, 0.5f}},
      {"i16.tif", L"gray_tif16", {0.0f, 32768 * kTiffScale16, 65535 * kTiffScale16}},
      {"f32.tif", L"gray_tif32", {1.5f, -2.5e-30f, 3e38f}},
      {"f32_be.tif", L"gray_tif32", {1.5f, -2.25f, 1e-3f}},
      {"white.tif", L"gray_tif8", {255 * kTiffScale8, 0.0f, 200 * kTiffScale8}},
      // Palette entries 1 (red) and 2 (blue), then 0 (black): 0.344 R + 0.5 G + 0.156 B of
      // the 16-bit colour map, in 0..1.
      {"palette.tif", L"gray_tif8", {0.344f, 0.156f, 0}},
      {"rgb.tif", L"rgb_tif", {255 * kTiffRed, 255 * kTiffGreen, 255 * kTiffBlue}},
  };
  for (const auto& c : cases) {
    for (const std::string& path : {dir.file(c.file), dir.file(c.file) + ".gz"}) {
      Image_f image;
      Image_desc desc;
      std::string log;
      ASSERT_TRUE(ts::load_image(TIFF(), path, image, &log) && load(path, desc)) << path;
      EXPECT_EQ(std::tuple(image.format_name, desc.format_name, desc.width()),
                std::tuple(c.format, c.format, image.width()))
          << path;
      ASSERT_EQ(image.width(), c.expected.size()) << path;
      EXPECT_EQ(image.height(), c.file[1] == '3' ? 2u : 1u) << path;
      // Every row holds the same samples (two in the 32-bit files, one in the others).
      for (size_t i = 0; i < size_t{image.width()} * image.height(); ++i) {
        const float want = c.expected[i % 3];
        const float tolerance = c.file[0] == 'f' ? 0.0f : 1e-6f + 1e-4f * want;
        EXPECT_NEAR(image.data[i], want, tolerance) << path << " pixel " << i;
      }
      EXPECT_EQ(log.find("no lookup table for 32-bit samples") != std::string::npos,
                std::string(c.file) == "u32.tif")
          << path;
    }
  }
}

// Saved files tifffile reads (and maps, when not compressed) with their pixels and block:
// a small one, and 2100 rows of 1100 floats, more than one strip with the last one shorter.
// The block is padded to 1 KiB units, larger ones for large images; a gz name (in any case)
// leaves only the compressed file.
TEST(TiffInterop, TifffileReadsSavedImagesAndTheirBlockPaddedAndCompressed) {
  ts::TempDir dir;
  float small[6] = {1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, 65504.0f};
  constexpr uint32_t kRows = 2100, kCols = 1100;
  std::vector<float> pixels(size_t{kRows} * kCols);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i % 65521) * 0.75f;
  const uLong crc = crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(pixels.data()),
                            pixels.size() * sizeof(float));
  char large_crc[32];
  std::snprintf(large_crc, sizeof large_crc, "crc32:%08lx", crc);
  Image_f images[] = {Image_f(small, 2, 3), Image_f(pixels.data(), kRows, kCols)};
  ASSERT_TRUE(images[0].info.resize(3) && images[1].info.resize(2));
  std::memcpy(images[0].info.data, "abc", 3);
  std::memcpy(images[1].info.data, "hi", 2);
  const struct {
    const char* name;
    const Image_f& image;
    std::string expected;
  } cases[] = {
      {"small.tif", images[0],
       "2 3 0000c03f000000c000005040000000006f12833a00e07f47 00000003616263"},
      {"strips.TIF.GZ", images[1], "2100 1100 " + std::string(large_crc) + " 000000026869"},
      {"strips.tif", images[1], "2100 1100 " + std::string(large_crc) + " 000000026869"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(TIFF().save_f(c.image, wide(dir.file(c.name)), L"gray_tif32", 1, -1));
    std::string out;
    const int status = ts::run_command(
        ts::crosscheck_command() + "verify " + dir.file(c.name) + " " + c.expected + " 2>&1", &out);
    QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-tifffile");
    EXPECT_EQ(status, 0) << c.name << ": " << out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("strips.TIF"))) << c.name;
  }
  EXPECT_EQ(read_tiff(dir.file("small.tif")).info.size(), 1024u);
  EXPECT_EQ(padded_info_size(100, 1024 * 1024 * 4), 4096u);
  EXPECT_EQ(padded_info_size(1020, 0), 1024u);
  EXPECT_EQ(padded_info_size(1021, 0), 2048u);
}
}  // namespace
}  // namespace QVX::Image::Format
