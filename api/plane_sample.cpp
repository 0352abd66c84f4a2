// Planes at any angle through a level: HR volumes through the brick pool, the other kinds
// through region reads of bounded tiles.
#include "ct/plane_sample.h"

#include <cstdint>
#include <vector>

#include "api/volume_impl.h"
#include "base/checked_math.h"
#include "base/log.h"

namespace QVX::ozK {
namespace {

// The pool a volume gets when its first plane finds none.
constexpr uint64_t kDefaultCacheBytes = uint64_t{256} << 20;
constexpr uint64_t kPoolBrickBytes = uint64_t{CT::kPoolBrickSamples} * sizeof(float);
// Packed and header volumes: tiles of 64^3 samples, 32 of them (35 MiB) read at a time.
constexpr uint32_t kTileShift = 6;
constexpr size_t kTilesPerChunk = 32;

}  // namespace

bool VolumeImpl::set_cache_size(uint64_t bytes) {
  if (kind_ == VolumeKind::None) {
    Base::log_printf("FAILED to set cache size: no volume is open\n");
    return false;
  }
  // Only HR volumes keep bricks; the others read what each plane needs.
  if (kind_ != VolumeKind::HR) return true;
  return hr_volume_->set_pool_capacity(bytes / kPoolBrickBytes);
}

bool VolumeImpl::sample_plane(uint32_t level, const double* origin, const double* u,
                              const double* v, uint32_t width, uint32_t height, float outside,
                              float* out) {
  const uint32_t levels = num_levels();
  if (level >= levels) {
    Base::log_printf("FAILED to sample plane at level %u: the volume has %u levels\n", level,
                     levels);
    return false;
  }
  if (width == 0 || height == 0) return true;
  uint64_t bytes = 0;
  if (!Base::checked_mul(uint64_t{width} * height, sizeof(float), bytes) || bytes > SIZE_MAX) {
    Base::log_printf("FAILED to sample plane of %u x %u: more than memory holds\n", width, height);
    return false;
  }
  if (origin == nullptr || u == nullptr || v == nullptr || out == nullptr) {
    Base::log_printf("FAILED to sample plane of %u x %u: no %s\n", width, height,
                     out == nullptr ? "output buffer" : "origin or direction");
    return false;
  }
  CT::PlaneGrid grid;
  for (int a = 0; a < 3; ++a) {
    grid.origin[a] = origin[a];
    grid.u[a] = u[a];
    grid.v[a] = v[a];
  }
  grid.width = width;
  grid.height = height;
  grid.outside = outside;

  if (kind_ == VolumeKind::HR) {
    if (!sampled_ && hr_volume_->brick_pool().capacity() == 0) {
      hr_volume_->set_pool_capacity(kDefaultCacheBytes / kPoolBrickBytes);
    }
    sampled_ = true;
    return CT::sample_hr_plane(*hr_volume_, level, grid, out);
  }
  uint32_t extent[3];
  level_extent(level, extent);
  std::vector<std::vector<float>> tiles;
  const auto prepare = [&](const std::vector<uint64_t>& keys, std::vector<CT::TileView>& views,
                           std::unique_lock<std::mutex>&) {
    tiles.resize(keys.size());
    views.resize(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      uint32_t at[3], size[3];
      for (int a = 0; a < 3; ++a) {
        at[a] = CT::tile_key_axis(keys[i], a) << kTileShift;
        size[a] = std::min((1u << kTileShift) + 1, extent[a] - at[a]);
      }
      tiles[i].resize(size_t{size[0]} * size[1] * size[2]);
      if (!read_region(level, at, size, tiles[i].data())) return false;
      views[i] = {tiles[i].data(), size[2], int64_t{size[0]} * size[2], 1};
    }
    return true;
  };
  return CT::sample_plane_tiles(grid, extent, kTileShift, kTilesPerChunk, prepare, out);
}

}  // namespace QVX::ozK
