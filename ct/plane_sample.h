// Planes at any angle through a level of a volume, by trilinear interpolation: the plane's
// samples are grouped by the tile (a cube of 2^shift level samples) that holds the lower
// corner of their cell, and each tile is read with a one-sample margin on its upper sides,
// so that every sample interpolates inside one buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "ct/hr_volume.h"

namespace QVX::CT {

// Element (r, c), r < height, c < width, is the point origin + c u + r v in sample
// coordinates (x, y, z) of the level (sample (i, j, k) at the point (i, j, k)); a point
// with a coordinate below 0 or above the level's extent minus 1 gets `outside`.
struct PlaneGrid {
  double origin[3] = {0.0, 0.0, 0.0};
  double u[3] = {0.0, 0.0, 0.0};
  double v[3] = {0.0, 0.0, 0.0};
  uint32_t width = 0, height = 0;
  float outside = 0.0f;
};

// A tile in memory: `base` holds the tile's first sample, the next one along x, y and z
// lies sx, sy and sz floats on. The margin sample one past each upper side is readable
// wherever it lies inside the level.
struct TileView {
  const float* base = nullptr;
  int64_t sx = 0, sy = 0, sz = 0;
};

// Tile keys: the tile's index along x, y and z, 21 bits each.
inline uint64_t tile_key(uint64_t x, uint64_t y, uint64_t z) { return x | y << 21 | z << 42; }
inline uint32_t tile_key_axis(uint64_t key, int axis) {
  return static_cast<uint32_t>(key >> (21 * axis) & 0x1FFFFF);
}

// Makes the tiles of `keys` (sorted) readable as `views[i]`; may lock `hold`, which stays
// locked while the samples of these tiles are interpolated. False after logging why.
using PrepareTiles =
    std::function<bool(const std::vector<uint64_t>& keys, std::vector<TileView>& views,
                       std::unique_lock<std::mutex>& hold)>;

// Fills `out` (grid.width * grid.height floats) for a level of `extent` samples along x,
// y, z, preparing at most `chunk` tiles at a time. False when a preparation fails.
bool sample_plane_tiles(const PlaneGrid& grid, const uint32_t (&extent)[3], uint32_t shift,
                        size_t chunk, const PrepareTiles& prepare, float* out);

// The same for a level of an HR volume (hr_level_shape), by the rule of read_hr_region:
// bricks of the level's depth are loaded into the pool by node requests on the loader's
// workers (started here when not running) and bordered there; bricks the tree lacks at
// that depth, bricks next to such, and all bricks when the pool has none, are read as
// read_hr_region reads them. False, with a "FAILED" line, when a pool brick fails its
// checksum (naming its offset) or cannot be loaded, or when a read fails.
bool sample_hr_plane(HRVolume& volume, uint32_t level, const PlaneGrid& grid, float* out);

}  // namespace QVX::CT
