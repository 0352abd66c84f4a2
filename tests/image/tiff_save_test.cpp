// Saving TIFF files, read back with libtiff.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <tiffio.h>
#include <zlib.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "image/tiff_format.h"
#include "image/tiff_internal.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Image::Image_f;
using QVX::Image::Format::TIFF;

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Tags and samples of the TIFF at `path`, as libtiff reads them.
struct Read {
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, format = 0, photometric = 99, compression = 0;
  std::vector<uint8_t> bytes;  // all rows
  std::vector<uint8_t> info;   // the 65001 block; empty when absent
};

Read read_tiff(const std::string& path) {
  QVX::Image::Format::tiff_internal::register_private_tags();
  Read r;
  ::TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return r;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &r.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &r.height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
  TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &r.format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &r.photometric);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &r.compression);
  uint32_t count = 0;
  uint8_t* block = nullptr;
  if (TIFFGetField(tif, QVX::Image::Format::kTagQvxInfoV2, &count, &block) == 1) {
    r.info.assign(block, block + count);
  }
  std::vector<uint8_t> line(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < r.height && TIFFReadScanline(tif, line.data(), y, 0) == 1; ++y) {
    r.bytes.insert(r.bytes.end(), line.begin(), line.end());
  }
  TIFFClose(tif);
  return r;
}

TEST(TiffSave, FloatPixelsAndTagsArriveUnchanged) {
  ts::TempDir dir;
  float pixels[6] = {1.5f, -2.0f, 3.25f, 1e-40f, -0.0f, 65504.0f};
  const Image_f image(pixels, 2, 3);
  ASSERT_TRUE(TIFF().save_f(image, wide(dir.file("a.tif")), L"gray_tif32", 1.0f, -1.0f));
  const Read r = read_tiff(dir.file("a.tif"));
  EXPECT_EQ(r.width, 3u);
  EXPECT_EQ(r.height, 2u);
  EXPECT_EQ(r.bits, 32);
  EXPECT_EQ(r.format, SAMPLEFORMAT_IEEEFP);
  EXPECT_EQ(r.photometric, PHOTOMETRIC_MINISBLACK);
  EXPECT_EQ(r.compression, COMPRESSION_NONE);
  ASSERT_EQ(r.bytes.size(), sizeof pixels);
  EXPECT_EQ(std::memcmp(r.bytes.data(), pixels, sizeof pixels), 0);
  EXPECT_TRUE(r.info.empty());  // no description, no block
}

TEST(TiffSave, IntegerOutputMapsTheRangeWithHalvesAwayFromZero) {
  ts::TempDir dir;
  const std::string path = dir.file("i.tif");
  const struct {
    const wchar_t* format;
    std::vector<float> pixels;
    float cmin, cmax;
    std::vector<uint16_t> expected;
  } cases[] = {
      {L"gray_tif16", {0.0f, 0.5f, 1.0f}, 1.0f, -1.0f, {0, 32768, 65535}},
      {L"gray_tif8", {-1.0f, 0.0f, 1.0f}, 1.0f, -1.0f, {0, 128, 255}},
      {L"gray_tif8", {7.0f, 7.0f, 7.0f}, 1.0f, -1.0f, {0, 0, 0}},  // constant image
      {L"gray_tif8",
       {-5.0f, 0.5f, 9.0f, std::numeric_limits<float>::quiet_NaN()},
       0.0f,
       1.0f,
       {0, 128, 255, 0}},
      {L"gray_tif32", {-5.0f, 0.25f, 9.0f}, 0.0f, 1.0f, {0, 0x3E80, 0x3F80}},  // high halves
  };
  for (const auto& c : cases) {
    std::vector<float> pixels = c.pixels;
    const Image_f image(pixels.data(), 1, static_cast<uint32_t>(pixels.size()));
    ASSERT_TRUE(TIFF().save_f(image, wide(path), c.format, c.cmin, c.cmax));
    const Read r = read_tiff(path);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      const uint8_t* sample = r.bytes.data() + i * r.bits / 8;
      const uint32_t got = r.bits == 8    ? sample[0]
                           : r.bits == 16 ? sample[0] | sample[1] << 8
                                          : (sample[2] | sample[3] << 8);
      EXPECT_EQ(got, c.expected[i]) << "pixel " << i << " of case " << c.pixels[i];
    }
  }
}

// Where the strips of the TIFF at `path` lie, as libtiff reads the directory.
struct Strips {
  uint32_t rows_per_strip = 0;
  std::vector<uint64_t> offsets, counts;
};

Strips read_strips(const std::string& path) {
  Strips strips;
  ::TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return strips;
  TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &strips.rows_per_strip);
  for (uint32_t i = 0; i < TIFFNumberOfStrips(tif); ++i) {
    strips.offsets.push_back(TIFFGetStrileOffset(tif, i));
    strips.counts.push_back(TIFFGetStrileByteCount(tif, i));
  }
  TIFFClose(tif);
  return strips;
}

