// Writes the volumes the Python tests read, with the test writers (which share no code with
// the library's readers): python_fixture_writer DIRECTORY HEIGHT SLICES WIDTH. Voxel
// (x, y, z) of the nx * ny * nz volume (HEIGHT, SLICES, WIDTH) holds f = (y * nx + x) * nz + z
// as f * 0.5 - 1000 in the float volumes, as 16-bit f * 40503 mod 65536 in u16.pvol.gz.
// Besides: f32.hdr over a plain and a gzipped slice file, f32.hrv (version 4, CRC-32),
// short.pvol (f32.pvol cut after one slice), damaged.hrv (f32.hrv cut after 200 bytes), and
// fifo_a.hdr, fifo_b.hdr over one 2 x 3 slice each in fifo_?.raw, which the tests make as pipes.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"
#include "tools/hr_writer/hr_writer.h"

namespace ts = QVX::TestSupport;

namespace {

uint32_t nx = 0, ny = 0, nz = 0;

uint64_t flat(uint32_t x, uint32_t y, uint32_t z) { return (uint64_t{y} * nx + x) * nz + z; }

float value(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(flat(x, y, z)) * 0.5f - 1000.0f;
}

// Samples of slices [first, last) in file order: y, then x, then z.
template <typename T, typename F>
std::vector<T> samples(uint32_t first, uint32_t last, F f) {
  std::vector<T> out;
  for (uint32_t y = first; y < last; ++y) {
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z) out.push_back(f(x, y, z));
    }
  }
  return out;
}

void write_hr(const std::string& path, std::optional<uint64_t> truncate_to) {
  QVX::Tools::HRWriteOptions options;
  options.resolution = {nx, ny, nz};
  options.vmin = {-1.0, -2.0, -3.0};
  options.vmax = std::array<double, 3>{-1.0 + 0.5 * nx, -2.0 + 2.0 * ny, -3.0 + 4.0 * nz};
  options.voxel = value;
  options.truncate_to = truncate_to;
  std::string error;
  if (!QVX::Tools::write_hr_volume(path, options, nullptr, &error)) {
    std::cerr << error << '\n';
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: python_fixture_writer DIRECTORY HEIGHT SLICES WIDTH\n";
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  nx = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  ny = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  nz = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));

  const std::string f32_header =
      ts::packed_header(nx, ny, nz, 32, {"Min: -1 -2 -3", "Max: 7 8 9", "DisplayRange: -5 10"});
  const std::string f32 = ts::f32_bytes(samples<float>(0, ny, value));
  ts::write_file(dir + "f32.pvol", f32_header + f32);
  ts::write_file(dir + "short.pvol", f32_header + f32.substr(0, size_t{nx} * nz * 4));

  const auto u16 = samples<uint16_t>(0, ny, [](uint32_t x, uint32_t y, uint32_t z) {
    return static_cast<uint16_t>(flat(x, y, z) * 40503 % 65536);
  });
  ts::write_gzip_file(dir + "u16.pvol.gz", ts::packed_header(nx, ny, nz, 16) + ts::u16_bytes(u16));

  const uint32_t half = ny / 2;
  ts::write_file(dir + "f32.hdr",
                 ts::header_volume_text(nx, ny, nz,
                                        {{"f32_0.raw", static_cast<int>(half)},
                                         {"f32_1.raw.gz", static_cast<int>(ny - half)}},
                                        {"<DataRange>-1000 5000</DataRange>"}));
  ts::write_file(dir + "f32_0.raw", ts::f32_bytes(samples<float>(0, half, value)));
  ts::write_gzip_file(dir + "f32_1.raw.gz", ts::f32_bytes(samples<float>(half, ny, value)));

  write_hr(dir + "f32.hrv", std::nullopt);
  write_hr(dir + "damaged.hrv", 200);

  for (const char* name : {"fifo_a", "fifo_b"}) {
    ts::write_file(dir + name + ".hdr",
                   ts::header_volume_text(2, 1, 3, {{std::string(name) + ".raw", 1}}));
  }
  return 0;
}
