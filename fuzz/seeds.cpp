#include "fuzz/seeds.h"

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf.h"
#include "fuzz/entry_points.h"
#include "image/image.h"
#include "tests/support/hr_files.h"
#include "tests/support/volume_writers.h"
#include "tools/hr_writer/hr_writer.h"

namespace QVX::Fuzz {
namespace {

namespace ts = QVX::TestSupport;

// Reads and removes a file the writers left in the scratch directory.
std::string take(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::filesystem::remove(path);
  return bytes;
}

std::string gzip(const std::string& bytes) {
  const std::string path = scratch_dir() + "/seed.gz";
  gzFile file = gzopen(path.c_str(), "wb9");
  if (file == nullptr) return {};
  gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size()));
  gzclose(file);
  return take(path);
}

// The generated values' low bits as samples of type T.
template <typename T>
std::vector<T> samples(const std::vector<float>& v) {
  std::vector<T> out;
  for (float f : v) out.push_back(static_cast<T>(static_cast<uint32_t>(f)));
  return out;
}

std::vector<Seed> packed_seeds() {
  const uint32_t nx = 5, ny = 4, nz = 6;
  const std::vector<float> v = ts::generated_volume(nx, ny, nz);
  const std::string p8 = ts::packed_header(nx, ny, nz, 8) + ts::u8_bytes(samples<uint8_t>(v));
  const std::string p16 =
      ts::packed_header(nx, ny, nz, 16, {}, "\r\n") + ts::u16_bytes(samples<uint16_t>(v));
  const std::string p32 =
      ts::packed_header(nx, ny, nz, 32, {"DisplayRange: 0 4000", "Min: 0 0 0", "Max: 5 4 6"}) +
      ts::f32_bytes(v);
  const std::string p32t =
      ts::packed_header(nx, ny, nz, 32, {ts::colour_table_section(0, 1, -2, 4000)}) +
      ts::f32_bytes(v);
  return {{"u8.pvol", p8},          {"u16.pvol", p16},        {"f32.pvol", p32},
          {"f32_table.pvol", p32t}, {"u8.pvol.gz", gzip(p8)}, {"f32.pvol.gz", gzip(p32)}};
}

std::vector<Seed> header_seeds() {
  const uint32_t nx = 5, ny = 4, nz = 6;
  const std::string slices = ts::f32_bytes(ts::generated_volume(nx, ny, nz));
  const std::string plain = ts::header_volume_text(nx, ny, nz, {{"slice.raw", int{ny}}},
                                                   {"<DataRange>0 4000</DataRange>"});
  const std::string located =
      ts::header_volume_text(nx, ny, nz, {{"slice.raw", 2}, {"slice.raw", 2}},
                             {"<Location>", "<Min>0 0 0</Min>", "<Max>5 4 6</Max>", "</Location>"});
  return {{"plain.hdr", header_volume_input(plain, slices)},
          {"two_names.hdr", header_volume_input(located, slices)},
          {"gzipped.hdr", header_volume_input(plain, gzip(slices))}};
}

std::vector<Seed> tag_seeds() {
  std::vector<Seed> out;
  for (const Seed& s : header_seeds())
    out.push_back({s.name, s.bytes.substr(0, s.bytes.find('\0'))});
  out.push_back({"colour_table.txt", ts::colour_table_section(0, 1, -2, 4000)});
  return out;
}

// Small files keep the fuzzer fast: past the root, only the first child of each node
// keeps its 32^3 brick (128 KiB each).
std::vector<Seed> hr_seeds() {
  std::vector<Seed> out;
  struct Case {
    const char* name;
    uint32_t n[3];
    uint32_t version;
    uint8_t checksum_type;
  };
  for (const Case& c :
       {Case{"v4_crc.hr", {64, 40, 33}, 4, 2}, Case{"v4_plain.hr", {64, 64, 64}, 4, 0},
        Case{"v4_sum.hr", {32, 20, 32}, 4, 1}, Case{"v3.hr", {40, 32, 32}, 3, 2},
        Case{"v1.hr", {32, 32, 32}, 1, 0}}) {
    Tools::HRWriteOptions options = ts::hr_options(c.n[0], c.n[1], c.n[2], c.version);
    options.checksum_type = c.checksum_type;
    options.no_brick = [](const Tools::HRNodeKey& k) {
      return k.depth > 0 && (k.x | k.y | k.z) != 0;
    };
    const std::string path = scratch_dir() + "/seed_" + c.name;
    std::string error;
    if (Tools::write_hr_volume(path, options, nullptr, &error)) {
      out.push_back({c.name, take(path)});
    }
  }
  return out;
}

// Saves a small gradient through the image layer in each named format.
std::vector<Seed> image_seeds(const std::vector<std::pair<const char*, const wchar_t*>>& files) {
  const uint32_t rows = 7, cols = 9;
  std::vector<float> pixels(rows * cols);
  for (uint32_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i) / 62.0f;
  Image::Image_f image(pixels.data(), rows, cols);
  std::vector<Seed> out;
  for (const auto& [name, format] : files) {
    const std::string path = scratch_dir() + "/seed_" + name;
    if (Image::save_image(image, Base::utf8_to_wide(path), format)) {
      out.push_back({name, take(path)});
    }
  }
  return out;
}

}  // namespace

std::vector<Seed> seeds(const std::string& target) {
  if (target == "packed_volume") return packed_seeds();
  if (target == "header_volume") return header_seeds();
  if (target == "tag_reader") return tag_seeds();
  if (target == "hr_volume") return hr_seeds();
  if (target == "tiff_load") {
    return image_seeds({{"f32.tif", L"gray_tif32"},
                        {"u16.tif", L"gray_tif16"},
                        {"u8.tif", L"gray_tif8"},
                        {"f32.tif.gz", L"gray_tif32"}});
  }
  if (target == "bmp_load")
    return image_seeds({{"u8.bmp", L"gray_bmp8"}, {"u8.bmp.gz", L"gray_bmp8"}});
  if (target == "png_load") return image_seeds({{"u8.png", L"gray_png8"}});
  return {};
}

}  // namespace QVX::Fuzz
