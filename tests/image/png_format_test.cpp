// PNG saves and loads, the conformance suite, and cross-checks with PIL.
#include "image/png_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/external_tools.h"
#include "tests/support/image_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::Image::Format {
namespace {

namespace ts = QVX::TestSupport;
using ts::wide;

bool load(const std::string& path, Image_f& image, std::string* log = nullptr) {
  return ts::load_image(PNG(), path, image, log);
}

std::string python_command() {
  return std::string("/usr/bin/python3 ") + QVX_OZK_SOURCE_DIR + "/tests/tools/png_expected.py ";
}

std::string chunk(const std::string& type, const std::string& body) {
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  const std::string typed = type + body;
  const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(typed.data()), typed.size());
  return be32(static_cast<uint32_t>(body.size())) + typed + be32(crc);
}

const char kSignature[] = "\x89PNG\r\n\x1a\n";

// Each case: pixels (rows x cols), the range given, the bytes stored and the range used.
TEST(PngSave, RoundTripsThroughTheLoaderAndPil) {
  const struct {
    std::vector<float> pixels;
    uint32_t rows, cols;
    float cmin, cmax;
    std::vector<int> bytes;
    const char* used;
  } cases[] = {
      {{0, 0.25f, 1, 0.5f, 0.999f, 0.75f}, 2, 3, 1, -1, {0, 64, 255, 128, 255, 192}, "0.0|1.0"},
      {{7, 7, 7, 7}, 2, 2, 1, -1, {0, 0, 0, 0}, "7.0|7.0"},
      {{-2, -1, 0, 0.5f, 1, 2}, 1, 6, -1, 1, {0, 0, 128, 192, 255, 255}, "-1.0|1.0"},
      {{std::nanf(""), 2, 4}, 3, 1, 1, -1, {0, 0, 255}, "2.0|4.0"},
  };
  ts::TempDir dir;
  const std::string path = dir.file("saved.png");
  for (const auto& c : cases) {
    std::vector<float> pixels = c.pixels;
    Image_f image(pixels.data(), c.rows, c.cols);
    ts::CaptureStdout capture;
    ASSERT_TRUE(PNG().save_f(image, wide(path), L"gray_png8", c.cmin, c.cmax));
    std::string range = std::string("cmin=") + c.used + "00000)\n";
    range.replace(range.find('|'), 1, "00000, cmax=");
    EXPECT_EQ(ts::strip_timestamps(capture.text()),
              "Saved png '" + path + "' from float (w=" + std::to_string(c.cols) +
                  ", h=" + std::to_string(c.rows) + ", fmt=gray_png8, info_len=0', " + range);
    Image_f back;
    ASSERT_TRUE(load(path, back));
    EXPECT_EQ(std::pair(back.width(), back.height()), std::pair(c.cols, c.rows));
    std::string list;
    for (size_t i = 0; i < c.bytes.size(); ++i) {
      EXPECT_EQ(back.data[i], c.bytes[i] / 256.0f) << c.used << " pixel " << i;
      list.append(i > 0 ? "," : "").append(std::to_string(c.bytes[i]));
    }
    Image_desc desc;
    EXPECT_TRUE(ts::load_image(PNG(), path, desc) && desc.height() == c.rows);
    std::string out;
    const int status =
        ts::run_command(python_command() + "check " + path + " " + std::to_string(c.cols) + " " +
                            std::to_string(c.rows) + " " + list + " 2>&1",
                        &out);
    QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-pil");
    EXPECT_EQ(status, 0) << out;
  }
  const auto* signature = reinterpret_cast<const uint8_t*>(kSignature);
  EXPECT_TRUE(PNG().matches_signature(signature, 8));
  EXPECT_FALSE(PNG().matches_signature(signature, 7) || PNG().matches_signature(signature + 1, 8));
}

