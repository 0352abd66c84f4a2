#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "base/utf.h"
#include "image/tiff_format.h"
#include "image/tiff_internal.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Image::Format {
namespace {

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

void colormap(::TIFF* tif) {
  static uint16_t map[3][256];
  for (int i = 0; i < 256; ++i) map[0][i] = i, map[1][i] = 255 - i, map[2][i] = i / 2;
  TIFFSetField(tif, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
}

float palette(int i) { return (0.344f * i + 0.5f * (255 - i) + 0.156f * (i / 2)) / 255; }

std::string read_all(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

std::string info_of(const Image& image) {
  return std::string(reinterpret_cast<const char*>(image.info.data), image.info.length);
}

// Loads through a descriptor of our own, which must still be open afterwards.
template <typename I>
bool load(const std::string& path, I& image) {
  image.file_name = Base::utf8_to_wide(path);
  const int fd = ::open(path.c_str(), O_RDONLY);
  bool ok = false;
  if constexpr (std::is_same_v<I, Image_f>) ok = TIFF().load_f(image, fd);
  if constexpr (!std::is_same_v<I, Image_f>) ok = TIFF().load_description(image, fd);
  EXPECT_EQ(::close(fd), 0);
  return ok;
}

std::string log_fields(const std::string& format, uint32_t bpp) {
  return "(w=3, h=2, fmt=" + format + ", bpp=" + std::to_string(bpp) + ", info_len=0)\n";
}

const Bytes kFloats = raw<float>({1.5f, -2.5e-30f, 3e38f});

const struct {
  const char* mode;
  Layout layout;
  Bytes row;
  std::vector<float> expected;  // a float file's values bit for bit
} kPixelCases[] = {
    {"w", {16, 1, 1, 1}, raw<uint16_t>({65535, 0, 32768}), {1, 0, 32768 / 65535.f}},
    {"w", {16, 1, 2, 1}, raw<int16_t>({-32768, 32767, 0}), {0, 1, 32768 / 65535.f}},
    {"w", {8, 1, 1, 1}, raw<uint8_t>({255, 0, 51}), {1, 0, 0.2f}},
    {"w", {8, 1, 1, 0}, raw<uint8_t>({0, 255, 51}), {1, 0, 0.8f}},  // white is zero
    {"w", {8, 1, 1, 3}, raw<uint8_t>({0, 1, 200}), {palette(0), palette(1), palette(200)}},
    {"w", {8, 3, 1, 2}, raw<uint8_t>({10, 20, 30, 255, 255, 255, 0, 0, 0}), {18.12f / 255, 1, 0}},
    {"w", {32, 1, 1, 0}, raw<uint32_t>({4294967295u, 0, 2147483648u}), {1, 0, 0.5f}},
    {"w", {32, 1, 3, 1}, kFloats, {1.5f, -2.5e-30f, 3e38f}},
    {"wb", {32, 1, 3, 1}, kFloats, {1.5f, -2.5e-30f, 3e38f}},
};

TEST(TiffLoad, ReadsEachLayoutPlainAndCompressed) {
  for (const auto& c : kPixelCases) {
    QVX::TestSupport::TempDir dir;
    const std::string path = dir.file("in.tif");
    SCOPED_TRACE(std::string(c.mode) + " bits " + std::to_string(c.layout.bits));
    write_tiff(path, c.mode, c.layout, c.row, c.layout.photometric == 3 ? colormap : Tags());
    QVX::TestSupport::write_gzip_file(path + ".gz", read_all(path));
    QVX::TestSupport::CaptureStdout capture;
    Image_f plain, packed;
    Image_desc desc;
    ASSERT_TRUE(load(path, plain) && load(path + ".gz", packed) && load(path, desc));
    const std::string format =
        c.layout.samples == 3 ? "rgb_tif" : "gray_tif" + std::to_string(c.layout.bits);
    for (const Image_f* image : {&plain, &packed}) {
      EXPECT_EQ(Base::wide_to_utf8(image->format_name), format);
      ASSERT_EQ(std::make_pair(image->width(), image->height()), std::make_pair(3u, 2u));
      for (uint32_t i = 0; i < 6; ++i) {
        const float got = image->data[i], want = c.expected[i % 3];
        if (c.layout.format == 3) {
          EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << i;
        } else {
          EXPECT_NEAR(got, want, 1e-6) << i;
        }
      }
    }
    const std::string all = log_fields(format, c.layout.bits / 8);
    std::string warn;
    if (c.layout.bits == 32 && c.layout.format == 1)
      warn = "WARNING: no lookup table for 32-bit samples in '" + path;
    EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()),
              (warn.empty() ? "" : warn + "'\n") + "Loaded tiff '" + path + "' into float " + all +
                  (warn.empty() ? "" : warn + ".gz'\n") + "Loaded tiff '" + path +
                  ".gz' into float " + all + "Loaded tiff description '" + path + "' " + all);
  }
}

TEST(TiffLoad, RefusesWhatItCannotRead) {
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
       "FAILED to open tiff for reading '%'\n",
       "FAILED to open tiff for reading the description in '%'\n"},
  };
  for (const auto& c : cases) {
    QVX::TestSupport::TempDir dir;
    const std::string path = dir.file("bad.tif");
    if (c.layout.bits == 0) QVX::TestSupport::write_file(path, "this is not a tiff file");
    if (c.layout.bits != 0)
      write_tiff(path, "w", c.layout, Bytes(3 * c.layout.samples * c.layout.bits / 8));
    QVX::TestSupport::CaptureStdout capture;
    Image_f image;
    Image_desc desc;
    EXPECT_FALSE(load(path, image));
    EXPECT_EQ(load(path, desc), c.layout.bits != 0);
    std::string expected = c.failure + c.description;
    for (size_t at; (at = expected.find('%')) != std::string::npos;) expected.replace(at, 1, path);
    EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()), expected);
  }
}

