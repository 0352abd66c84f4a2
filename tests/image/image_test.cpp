// The image model, the format registry and the writers.
#include "image/image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/file/writers.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;
using QVX::Image::Image_desc;
using QVX::Image::Image_f;

TEST(Image, StartValuesAndDescriptionSizes) {
  const Image_f image;
  EXPECT_EQ(image.file_name, L"unknown file name");
  EXPECT_EQ(image.format_name, L"gray_tif32");
  EXPECT_EQ(image.bytes_per_sample, 4u);
  EXPECT_EQ(image.info.length, 0u);
  EXPECT_EQ(image.width() + image.height(), 0u);

  Image_desc desc(3, 5, L"f.tif", L"gray_tif8", 1);
  EXPECT_EQ(desc.width(), 5u);
  EXPECT_EQ(desc.height(), 3u);
  EXPECT_EQ(desc.num_pixels(), 15u);
  ts::CaptureStdout capture;
  desc.reshape(5, 3);  // same count: silent
  desc.reshape(4, 4);
  EXPECT_EQ(desc.num_pixels(), 16u);
  EXPECT_NE(capture.text().find("BUG: image: "), std::string::npos);

  Image_f copy;
  ASSERT_TRUE(copy.assign_description(desc));
  EXPECT_EQ(copy.format_name, L"gray_tif8");
  EXPECT_EQ(copy.bytes_per_sample, 1u);
}

TEST(SaveImage, ChoosesTheFormatByItsExactName) {
  ts::TempDir dir;
  float pixels[4] = {0, 1, 2, 3};
  {
    const Image_f image(pixels, 2, 2);
    for (const wchar_t* name :
         {L"Gray_tif32", L"gray_tif32 ", L"gray_tif", L"gray_png", L"GRAY_BMP8"}) {
      EXPECT_FALSE(QVX::Image::save_image(image, std::wstring(L"x.tif"), name));
    }
    // Each name reaches its own format, whatever the file is called.
    const struct {
      const wchar_t* name;
      std::string magic;
    } routes[] = {{L"gray_tif8", "II*"}, {L"gray_bmp8", "BM"}, {L"gray_png8", "\x89PNG"}};
    for (const auto& route : routes) {
      const std::string path = dir.file("image.out");
      ASSERT_TRUE(
          QVX::Image::save_image(image, std::wstring(path.begin(), path.end()), route.name));
      std::ifstream in(path, std::ios::binary);
      std::string head(route.magic.size(), '\0');
      in.read(head.data(), static_cast<std::streamsize>(head.size()));
      EXPECT_EQ(head, route.magic);
    }
  }
  EXPECT_EQ(pixels[3], 3.0f);  // the wrapped buffer outlives the image untouched
  EXPECT_FALSE(std::filesystem::exists("x.tif"));
}

TEST(SaveImage, ValueRangeReachesTheFormat) {
  ts::TempDir dir;
  float pixels[4] = {0, 1, 2, 3};
  const Image_f image(pixels, 1, 4);
  const std::string path = dir.file("range.bmp");
  const std::wstring wide(path.begin(), path.end());
  // The gray of each pixel: a 32-bit BMP row of one row, four bytes per pixel.
  auto grays = [&] {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t offset = static_cast<unsigned char>(file.at(10));
    std::string out;
    for (size_t i = 0; i < 4; ++i)
      out += std::to_string(static_cast<unsigned char>(file.at(offset + 4 * i))) + " ";
    return out;
  };
  ASSERT_TRUE(QVX::Image::save_image(image, wide, L"gray_bmp8"));
  EXPECT_EQ(grays(), "0 85 170 255 ");
  ASSERT_TRUE(QVX::Image::save_image(image, wide, L"gray_bmp8", 1.0f, 2.0f));
  EXPECT_EQ(grays(), "0 0 255 255 ");
}

TEST(Writers, GzNamesCompressAndOthersDoNot) {
  using QVX::Base::File::make_writer;
  ts::TempDir dir;
  QVX::Base::File::WriterPtr writer;
  EXPECT_FALSE(make_writer(writer, nullptr));
  EXPECT_FALSE(writer);
  // A full disk shows when the buffered bytes are flushed at close.
  ASSERT_TRUE(make_writer(writer, L"/dev/full"));
  EXPECT_EQ(writer->write("xyz", 3), 3u);
  EXPECT_FALSE(writer->close());
  for (const char* literal : {"a.GZ", "b.gzip", "c.tgz"}) {
    const std::string name = literal;
    const std::string path = dir.file(name);
    ASSERT_TRUE(make_writer(writer, std::wstring(path.begin(), path.end()).c_str()));
    writer->printf("%s=%d;", "n", 42);
    EXPECT_EQ(writer->write("xyz", 3), 3u);
    QVX::Base::File::reset_writer(writer);
    gzFile gz = gzopen(path.c_str(), "rb");
    char text[16] = {};
    gzread(gz, text, sizeof text - 1);
    EXPECT_EQ(gzdirect(gz) == 0, name == "a.GZ") << name;
    gzclose(gz);
    EXPECT_STREQ(text, "n=42;xyz") << name;
  }
}

TEST(Writers, GzipFileReplacesTheFileAndReportsFailures) {
  ts::TempDir dir;
  for (const size_t size : {size_t{0}, size_t{8192}, size_t{20000}}) {
    const std::string path = dir.file(std::string("f").append(std::to_string(size)));
    ts::write_file(path, std::string(size, 'q'));
    ASSERT_TRUE(QVX::Base::File::gzip_file(std::wstring(path.begin(), path.end())));
    EXPECT_FALSE(std::filesystem::exists(path));
    gzFile gz = gzopen((path + ".gz").c_str(), "rb");
    std::string back(size + 1, '\0');
    EXPECT_EQ(gzread(gz, back.data(), static_cast<unsigned>(back.size())), static_cast<int>(size));
    EXPECT_EQ(gzdirect(gz), 0);
    gzclose(gz);
  }
  ts::CaptureStdout capture;
  const std::string missing = dir.file("missing");
  EXPECT_FALSE(QVX::Base::File::gzip_file(std::wstring(missing.begin(), missing.end())));
  EXPECT_NE(capture.text().find("FAILED to open file to zip '" + missing + "'"), std::string::npos);
}

}  // namespace
