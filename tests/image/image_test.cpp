// The format registry, and gzip_file behind the compressed saves.
#include "image/image.h"

#include <gtest/gtest.h>
#include <zlib.h>

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

TEST(Writers, GzipFileReplacesTheFileAndReportsFailures) {
  ts::TempDir dir;
  for (const size_t size : {size_t{0}, size_t{20000}}) {
    const std::string path = dir.file("f" + std::to_string(size));
    ts::write_file(path, std::string(size, 'q'));
    ASSERT_TRUE(QVX::Base::File::gzip_file(wide(path)));
    EXPECT_FALSE(std::filesystem::exists(path));
    gzFile gz = gzopen((path + ".gz").c_str(), "rb");
    std::string back(size + 1, '\0');
    EXPECT_EQ(gzread(gz, back.data(), static_cast<unsigned>(back.size())), static_cast<int>(size));
    EXPECT_EQ(gzdirect(gz), 0);
    gzclose(gz);
  }
  ts::CaptureStdout capture;
  EXPECT_FALSE(QVX::Base::File::gzip_file(wide(dir.file("missing"))));
  EXPECT_NE(capture.text().find("FAILED to open file to zip '" + dir.file("missing") + "'"),
            std::string::npos);
}

}  // namespace