TEST(TiffLoad, ReadsTheInfoBlocks) {
  const std::string v1("hello", 6);  // with its terminating zero
  const struct {
    Tags tags;
    std::string info, warning;
  } cases[] = {
      {info_tags(block(3, "abc", 64)), "abc", ""},
      {info_tags(block(3, "abc", 64), v1), v1 + '\0', ""},
      {info_tags(block(100, "wxyz", 8)), "wxyz", "claims 100 bytes, block holds 4\n"},
  };
  for (const auto& c : cases) {
    QVX::TestSupport::TempDir dir;
    const std::string path = dir.file("i.tif");
    write_tiff(path, "w", {32, 1, 3, 1}, Bytes(12), c.tags);
    QVX::TestSupport::CaptureStdout capture;
    Image_f image;
    Image_desc desc;
    ASSERT_TRUE(load(path, image) && load(path, desc));
    EXPECT_EQ(info_of(image), c.info);
    EXPECT_EQ(info_of(desc), c.info);
    const std::string warning = "WARNING: tiff description in '" + path + "' " + c.warning;
    const std::string log = QVX::TestSupport::strip_timestamps(capture.text());
    EXPECT_EQ(log.find(warning) != std::string::npos, !c.warning.empty()) << log;
  }
}

TEST(TiffLoad, FindsTheInfoEntryInEachByteOrder) {
  const std::pair<const char*, size_t> cases[] = {
      {"w", 64}, {"wb", 64}, {"w", 4}, {"w8", 64}, {"wb8", 8}};
  for (const auto& [mode, size] : cases) {
    QVX::TestSupport::TempDir dir;
    const Bytes info = block(size - 4, std::string(size - 4, 'k'), size);
    write_tiff(dir.file("e.tif"), mode, {32, 1, 3, 1}, Bytes(12), info_tags(info));
    write_tiff(dir.file("none.tif"), mode, {32, 1, 3, 1}, Bytes(12));
    const int fd = ::open(dir.file("e.tif").c_str(), O_RDONLY);
    const int none = ::open(dir.file("none.tif").c_str(), O_RDONLY);
    ASSERT_EQ(::lseek(fd, 5, SEEK_SET), 5);
    const std::optional<InfoEntry> entry = find_info_entry(fd);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 5);  // the position is left alone
    EXPECT_FALSE(find_info_entry(none).has_value());
    ::close(fd);
    ::close(none);
    ASSERT_TRUE(entry.has_value()) << mode;
    EXPECT_EQ(entry->count, size);
    EXPECT_EQ(read_all(dir.file("e.tif")).substr(entry->offset, size),
              std::string(info.begin(), info.end()));
  }
}

// A 3 x 2 float file whose 64-byte info block holds "abc" (or that has no block), open for
// writing, and a description of it with `info`.
struct UpdateFixture {
  QVX::TestSupport::TempDir dir;
  std::string path = dir.file("u.tif");
  Image_desc desc;
  int fd = -1;
  UpdateFixture(const std::string& info, uint32_t width = 3, bool with_block = true)
      : desc(2, width, Base::utf8_to_wide(path), L"gray_tif32", 4) {
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

TEST(TiffUpdate, InPlaceChangesOnlyTheBlock) {
  UpdateFixture f("xyz12");
  const std::string before = read_all(f.path);
  const InfoEntry entry = find_info_entry(f.fd).value();
  QVX::TestSupport::CaptureStdout capture;
  ASSERT_TRUE(TIFF().update_description(f.desc, f.fd));
  EXPECT_GE(f.fd, 0);
  std::string after = read_all(f.path);
  EXPECT_EQ(after.substr(entry.offset, 9), std::string("\0\0\0\5xyz12", 9));
  after.replace(entry.offset, 64, before.substr(entry.offset, 64));
  EXPECT_EQ(after, before);
  EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()),
            "Updated image description '" + f.path + "' (info_len=5')\n");
}

TEST(TiffUpdate, LongerInfoRewritesTheFile) {
  UpdateFixture f(std::string(100, 'q'));
  ASSERT_TRUE(TIFF().update_description(f.desc, f.fd));
  EXPECT_EQ(f.fd, -1);
  Image_f image;
  ASSERT_TRUE(load(f.path, image));
  EXPECT_EQ(info_of(image), std::string(100, 'q'));
  EXPECT_EQ(image(1, 2), 2.0f);
}

TEST(TiffUpdate, RefusesAnotherSize) {
  UpdateFixture f("new", 4, false);
  QVX::TestSupport::CaptureStdout capture;
  EXPECT_FALSE(TIFF().update_description(f.desc, f.fd));
  EXPECT_GE(f.fd, 0);
  const std::string log = QVX::TestSupport::strip_timestamps(capture.text());
  EXPECT_NE(log.find("FAILED to write tiff description: Inconsistent image size (img w=3 h=2, "
                     "desc w=4 h=2)\n"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace QVX::Image::Format
