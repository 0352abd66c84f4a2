#include "image/bmp_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/external_tools.h"
#include "tests/support/image_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::Image::Format {
namespace {

namespace TS = QVX::TestSupport;

// A hand-made BMP: palette entries are 0xRRGGBB; offset 0 puts the pixels after the map.
struct Bmp {
  uint32_t header = 40;
  int32_t width = 1, height = 1;
  uint16_t bits = 8;
  uint32_t compression = 0;
  std::vector<uint32_t> palette = {};
  std::string pixels = {};
  uint32_t colours_used = 0;
  std::vector<uint32_t> masks = {};
  uint32_t offset = 0;
};

std::string le(uint32_t v, int n) {
  std::string s(static_cast<size_t>(n), '\0');
  for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string make_bmp(const Bmp& b) {
  std::string info =
      b.header == 12
          ? le(12, 4) + le(b.width, 2) + le(b.height, 2) + le(1, 2) + le(b.bits, 2)
          : le(b.header, 4) + le(b.width, 4) + le(b.height, 4) + le(1, 2) + le(b.bits, 2) +
                le(b.compression, 4) + std::string(12, '\0') +
                le(b.colours_used != 0 ? b.colours_used : uint32_t(b.palette.size()), 4) + le(0, 4);
  for (uint32_t m : b.masks) info += le(m, 4);
  if (b.header > 12 && b.header < 1024 && info.size() < b.header) info.resize(b.header, '\0');
  std::vector<uint32_t> map = b.palette;
  if (b.header == 12) map.resize(size_t{1} << b.bits);  // the core header's full map
  for (uint32_t c : map) info += le(c, b.header == 12 ? 3 : 4);
  const uint32_t offset = b.offset != 0 ? b.offset : static_cast<uint32_t>(14 + info.size());
  return "BM" + le(static_cast<uint32_t>(14 + info.size() + b.pixels.size()), 4) + le(0, 4) +
         le(offset, 4) + info + b.pixels;
}

bool load(const std::string& path, Image_f& image, std::string* log = nullptr) {
  return TS::load_image(BMP(), path, image, log);
}

// Saved pictures read back (a gz name compressed), and saves refused without a file.
TEST(BmpFormat, SavesGrayPicturesReadsThemBackAndRefusesBadSaves) {
  TS::TempDir dir;
  float pixels[] = {0.0f, 0.5f, 1.0f, 0.25f, 0.75f, 2.0f};
  Image_f image(pixels, 2, 3), empty;
  for (const std::string name : {"a.bmp", "a.bmp.GZ"}) {
    TS::CaptureStdout capture;
    ASSERT_TRUE(BMP().save_f(image, TS::wide(dir.file(name)), L"gray_bmp8", 1, -1));
    EXPECT_EQ(TS::strip_timestamps(capture.text()),
              "Saved bmp '" + dir.file(name) +
                  "' from float (w=3, h=2, fmt=gray_bmp8, info_len=0', cmin=0.000000, "
                  "cmax=2.000000)\n");
    Image_f back;
    ASSERT_TRUE(load(dir.file(name), back));
    const int bytes[] = {0, 64, 128, 32, 96, 255};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back.data[i], bytes[i] / 255.0f, 1e-6f) << name;
  }
  EXPECT_EQ(TS::read_file(dir.file("a.bmp")).size(), 78u);
  EXPECT_NE(TS::read_file(dir.file("a.bmp.GZ")).substr(0, 2), "BM");  // compressed
  TS::write_file(dir.file("plain"), "x");
  const struct {
    const Image_f* image;
    std::string path, name, log;
  } cases[] = {
      {&image, dir.file("e.bmp"), "GRAY_BMP8", ""},
      {&empty, dir.file("f.bmp"), "gray_bmp8", "FAILED to save bmp"},
      {&image, dir.file("plain/g.bmp"), "gray_bmp8", "FAILED to open bmp for writing"},
  };
  for (const auto& c : cases) {
    TS::CaptureStdout capture;
    EXPECT_FALSE(BMP().save_f(*c.image, TS::wide(c.path), TS::wide(c.name), 0, 0));
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.path;
    EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
  }
}

// Layouts the conformance suite leaves out or that need exact values; other layouts are
// covered by ConformanceSuiteAgreesWithPil.
TEST(BmpFormat, ReadsHandMadeFiles) {
  const Bmp rgb565 = {.width = 2,
                      .bits = 16,
                      .compression = 3,
                      .pixels = le(0xFFFF07E0, 4),
                      .masks = {0xF800, 0x07E0, 0x001F}};
  const Bmp core = {
      .header = 12, .width = 2, .bits = 4, .palette = {0, 0xFF00, 0xFF0000}, .pixels = le(0x12, 4)};
  const struct {
    Bmp bmp;
    std::vector<float> top_first;
  } cases[] = {
      {rgb565, {0.5f, 1}},
      {{.height = -2, .palette = {0, 0xFFFFFF}, .pixels = le(1, 4) + le(0, 4)}, {1, 0}},
      {core, {0.5f, 0.344f}},
      // RLE runs go on in the next row and stop at the buffer's end.
      {{.width = 2, .compression = 1, .palette = {0}, .pixels = std::string("\5\0", 2)}, {0, 0}},
      {{.width = 2, .compression = 1, .palette = {0}, .pixels = std::string("\0\3\1\1\1\0", 6)},
       {0, 0}},
  };
  TS::TempDir dir;
  const std::string path = dir.file("t.bmp");
  for (const auto& c : cases) {
    TS::write_file(path, make_bmp(c.bmp));
    Image_f image;
    std::string log;
    ASSERT_TRUE(load(path, image, &log)) << log;
    EXPECT_EQ(log, "Loaded bmp '" + path + "' into float (w=" + std::to_string(image.width()) +
                       ", h=" + std::to_string(image.height()) +
                       ", fmt=gray_bmp8, bpp=1, info_len=0')\n");
    ASSERT_EQ(uint64_t{image.width()} * image.height(), c.top_first.size());
    for (size_t i = 0; i < c.top_first.size(); ++i)
      EXPECT_NEAR(image.data[i], c.top_first[i], 1e-6f);
    Image_desc desc;
    EXPECT_TRUE(TS::load_image(BMP(), path, desc, &log) && desc.width() == image.width());
  }
}

TEST(BmpFormat, RefusesHostileFiles) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "FAILED to seek bmp to file size field"},
      {std::string("BM\0\0\0\0", 6), "Truncated header"},
      {make_bmp({.header = 20}), "Incompatible header size"},
      {make_bmp({.width = 100000, .height = 100000}), "Unsupported header content"},
      {make_bmp({.width = 0x7FFFFFFF, .height = -0x7FFFFFFF, .bits = 32}),
       "Unsupported header content"},
      {make_bmp({.height = -1, .compression = 1}), "Unsupported header content"},
      {make_bmp({.colours_used = 0x7FFFFFFF}), "FAILED to read bmp colormap"},
      {make_bmp({.header = 0xFFFFFFF0}), "Invalid colormap"},
      {make_bmp({.bits = 24, .pixels = "abcd", .offset = 99999}),
       "FAILED to seek to bmp pixel data offset"},
      {make_bmp({.width = 4, .height = 4, .bits = 24, .pixels = "ab"}),
       "FAILED to read bmp pixel data"},
  };
  TS::TempDir dir;
  for (const auto& [bytes, message] : cases) {
    TS::write_file(dir.file("h.bmp"), bytes);
    Image_f image;
    std::string log;
    EXPECT_FALSE(load(dir.file("h.bmp"), image, &log)) << message;
    EXPECT_EQ(log.rfind("FAILED", 0), 0u) << log;
    EXPECT_NE(log.find(message), std::string::npos) << log;
  }
}

