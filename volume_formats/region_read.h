// Boxes of packed and header volumes (one resolution level), read with only the bytes
// they need: the samples of one slice row that the box meets are one read, rows that
// follow each other in the file (whole rows, whole slices) are joined into one.
#pragma once

#include <cstdint>
#include <vector>

#include "volume_formats/header_volume.h"
#include "volume_formats/packed_volume.h"
#include "volume_formats/volume_fields.h"

namespace QVX::VolumeFormats {

// Voxels [x0, x0 + nx) x [y0, y0 + ny) x [z0, z0 + nz), x along the rows of a slice
// (height), y across slices, z along a row (width).
struct RegionBox {
  uint32_t x0 = 0, y0 = 0, z0 = 0;
  uint32_t nx = 0, ny = 0, nz = 0;
};

// The box into `out`: voxel (x, y, z) at out[((y - y0) * nx + (x - x0)) * nz + (z - z0)].
// The caller keeps the box inside the volume, nonempty, and its floats within memory.
// False on a short or damaged data area, an unknown sample width, or (header volumes) a
// slice that no file holds or a slice file that cannot be opened.
bool read_packed_region(PackedVolume& packed, const VolumeFields& fields, const RegionBox& box,
                        float* out);
bool read_header_region(const std::vector<FileEntry>& files, const VolumeFields& fields,
                        const RegionBox& box, float* out);

}  // namespace QVX::VolumeFormats
