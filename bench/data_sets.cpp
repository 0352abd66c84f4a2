#include "bench/data_sets.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace QVX::Bench {

Geometry cube_geometry(uint32_t edge) { return {edge, edge, edge}; }
Geometry gzip32_geometry(uint32_t edge) { return {edge, edge / 4, edge}; }
Geometry wide_geometry(uint32_t edge) { return {2 * edge, edge / 8, 2 * edge}; }
Geometry header_geometry(uint32_t edge) { return {edge, edge / 4, edge}; }
uint32_t header_slices_per_file(uint32_t edge) { return edge / 16; }
// Depth 6 needs a largest edge above 1024; x stays 2048 whatever the edge, and the ring
// (in the x-y plane) grows with y.
Geometry sparse_geometry(uint32_t edge) { return {2048, 4 * edge, 32}; }
uint32_t tiff_side(uint32_t edge) { return 8 * edge; }

std::vector<std::string> header_slice_files(const std::string& header_name, uint32_t edge) {
  const std::string stem = header_name.substr(0, header_name.rfind('.'));
  const bool gzip = header_name == Names::kHeaderGzip;
  const uint32_t count = header_geometry(edge).ny / header_slices_per_file(edge);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", i);
    names.push_back(stem + suffix + (gzip ? ".raw.gz" : ".raw"));
  }
  return names;
}

uint64_t file_size_or_zero(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<uint64_t>(info.st_size);
}

bool Manifest::load(const std::string& folder) {
  std::ifstream in(folder + "/" + Names::kManifest);
  if (!in) return false;
  *this = Manifest{};
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, key;
    uint64_t number = 0;
    fields >> kind;
    if (kind == "edge") {
      fields >> edge;
    } else if (kind == "file" && fields >> key >> number) {
      files[key] = number;
    } else if (kind == "value" && fields >> key >> number) {
      values[key] = number;
    }
  }
  return edge != 0;
}

bool Manifest::save(const std::string& folder) const {
  const std::string path = folder + "/" + Names::kManifest;
  {
    std::ofstream out(path + ".partial", std::ios::trunc);
    out << "edge " << edge << '\n';
    for (const auto& [name, size] : files) out << "file " << name << ' ' << size << '\n';
    for (const auto& [key, number] : values) out << "value " << key << ' ' << number << '\n';
    if (!out.flush()) return false;
  }
  return std::rename((path + ".partial").c_str(), path.c_str()) == 0;
}

bool Manifest::present(const std::string& folder, const std::string& name) const {
  const auto it = files.find(name);
  return it != files.end() && it->second != 0 &&
         file_size_or_zero(folder + "/" + name) == it->second;
}

uint64_t Manifest::value(const std::string& key) const {
  const auto it = values.find(key);
  return it == values.end() ? 0 : it->second;
}

}  // namespace QVX::Bench
