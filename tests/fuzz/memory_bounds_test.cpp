// Small files that declare enormous images or volumes: each is refused (or read) without
// the process ever holding much more heap than the file could justify. The allocation
// counter sees every allocation in the process, libtiff's, libpng's and zlib's included.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "image/bmp_format.h"
#include "image/image.h"
#include "image/png_format.h"
#include "image/tiff_format.h"
#include "qvx_ozk.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/image_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

namespace QVX {
namespace {

namespace ts = QVX::TestSupport;

// Far below what any of the files declares, far above what reading a header needs.
constexpr uint64_t kBound = uint64_t{8} << 20;

// Appends each value as `bytes` little-endian bytes (big-endian for a negative count).
void put(std::string& s, int bytes, std::initializer_list<uint32_t> values) {
  const int n = std::abs(bytes);
  for (const uint32_t v : values) {
    for (int i = 0; i < n; ++i)
      s.push_back(static_cast<char>(v >> (8 * (bytes > 0 ? i : n - 1 - i))));
  }
}

std::string gzipped(const ts::TempDir& dir, const std::string& bytes) {
  const std::string path = dir.path() + "/scratch.gz";
  ts::write_gzip_file(path, bytes);
  return ts::read_file(path);
}

// An 8-bit RLE bitmap of side x side pixels whose data is one end-of-bitmap: 1,080 bytes
// for any side.
std::string rle8_bmp(uint32_t side) {
  std::string b = "BM";
  put(b, 4, {1080, 0, 14 + 40 + 1024, 40, side, side});
  put(b, 2, {1, 8});
  put(b, 4, {1, 0, 0, 0, 0, 0});  // RLE8
  b.append(1024, '\0');
  b += std::string("\0\1", 2);
  return b;
}

// A little-endian TIFF of width x height 32-bit floats in one strip whose 16 bytes of
// data follow the directory.
std::string float_tiff(uint32_t width, uint32_t height, uint16_t compression) {
  struct Entry {
    uint16_t tag, type;
    uint32_t value;
  };
  const uint32_t data_offset = 8 + 2 + 10 * 12 + 4;
  const Entry entries[] = {{256, 4, width}, {257, 4, height},
                           {258, 3, 32},    {259, 3, compression},
                           {262, 3, 1},     {273, 4, data_offset},
                           {277, 3, 1},     {278, 4, height},
                           {279, 4, 16},    {339, 3, 3}};
  std::string t = "II*";
  t.push_back('\0');
  put(t, 4, {8});
  put(t, 2, {10});
  for (const Entry& e : entries) {
    put(t, 2, {e.tag, e.type});
    put(t, 4, {1});
    put(t, e.type == 3 ? 2 : 4, {e.value});
    if (e.type == 3) put(t, 2, {0});
  }
  put(t, 4, {0});
  t.append(16, '\0');
  return t;
}

// A gray 8-bit PNG of width x height whose image data inflates to two bytes.
std::string gray_png(uint32_t width, uint32_t height) {
  std::string png("\x89PNG\r\n\x1a\n", 8), ihdr, idat(64, '\0');
  put(ihdr, -4, {width, height});
  ihdr += std::string("\x08\x00\x00\x00\x00", 5);
  const Bytef raw[2] = {};
  uLongf size = idat.size();
  compress(reinterpret_cast<Bytef*>(idat.data()), &size, raw, sizeof raw);
  idat.resize(size);
  for (const std::string& chunk : {"IHDR" + ihdr, "IDAT" + idat, std::string("IEND")}) {
    put(png, -4, {static_cast<uint32_t>(chunk.size() - 4)});
    png += chunk;
    put(png, -4,
        {static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(chunk.data()),
                                     static_cast<uInt>(chunk.size())))});
  }
  return png;
}

template <typename Format>
bool load(const std::string& path) {
  Image::Image_f image;
  return ts::load_image(Format(), path, image);
}

// Opens a volume and reads slice 0 into a caller's buffer allocated before the count
// starts, as a program that trusted the geometry would.
bool open_and_read(const std::string& path, std::vector<float>* slice) {
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  bool ok = qvx_ozk_volume_open(volume, path.c_str());
  if (ok && slice != nullptr) ok = qvx_ozk_volume_read_slice(volume, slice->data(), 0);
  qvx_ozk_volume_close(volume);
  qvx_ozk_volume_delete(volume);
  return ok;
}

TEST(MemoryBoundsTest, SmallFilesDeclaringHugeDataAreRefusedWithinTheBound) {
  const ts::TempDir dir;
  const struct {
    const char* name;
    bool (*load)(const std::string&);
    std::string bytes;
    const char* message;  // in the FAILED line
  } cases[] = {
      {"a.bmp", load<Image::Format::BMP>, rle8_bmp(16384), "bytes of RLE data cannot describe"},
      {"a.bmp.gz", load<Image::Format::BMP>, gzipped(dir, rle8_bmp(16384)),
       "bytes of RLE data cannot describe"},
      {"a.tif", load<Image::Format::TIFF>, float_tiff(30000, 30000, 1), "too small for its image"},
      {"b.tif", load<Image::Format::TIFF>, float_tiff(30000, 30000, 8), "too small for its image"},
      {"a.tif.gz", load<Image::Format::TIFF>, gzipped(dir, float_tiff(30000, 30000, 8)),
       "too small for its image"},
      {"a.png", load<Image::Format::PNG>, gray_png(100000, 100000), "FAILED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::write_file(dir.file(c.name), c.bytes);
    ts::CaptureStdout out;
    const ts::AllocationPeak peak;
    EXPECT_FALSE(c.load(dir.file(c.name)));
    EXPECT_LT(peak.bytes(), kBound);
    EXPECT_NE(out.text().find(c.message), std::string::npos) << out.text();
  }
}

TEST(MemoryBoundsTest, GzipVolumesDeclaringHugeGeometryStayBounded) {
  const ts::TempDir dir;
  // About 100 bytes compressed, 60000^3 samples declared.
  const std::string huge = dir.path() + "/huge.pvol.gz";
  ts::write_gzip_file(huge, ts::packed_header(60000, 60000, 60000, 8));
  ASSERT_LT(ts::read_file(huge).size(), 200u);
  // A slice a caller can allocate (2048 x 2048), 60000 of them declared, none present.
  const std::string tall = dir.path() + "/tall.pvol.gz";
  ts::write_gzip_file(tall, ts::packed_header(2048, 60000, 2048, 16));
  const std::string header = dir.path() + "/huge.hdr";
  ts::write_file(header, ts::header_volume_text(2048, 60000, 2048, {{"slice.raw", 60000}}));
  ts::write_file(dir.path() + "/slice.raw", std::string(64, '\0'));

  std::vector<float> slice(size_t{2048} * 2048);
  ts::CaptureStdout out;
  {
    const ts::AllocationPeak peak;
    EXPECT_TRUE(open_and_read(huge, nullptr));
    EXPECT_LT(peak.bytes(), kBound);
  }
  for (const std::string& path : {tall, header}) {
    SCOPED_TRACE(path);
    const ts::AllocationPeak peak;
    EXPECT_FALSE(open_and_read(path, &slice));
    EXPECT_LT(peak.bytes(), kBound);
  }
}

}  // namespace
}  // namespace QVX