TEST(TiffSave, LargeImagesGoOutInContiguousStripsOfWholeRows) {
  ts::TempDir dir;
  // 8.7 million pixels: several strips at every depth, the last one shorter.
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
  enum Source { Floats, U16, U8 };
  const struct {
    const wchar_t* format;
    Source source;
    float cmin, cmax;  // floats; for integer sources scaled onto their own type
    uint32_t bytes;
  } cases[] = {
      {L"gray_tif32", Floats, 1.0f, -1.0f, 4},  // the caller's pixels as they are
      {L"gray_tif32", Floats, -0.5f, 1.5f, 4},    {L"gray_tif16", Floats, -0.5f, 1.5f, 2},
      {L"gray_tif8", Floats, -0.5f, 1.5f, 1},     {L"gray_tif16", U16, 1.0f, -1.0f, 2},
      {L"gray_tif16", U16, 1000.0f, 60000.0f, 2}, {L"gray_tif8", U8, 20.0f, 200.0f, 1},
  };
  // Saves rows [first, first + rows) of the case's source on their own.
  auto save = [&](const auto& c, const std::string& path, uint32_t first, uint32_t rows) {
    const size_t at = size_t{first} * kCols;
    switch (c.source) {
      case Floats:
        return TIFF().save_f(Image_f(floats.data() + at, rows, kCols), wide(path), c.format, c.cmin,
                             c.cmax);
      case U16:
        return TIFF().save_u16(QVX::Image::Image_u16(u16.data() + at, rows, kCols), wide(path),
                               c.format, static_cast<uint16_t>(c.cmin),
                               static_cast<uint16_t>(c.cmax));
      case U8:
        return TIFF().save_u8(QVX::Image::Image_u8(u8.data() + at, rows, kCols), wide(path),
                              c.format, static_cast<uint8_t>(c.cmin), static_cast<uint8_t>(c.cmax));
    }
    return false;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    const std::string path = dir.file("large.tif");
    ASSERT_TRUE(save(c, path, 0, kRows));
    const Read r = read_tiff(path);
    ASSERT_EQ(r.bytes.size(), size_t{kRows} * kCols * c.bytes);
    if (c.source == Floats && c.cmin >= c.cmax) {
      EXPECT_EQ(std::memcmp(r.bytes.data(), floats.data(), r.bytes.size()), 0);
    }

    // Strips of whole rows, one after the other in the file, so that the pixels form one
    // block that a reader can map.
    const uint64_t row_bytes = uint64_t{kCols} * c.bytes;
    const Strips strips = read_strips(path);
    ASSERT_GT(strips.offsets.size(), 1u);
    ASSERT_EQ(strips.offsets.size(), (kRows + strips.rows_per_strip - 1) / strips.rows_per_strip);
    for (size_t i = 0; i < strips.offsets.size(); ++i) {
      const uint32_t rows =
          std::min(strips.rows_per_strip, kRows - uint32_t(i) * strips.rows_per_strip);
      EXPECT_EQ(strips.counts[i], rows * row_bytes) << "strip " << i;
      if (i > 0) {
        EXPECT_EQ(strips.offsets[i], strips.offsets[i - 1] + strips.counts[i - 1]);
      }
    }

    // Rows on either side of each strip boundary come out as they do when saved alone.
    for (uint32_t boundary = strips.rows_per_strip; boundary < kRows;
         boundary += strips.rows_per_strip) {
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

TEST(TiffSave, InfoBlockIsPaddedAndPrefixedBigEndian) {
  ts::TempDir dir;
  float pixels[4] = {};
  Image_f image(pixels, 2, 2);
  ASSERT_TRUE(image.info.resize(1));
  image.info.data[0] = 0xAB;
  ASSERT_TRUE(TIFF().save_f(image, wide(dir.file("d.tif")), L"gray_tif32", 1.0f, -1.0f));
  const Read r = read_tiff(dir.file("d.tif"));
  ASSERT_EQ(r.info.size(), 1024u);
  EXPECT_EQ(std::vector<uint8_t>(r.info.begin(), r.info.begin() + 5),
            (std::vector<uint8_t>{0, 0, 0, 1, 0xAB}));

  using QVX::Image::Format::padded_info_size;
  EXPECT_EQ(padded_info_size(100, 512 * 512 * 4), 1024u);
  EXPECT_EQ(padded_info_size(100, 1024 * 1024 * 4), 4096u);
  EXPECT_EQ(padded_info_size(1020, 0), 1024u);
  EXPECT_EQ(padded_info_size(1021, 0), 2048u);
}

TEST(TiffSave, GzNamesLeaveOnlyTheCompressedFile) {
  ts::TempDir dir;
  float pixels[2] = {1.0f, 2.0f};
  const Image_f image(pixels, 1, 2);
  for (const char* literal : {"c.tif.gz", "C.TIF.GZ"}) {
    const std::string name = literal;
    ASSERT_TRUE(TIFF().save_f(image, wide(dir.file(name)), L"gray_tif32", 1.0f, -1.0f));
    EXPECT_FALSE(std::filesystem::exists(dir.file(name.substr(0, name.size() - 3))));
    gzFile gz = gzopen(dir.file(name).c_str(), "rb");
    ASSERT_NE(gz, nullptr);
    char head[4] = {};
    EXPECT_EQ(gzread(gz, head, 4), 4);
    gzclose(gz);
    EXPECT_EQ(std::string(head, 4), std::string("II*\0", 4)) << name;
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
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool saved_big = TIFF().save_f(image, wide(dir.file("big.tif")), L"gray_tif32", 1, -1);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(saved_big);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2)
      << "only 'plain' and the earlier 'big.tif' may remain";
  std::ifstream earlier(dir.file("big.tif"));
  std::string text;
  std::getline(earlier, text);
  EXPECT_EQ(text, "the earlier file");
  EXPECT_FALSE(TIFF().save_f(Image_f(), wide(dir.file("empty.tif")), L"gray_tif32", 1, -1));
}

}  // namespace