TEST(PngSave, RefusesWithoutWritingAnything) {
  ts::TempDir dir;
  ts::write_file(dir.file("plain"), "x");
  float pixels[2] = {1.0f, 2.0f};
  Image_f image(pixels, 1, 2);
  Image_f no_columns;
  ASSERT_TRUE(no_columns.resize(3, 0));
  const std::string through_file = dir.file("plain/a.png");
  const struct {
    const Image_f* image;
    std::string path;
    const wchar_t* format;
    std::string log;
  } cases[] = {
      {&no_columns, dir.file("empty.png"), L"gray_png8",
       "FAILED to save png '" + dir.file("empty.png") + "': the image has no pixels (w=0, h=3)\n"},
      {&image, through_file, L"gray_png8",
       "FAILED to open png file stream for writing '" + through_file + "'\n"},
  };
  for (const auto& c : cases) {
    ts::CaptureStdout capture;
    EXPECT_FALSE(PNG().save_f(*c.image, wide(c.path), c.format, 1, -1)) << c.path;
    EXPECT_EQ(ts::strip_timestamps(capture.text()), c.log);
    EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
  }
}

TEST(PngLoad, RefusesDamagedAndOversizedFiles) {
  ts::TempDir dir;
  std::vector<float> pixels(40 * 30);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = std::sin(0.1f * i);
  Image_f image(pixels.data(), 30, 40);
  const std::string saved = dir.file("whole.png");
  ASSERT_TRUE(PNG().save_f(image, wide(saved), L"gray_png8", 1, -1));
  const std::string bytes = ts::read_file(saved);
  // Every cut before the image data ends: refused, for whatever reason libpng gives.
  std::vector<std::pair<std::string, std::string>> files;
  for (size_t cut = 0; cut + 12 < bytes.size(); cut += 3)
    files.push_back({bytes.substr(0, cut), ""});
  // Headers whose size is refused before any pixel memory exists.
  const std::string idat = chunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\x01", 8));
  const struct {
    const char* ihdr;
    const char* reason;
  } headers[] = {
      {"\0\0\x40\0\0\0\x40\0\x08\0\0\0\0", "image data cannot fit in the file"},
      {"\0\0\x80\0\0\0\x80\0\x10\0\0\0\0", "image too large to load"},
      {"\x01\0\0\x01\0\0\0\x01\x08\0\0\0\0", "Invalid IHDR data"},
  };
  for (const auto& h : headers) {
    files.push_back({std::string(kSignature, 8) + chunk("IHDR", std::string(h.ihdr, 13)) + idat +
                         chunk("IEND", ""),
                     std::string(h.reason) + "\n"});
  }
  for (const auto& [content, reason] : files) {
    const std::string path = dir.file("cut.png");
    ts::write_file(path, content);
    Image_f back;
    std::string log;
    EXPECT_FALSE(load(path, back, &log)) << content.size();
    const std::string prefix = "FAILED to read png '" + path + "': ";
    const size_t at = log.find(prefix);
    ASSERT_NE(at, std::string::npos) << log;
    if (!reason.empty()) {
      EXPECT_EQ(log.substr(at + prefix.size()), reason);
    }
  }
}

// The suite's files, loaded; the 'x' files must be refused. Each loaded image is compared
// with the script's expectation, read from one run over all of them.
TEST(PngLoad, LoadsTheSuiteAsPilDoes) {
  const std::string folder = std::string(QVX_OZK_SOURCE_DIR) + "/../shared/testdata/pngsuite";
  QVX_REQUIRE_TOOL(std::filesystem::is_directory(folder), "the PNG conformance suite " + folder);
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths.size(), 175u);
  std::string arguments;
  std::vector<std::pair<std::string, std::unique_ptr<Image_f>>> images;
  for (const std::string& path : paths) {
    auto image = std::make_unique<Image_f>();
    std::string log;
    const bool loaded = load(path, *image, &log);
    const bool refused = std::filesystem::path(path).filename().string()[0] == 'x';
    EXPECT_EQ(loaded, !refused) << path << ": " << log;
    const std::string failed = "\nFAILED to read png '" + path + "': ";
    EXPECT_EQ(("\n" + log).find(failed) != std::string::npos, refused) << log;
    if (!loaded) continue;
    arguments += " " + path;
    images.emplace_back(path, std::move(image));
  }
  std::string out;
  const int status = ts::run_command(python_command() + arguments + " 2>&1", &out);
  QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-pil");
  ASSERT_EQ(status, 0) << out;
  std::istringstream expected(out);
  for (const auto& [path, image] : images) {
    EXPECT_EQ(ts::differing_pixels(expected, *image, 1.0f / 255 + 1e-6f), 0) << path;
  }
}

}  // namespace
}  // namespace QVX::Image::Format
