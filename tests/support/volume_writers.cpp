#include "tests/support/volume_writers.h"

#include <cstring>
#include <sstream>

namespace QVX::TestSupport {

float voxel_value(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x) * 1.0f + static_cast<float>(y) * 1000.0f +
         static_cast<float>(z) * 0.001f;
}

std::vector<float> generated_volume(uint32_t nx, uint32_t ny, uint32_t nz) {
  std::vector<float> samples;
  for (uint32_t y = 0; y < ny; ++y) {
    for (uint32_t x = 0; x < nx; ++x) {
      for (uint32_t z = 0; z < nz; ++z) samples.push_back(voxel_value(x, y, z));
    }
  }
  return samples;
}

std::string u8_bytes(const std::vector<uint8_t>& samples) {
  return std::string(samples.begin(), samples.end());
}

std::string u16_bytes(const std::vector<uint16_t>& samples) {
  std::string out;
  for (uint16_t s : samples) {
    out.push_back(static_cast<char>(s & 0xFF));
    out.push_back(static_cast<char>(s >> 8));
  }
  return out;
}

std::string f32_bytes(const std::vector<float>& samples) {
  std::string out;
  for (float f : samples) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  }
  return out;
}

std::string packed_header(uint32_t nx, uint32_t ny, uint32_t nz, int bits,
                          const std::vector<std::string>& extra, const std::string& eol) {
  std::ostringstream out;
  out << "# QVX v2.0 Packed Volume" << eol << "Voxels: " << nx << ' ' << ny << ' ' << nz << eol
      << "BitsPerSample: " << bits << eol << "SweepDirection: 1" << eol;
  for (const std::string& line : extra) out << line << eol;
  out << "</content>" << eol;
  return out.str();
}

std::string colour_table_section(const std::string& lines) {
  return "3DView\n<3D View Properties Set>\n<3D View Properties>\n<ColorTable>\n" + lines +
         "</ColorTable>\n</3D View Properties>\n</3D View Properties Set>\nEnd3DView";
}

std::string colour_table_section(double min, double max, double full_min, double full_max) {
  std::ostringstream out;
  out << "<Min>" << min << "</Min>\n<Max>" << max << "</Max>\n<FullMin>" << full_min
      << "</FullMin>\n<FullMax>" << full_max << "</FullMax>\n";
  return colour_table_section(out.str());
}

std::string header_volume_text(uint32_t nx, uint32_t ny, uint32_t nz,
                               const std::vector<std::pair<std::string, int>>& files,
                               const std::vector<std::string>& extra) {
  std::ostringstream out;
  out << "<Brevant Quill Labs Volume Header>\n"
      << "  <Voxels>" << nx << ' ' << ny << ' ' << nz << "</Voxels>\n";
  for (const std::string& line : extra) out << "  " << line << '\n';
  out << "  <Files>\n";
  for (const auto& [name, slices] : files) {
    out << "    <Name>" << name << "</Name>\n    <NbSlices>" << slices << "</NbSlices>\n";
  }
  out << "  </Files>\n</Brevant Quill Labs Volume Header>\n";
  return out.str();
}

}  // namespace QVX::TestSupport
