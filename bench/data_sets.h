// The data sets of the benchmark suite: their file names and geometry for a given edge,
// and the manifest that records what the generator (bench_data) wrote, which the suite
// (ozk_bench) and bench/compare.py read back.
//
// All geometries follow the library's slice layout: nx rows (x) of nz samples (z) per
// slice, ny slices (y). With the default edge of 512:
//   cube    512 x 512 x 512     packed 8/16/32-bit, plain and gzip (the 32-bit gzip file
//                               holds the first quarter of the slices), the HR cube
//   wide    1024 x 64 x 1024    HR volume of 1024 x 1024 slices
//   header  512 x 128 x 512     header volume, 4 slice files of 32 slices, plain and gzip
//   sparse  2048 x 2048 x 32    HR volume of depth 6 whose tree follows a thin ring
//   TIFF    4096 x 4096         saved from memory, nothing generated
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QVX::Bench {

inline constexpr uint32_t kDefaultEdge = 512;
// The edge must be a multiple of this, so every derived geometry is whole.
inline constexpr uint32_t kEdgeStep = 32;

struct Geometry {
  uint32_t nx = 0, ny = 0, nz = 0;
  uint64_t slice_samples() const { return uint64_t{nx} * nz; }
  uint64_t samples() const { return slice_samples() * ny; }
};

Geometry cube_geometry(uint32_t edge);
Geometry gzip32_geometry(uint32_t edge);
Geometry wide_geometry(uint32_t edge);
Geometry header_geometry(uint32_t edge);
uint32_t header_slices_per_file(uint32_t edge);
Geometry sparse_geometry(uint32_t edge);
uint32_t tiff_side(uint32_t edge);

// File names inside the data folder.
namespace Names {
inline constexpr char kManifest[] = "manifest.txt";
inline constexpr char kPackedU8[] = "packed_u8.vol";
inline constexpr char kPackedU16[] = "packed_u16.vol";
inline constexpr char kPackedF32[] = "packed_f32.vol";
inline constexpr char kPackedU8Gz[] = "packed_u8.vol.gz";
inline constexpr char kPackedU16Gz[] = "packed_u16.vol.gz";
inline constexpr char kPackedF32Gz[] = "packed_f32_quarter.vol.gz";
inline constexpr char kHeaderPlain[] = "header_plain.hdr";
inline constexpr char kHeaderGzip[] = "header_gzip.hdr";
inline constexpr char kHRCube[] = "hr_cube.hr";
inline constexpr char kHRWide[] = "hr_wide.hr";
inline constexpr char kHRSparse[] = "hr_sparse.hr";
}  // namespace Names

// The slice files a header volume lists, in order: "<stem>_000.raw" (".raw.gz" when
// compressed), each holding header_slices_per_file(edge) slices.
std::vector<std::string> header_slice_files(const std::string& header_name, uint32_t edge);

// Generated files and their sizes, plus a few named numbers (the bytes an HR open reads,
// the data offsets of packed files). A file counts as present only while its size on disk
// matches the manifest.
struct Manifest {
  uint32_t edge = 0;
  std::map<std::string, uint64_t> files;
  std::map<std::string, uint64_t> values;

  // False when the folder has no readable manifest.
  bool load(const std::string& folder);
  // Written beside the data through a temporary file, so a crash never leaves half a list.
  bool save(const std::string& folder) const;
  bool present(const std::string& folder, const std::string& name) const;
  uint64_t value(const std::string& key) const;  // 0 when missing
};

uint64_t file_size_or_zero(const std::string& path);

}  // namespace QVX::Bench
