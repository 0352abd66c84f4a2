#include "ct/hr_verify.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "ct/brick_pool.h"
#include "ct/hr_format.h"

namespace QVX::CT {
namespace {

unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

struct BrickPlace {
  uint64_t offset;
  uint32_t depth;
  uint32_t y;  // the node's location code along y
};

}  // namespace

bool verify_hr_volume(const HRVolume& volume, Base::File::Progress::Function function, void* user) {
  // The root, then every node of depths up to max_depth with a brick; readers follow no
  // node below that depth.
  std::vector<BrickPlace> bricks;
  if (volume.root().brick_offset != 0) bricks.push_back({volume.root().brick_offset, 0, 0});
  for (const NodeTile& tile : volume.node_pool()) {
    if (tile.depth > volume.max_depth()) continue;
    for (uint32_t i = 0; i < 8; ++i) {
      const uint64_t offset = tile.nodes[i].brick_offset;
      if (offset != 0)
        bricks.push_back({offset, tile.depth, 2 * tile.location_code[1] + ((i >> 1) & 1)});
    }
  }
  Base::File::Progress progress(function, user, bricks.size());
  const uint64_t size = volume.file().map_size();
  const uint64_t record = brick_record_bytes(volume.checksum_type());
  const auto brick = std::make_unique<PoolBrick>();
  bool whole = true;
  for (const BrickPlace& b : bricks) {
    const uint64_t edge = uint64_t{kBrickEdge} << (volume.max_depth() - b.depth);
    const uint64_t first = b.y * edge;
    const std::string slices =
        Base::File::slice_range(first, std::min<uint64_t>(first + edge, volume.resolution().y) - 1);
    bool checksum_ok = true;
    if (b.offset > size || record > size - b.offset) {
      Base::log_printf(
          "FAILED brick at offset %llu of '%s' lies beyond the end of the file (%llu bytes): "
          "%s damaged\n",
          ull(b.offset), volume.name().c_str(), ull(size), slices.c_str());
      whole = false;
    } else if (!brick_read(*brick, volume.file(), b.offset, volume.checksum_type(), &checksum_ok)) {
      whole = false;  // brick_read said why
    } else if (!checksum_ok) {
      Base::log_printf("FAILED brick at offset %llu of '%s' fails its checksum: %s damaged\n",
                       ull(b.offset), volume.name().c_str(), slices.c_str());
      whole = false;
    }
    progress.add(1);
  }
  progress.finish();
  return whole;
}

}  // namespace QVX::CT
