// The format registry: each exact format name reaches its own save.
#include "image/image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/file/writers.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/image_files.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Image::Image_f;

using ts::wide;

// Each exact name reaches its own format whatever the file is called, with the range given.
TEST(SaveImage, ChoosesTheFormatByItsExactNameAndPassesTheRange) {
  ts::TempDir dir;
  float pixels[4] = {0, 1, 2, 3};
  const Image_f image(pixels, 1, 4);
  const std::string path = dir.file("image.out");
  for (const wchar_t* name : {L"Gray_tif32", L"gray_tif32 ", L"gray_tif", L"GRAY_BMP8"})
    EXPECT_FALSE(QVX::Image::save_image(image, wide(path), name));
  EXPECT_FALSE(std::filesystem::exists(path));
  const struct {
    const wchar_t* name;
    float cmin, cmax;
    std::string head;  // for the BMP: the first two pixels' gray
  } cases[] = {{L"gray_tif8", 1, -1, "II*"},
               {L"gray_png8", 1, -1, "\x89PNG"},
               {L"gray_bmp8", 1, -1, std::string("\0\0\0\xFF\x55", 5)},
               {L"gray_bmp8", 1, 2, std::string("\0\0\0\xFF\0", 5)}};
  for (const auto& c : cases) {
    ASSERT_TRUE(QVX::Image::save_image(image, wide(path), c.name, c.cmin, c.cmax));
    const std::string file = ts::read_file(path);
    const size_t at = c.head.size() == 5 ? 54 : 0;
    EXPECT_EQ(file.substr(at, c.head.size()), c.head) << c.cmax;
  }
  EXPECT_EQ(pixels[3], 3.0f);  // the wrapped buffer stays untouched
}

}  // namespace
