// Writers for volume fixtures. They follow the file formats independently of the
// library's readers: a packed volume is its header text then the samples, slice after
// slice, each slice `nx` rows of `nz` samples; a header volume is tagged text beside raw
// little-endian float32 slice files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace QVX::TestSupport {

// The value a generated volume holds at voxel (x, y, z): distinct along every axis.
float voxel_value(uint32_t x, uint32_t y, uint32_t z);

// Samples of a generated nx * ny * nz volume in file order (y, then x, then z).
std::vector<float> generated_volume(uint32_t nx, uint32_t ny, uint32_t nz);

// Little-endian sample bytes.
std::string u8_bytes(const std::vector<uint8_t>& samples);
std::string u16_bytes(const std::vector<uint16_t>& samples);
std::string f32_bytes(const std::vector<float>& samples);

// A packed volume header: the magic line, "Voxels: nx ny nz", "BitsPerSample: bits",
// "SweepDirection: 1", the `extra` lines, then "</content>". Lines end in `eol`.
std::string packed_header(uint32_t nx, uint32_t ny, uint32_t nz, int bits,
                          const std::vector<std::string>& extra = {},
                          const std::string& eol = "\n");

// A 3D view section whose colour table holds `lines`, and one with a complete table.
std::string colour_table_section(const std::string& lines);
std::string colour_table_section(double min, double max, double full_min, double full_max);

// A header-volume text for nx * ny * nz voxels listing `files` as (name, slices).
std::string header_volume_text(uint32_t nx, uint32_t ny, uint32_t nz,
                               const std::vector<std::pair<std::string, int>>& files,
                               const std::vector<std::string>& extra = {});

}  // namespace QVX::TestSupport
