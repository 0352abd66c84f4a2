// The resolution levels of an HR volume and boxes read from them. Level k holds the
// samples of the nodes of depth max_depth - k: level 0 the stored voxels, level
// max_depth the root brick. Sample (i, j, l) of level k stands for voxel
// (i * 2^k, j * 2^k, l * 2^k) and is found by the rule of slice_extract.h.
#pragma once

#include <cstdint>

#include "ct/hr_volume.h"

namespace QVX::CT {

inline uint32_t hr_level_count(const HRVolume& volume) { return volume.max_depth() + 1; }

// Samples of level `level` (< hr_level_count) along x, y, z: ceil(resolution / 2^level).
HRVec3u hr_level_shape(const HRVolume& volume, uint32_t level);

// The box at `origin` with `size` (samples of level `level`) into `out`, in the layout of
// extract_box: y slowest, then x, then z. The caller keeps the box inside
// hr_level_shape; fails as extract_box does.
bool read_hr_region(const HRVolume& volume, uint32_t level, const HRVec3u& origin,
                    const HRVec3u& size, float* out);

}  // namespace QVX::CT
