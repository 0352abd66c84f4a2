// TIFF files exchanged with tifffile, a reader and writer we did not write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "image/tiff_format.h"
#include "tests/support/external_tools.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Image::Image_f;
using QVX::Image::Format::TIFF;

TEST(TiffInterop, LoadsTifffileImagesWithTheDocumentedScaling) {
  ts::TempDir dir;
  std::string out;
  const int made = ts::run_command(ts::crosscheck_command() + "make " + dir.path() + " 2>&1", &out);
  QVX_REQUIRE_TOOL(made != 2 && made != 127, "python3-tifffile");
  ASSERT_EQ(made, 0) << out;

  using namespace QVX::Image::Format;
  const struct {
    const char* file;
    const wchar_t* format;
    std::vector<float> expected;
  } cases[] = {
      {"u8.tif", L"gray_tif8", {0.0f, 128 * kTiffScale8, 255 * kTiffScale8}},
      {"u16.tif", L"gray_tif16", {0.0f, kTiffScale16, 65535 * kTiffScale16}},
      {"i16.tif", L"gray_tif16", {0.0f, 32768 * kTiffScale16, 65535 * kTiffScale16}},
      {"f32_be.tif", L"gray_tif32", {1.5f, -2.25f, 1e-3f}},
      {"white.tif", L"gray_tif8", {255 * kTiffScale8, 0.0f, 200 * kTiffScale8}},
      // Palette entries 1 (red) and 2 (blue), then 0 (black): 0.344 R + 0.5 G + 0.156 B of
      // the 16-bit colour map, in 0..1.
      {"palette.tif", L"gray_tif8", {0.344f, 0.156f, 0}},
      {"rgb.tif", L"rgb_tif", {255 * kTiffRed, 255 * kTiffGreen, 255 * kTiffBlue}},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(c.file);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    Image_f image;
    image.file_name = std::wstring(path.begin(), path.end());
    const bool loaded = TIFF().load_f(image, fd);
    close(fd);
    ASSERT_TRUE(loaded) << c.file;
    EXPECT_EQ(image.format_name, c.format) << c.file;
    ASSERT_EQ(image.width(), c.expected.size()) << c.file;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_NEAR(image.data[i], c.expected[i], 1e-6f + 1e-4f * std::fabs(c.expected[i]))
          << c.file << " pixel " << i;
    }
  }
}

TEST(TiffInterop, TifffileReadsTheDescriptionBlock) {
  ts::TempDir dir;
  float pixels[6] = {1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, 65504.0f};
  Image_f image(pixels, 2, 3);
  ASSERT_TRUE(image.info.resize(3));
  for (int i = 0; i < 3; ++i) image.info.data[i] = static_cast<uint8_t>('a' + i);
  const std::string path = dir.file("described.tif");
  ASSERT_TRUE(TIFF().save_f(image, std::wstring(path.begin(), path.end()), L"gray_tif32", 1, -1));
  std::string out;
  const int status = ts::run_command(ts::crosscheck_command() + "verify " + path +
                                         " 2 3 0000c03f000000c00000504000000000"
                                         "6f12833a00e07f47 00000003616263 2>&1",
                                     &out);
  QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-tifffile");
  EXPECT_EQ(status, 0) << out;
}

TEST(TiffInterop, TifffileReadsAndMapsImagesOfManyStrips) {
  ts::TempDir dir;
  // 2100 rows of 1100 floats: more than one strip, the last one shorter.
  constexpr uint32_t kRows = 2100, kCols = 1100;
  std::vector<float> pixels(size_t{kRows} * kCols);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i % 65521) * 0.75f;
  Image_f image(pixels.data(), kRows, kCols);
  ASSERT_TRUE(image.info.resize(2));
  image.info.data[0] = 'h';
  image.info.data[1] = 'i';
  const uLong crc = crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(pixels.data()),
                            pixels.size() * sizeof(float));
  char expected[32];
  std::snprintf(expected, sizeof expected, "crc32:%08lx", crc);
  for (const char* name : {"strips.tif", "strips.tif.gz"}) {
    const std::string path = dir.file(name);
    ASSERT_TRUE(TIFF().save_f(image, std::wstring(path.begin(), path.end()), L"gray_tif32", 1, -1));
    std::string out;
    const int status =
        ts::run_command(ts::crosscheck_command() + "verify " + path + " " + std::to_string(kRows) +
                            " " + std::to_string(kCols) + " " + expected + " 000000026869 2>&1",
                        &out);
    QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-tifffile");
    EXPECT_EQ(status, 0) << name << ": " << out;
  }
}

}  // namespace