// Pixels (more than one 8-bit step off) in which `image` differs from what
// tests/tools/bmp_expected.py prints for `arguments`; -1 when the script refuses.
int64_t differing_pixels(const Image_f& image, const std::string& arguments) {
  std::string out;
  if (TS::run_command(std::string("/usr/bin/python3 ") + QVX_OZK_SOURCE_DIR +
                          "/tests/tools/bmp_expected.py " + arguments + " 2>&1",
                      &out) != 0)
    return -1;
  std::istringstream in(out);
  return TS::differing_pixels(in, image, 1.0f / 255 + 1e-4f);
}

TEST(BmpFormat, ConformanceSuiteAgreesWithPil) {
  const std::string root = std::string(QVX_OZK_SOURCE_DIR) + "/../shared/testdata/bmpsuite";
  QVX_REQUIRE_TOOL(std::filesystem::is_directory(root), "the bmpsuite folder " + root);
  QVX_REQUIRE_TOOL(TS::run_command("/usr/bin/python3 -c 'import PIL' 2>&1") == 0, "python3-pil");
  // 1-bit files read set bits as 1 without their colour map, by the format's rule.
  const std::set<std::string> known = {"g/pal1bg.bmp", "g/pal1wb.bmp", "q/pal1p1.bmp"};
  std::vector<std::filesystem::path> files;
  for (const char* group : {"g", "q", "b"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root + "/" + group)) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string group = file.parent_path().filename().string();
    const std::string name = group + "/" + file.filename().string();
    Image_f image;
    std::string log;
    if (!load(file.string(), image, &log)) {
      EXPECT_NE(group, "g") << name << ": " << log;
      EXPECT_EQ(log.rfind("FAILED", 0), 0u) << name << ": " << log;
      continue;
    }
    if (group == "b") continue;
    // Where PIL refuses a file or reads it differently, the suite's own rendering decides.
    const std::string quoted = std::string("'").append(file.string()).append("'");
    if (differing_pixels(image, quoted) == 0 || known.count(name)) continue;
    EXPECT_EQ(differing_pixels(image, "--reference " + quoted), 0) << name;
  }
}

}  // namespace
}  // namespace QVX::Image::Format
