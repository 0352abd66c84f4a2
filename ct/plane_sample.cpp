#include "ct/plane_sample.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "base/clock.h"
#include "base/compiler.h"
#include "base/event.h"
#include "base/log.h"
#include "ct/loader.h"
#include "ct/node_request.h"
#include "ct/region_extract.h"
#include "ct/slice_extract.h"

namespace QVX::CT {
namespace {

unsigned long long as_ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// Loads that other threads undo (a preload pass evicting the plane's bricks) are tried
// again this many times before the call gives up.
constexpr int kLoadAttempts = 4;
// Requests per worker batch at least: fewer batches than workers for small planes.
constexpr size_t kRequestsPerBatch = 16;
// Tiles per chunk without a pool (512 bricks of 33^3 floats read, 72 MiB at most), and
// twice that with one.
constexpr size_t kChunkTiles = 512;

// Walks the plane's samples in order, telling `inside` each point within the level and
// `outside_at` the index of each other one.
template <typename Inside, typename Outside>
void walk_plane(const PlaneGrid& s, const uint32_t (&extent)[3], Inside inside,
                Outside outside_at) {
  const double limit[3] = {extent[0] - 1.0, extent[1] - 1.0, extent[2] - 1.0};
  size_t index = 0;
  for (uint32_t r = 0; r < s.height; ++r) {
    for (uint32_t c = 0; c < s.width; ++c, ++index) {
      double p[3];
      bool in = true;
      for (int a = 0; a < 3; ++a) {
        p[a] = s.origin[a] + c * s.u[a] + r * s.v[a];
        in = in && p[a] >= 0.0 && p[a] <= limit[a];
      }
      if (in) {
        inside(index, p);
      } else {
        outside_at(index);
      }
    }
  }
}

// A point of the plane inside a tile: its cell's lower corner, the steps to the next
// sample along x, y and z (0 where the weight is 0), the weights and where it goes.
struct PendingSample {
  const float* q;
  int64_t dx, dy, dz;
  double f[3];
  size_t index;
};

float interpolate(const PendingSample& s) {
  const float* q = s.q;
  const int64_t dx = s.dx, dy = s.dy, dz = s.dz;
  const auto lerp = [](double a, double b, double t) { return a + (b - a) * t; };
  const double c0 = lerp(lerp(q[0], q[dx], s.f[0]), lerp(q[dy], q[dy + dx], s.f[0]), s.f[1]);
  const double c1 =
      lerp(lerp(q[dz], q[dz + dx], s.f[0]), lerp(q[dz + dy], q[dz + dy + dx], s.f[0]), s.f[1]);
  return static_cast<float>(lerp(c0, c1, s.f[2]));
}

struct NodeAt {
  NodeLocation location;
  uint32_t key[3];
};

// The node of depth `depth` at tile `key` (or the leaf above it), with finest voxels
// `shift` levels below that depth.
NodeLocation node_of_tile(const HRVolume& volume, const uint32_t (&key)[3], uint32_t depth) {
  const uint32_t shift = volume.max_depth() - depth;
  return locate_node(volume,
                     {(key[0] * kBrickEdge) << shift, (key[1] * kBrickEdge) << shift,
                      (key[2] * kBrickEdge) << shift},
                     depth);
}

bool record_fits(const HRVolume& volume, uint64_t offset, uint64_t bytes) {
  const uint64_t size = volume.file().map_size();
  return offset <= size && bytes <= size - offset;
}

// Whether a neighbour's border samples, as the border fill gives them (its own brick, or
// 0.0 where the tree has none), are what read_hr_region reads there.
bool border_matches(const HRVolume& volume, const NodeLocation& at, uint32_t depth) {
  const HRNode& node = *at.node;
  if (node.brick_offset == 0) return node.children == nullptr || at.depth >= volume.max_depth();
  return at.depth == depth && record_fits(volume, node.brick_offset, kBrickDataBytes);
}

// Whether the tile at `key` can be served by a bordered pool brick: a brick of its own
// at the depth, and upper neighbours whose borders hold what a region read gives.
bool pool_serves(const HRVolume& volume, const NodeLocation& found, const uint32_t (&key)[3],
                 uint32_t depth, const uint32_t (&extent)[3]) {
  const HRNode& node = *found.node;
  if (found.depth != depth || node.brick_offset == 0 ||
      !record_fits(volume, node.brick_offset, brick_record_bytes(volume.checksum_type()))) {
    return false;
  }
  for (uint32_t d = 1; d < 8; ++d) {
    uint32_t next[3];
    bool beyond = false;
    for (int a = 0; a < 3; ++a) {
      next[a] = key[a] + ((d >> a) & 1);
      // Past the level's end a margin sample only ever gets a zero weight.
      beyond = beyond || uint64_t{next[a]} * kBrickEdge >= extent[a];
    }
    if (beyond) continue;
    if (!border_matches(volume, node_of_tile(volume, next, depth), depth)) return false;
  }
  return true;
}

// Loads and borders `nodes` through the loader's workers, several batches at once.
void request_bricks(HRVolume& volume, const std::vector<NodeAt>& nodes, uint32_t depth) {
  volume.start_loader();
  Loader& loader = volume.loader();
  const size_t batches =
      std::clamp<size_t>(nodes.size() / kRequestsPerBatch, 1, loader.worker_count());
  std::vector<std::unique_ptr<Base::ManualResetEvent>> done;
  // Each batch a run of neighbouring bricks (`nodes` go along x, then y, then z), so that
  // a border mostly takes from bricks its batch has just loaded.
  for (size_t b = 0; b < batches; ++b) {
    auto batch = std::make_unique<RequestBatch>();
    for (size_t i = nodes.size() * b / batches; i < nodes.size() * (b + 1) / batches; ++i) {
      NodeRequest request;
      request.node = const_cast<HRNode*>(nodes[i].location.node);
      request.depth = depth;
      // The centre of the node's first voxel, as the preload asks for nodes.
      for (int a = 0; a < 3; ++a) {
        request.position[a] =
            std::ldexp(nodes[i].key[a] + 1.0 / (2 * kBrickEdge), -static_cast<int>(depth));
      }
      batch->requests.push_back(request);
    }
    done.push_back(std::make_unique<Base::ManualResetEvent>());
    batch->done_event = done.back().get();
    loader.queue_batch(std::move(batch));
  }
  for (const auto& event : done) event->wait();
}

// Serves a chunk of HR tiles: pool bricks where they serve, region reads elsewhere.
class HRTiles {
 public:
  HRTiles(HRVolume& volume, uint32_t level)
      : volume_(volume),
        depth_(volume.max_depth() - level),
        shape_(hr_level_shape(volume, level)),
        extent_{shape_.x, shape_.y, shape_.z} {}

  bool prepare(const std::vector<uint64_t>& keys, std::vector<TileView>& views,
               std::unique_lock<std::mutex>& hold) {
    const bool pooled = volume_.brick_pool().capacity() != 0 || depth_ == 0;
    std::vector<size_t> in_pool;
    std::vector<NodeAt> nodes;
    read_.clear();
    views.assign(keys.size(), TileView{});
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint32_t key[3] = {tile_key_axis(keys[i], 0), tile_key_axis(keys[i], 1),
                               tile_key_axis(keys[i], 2)};
      const NodeLocation found = node_of_tile(volume_, key, depth_);
      if (pooled && pool_serves(volume_, found, key, depth_, extent_)) {
        in_pool.push_back(i);
        nodes.push_back({found, {key[0], key[1], key[2]}});
      } else if (!read_tile(key, views[i])) {
        return false;
      }
    }
    for (int attempt = 0;; ++attempt) {
      std::unique_lock<std::mutex> lock(volume_.pool_lock());
      std::vector<NodeAt> missing;
      for (size_t n = 0; n < nodes.size(); ++n) {
        HRNode& node = *const_cast<HRNode*>(nodes[n].location.node);
        if (volume_.brick_pool().failed_verification(node.brick_offset)) {
          Base::log_printf("FAILED to sample plane: brick at offset %llu failed verification\n",
                           as_ull(node.brick_offset));
          return false;
        }
        if (node.brick == nullptr || node.brick->bordered == 0) {
          missing.push_back(nodes[n]);
          continue;
        }
        // Most recently used: the loads that follow evict other bricks first.
        if (&node != &volume_.root()) node.last_use = Base::counter_now();
        views[in_pool[n]] = {node.brick->samples + PoolBrick::index(1, 1, 1), 1, kPoolBrickEdge,
                             kPoolBrickEdge * kPoolBrickEdge};
      }
      if (missing.empty()) {
        hold = std::move(lock);
        return true;
      }
      lock.unlock();
      if (attempt + 1 == kLoadAttempts) {
        Base::log_printf("FAILED to sample plane: brick at offset %llu could not be loaded\n",
                         as_ull(missing.front().location.node->brick_offset));
        return false;
      }
      request_bricks(volume_, missing, depth_);
    }
  }

 private:
  // The brick's box and its upper margin, inside the level, as read_hr_region reads it.
  bool read_tile(const uint32_t (&key)[3], TileView& view) {
    HRVec3u origin{key[0] * kBrickEdge, key[1] * kBrickEdge, key[2] * kBrickEdge};
    HRVec3u size{std::min(kBrickEdge + 1, extent_[0] - origin.x),
                 std::min(kBrickEdge + 1, extent_[1] - origin.y),
                 std::min(kBrickEdge + 1, extent_[2] - origin.z)};
    read_.emplace_back(size_t{size.x} * size.y * size.z);
    if (!read_hr_region(volume_, volume_.max_depth() - depth_, origin, size, read_.back().data())) {
      return false;
    }
    view = {read_.back().data(), size.z, int64_t{size.x} * size.z, 1};
    return true;
  }

  HRVolume& volume_;
  uint32_t depth_;
  HRVec3u shape_;
  uint32_t extent_[3];
  std::vector<std::vector<float>> read_;  // the chunk's tiles read outside the pool
};

}  // namespace

bool sample_plane_tiles(const PlaneGrid& grid, const uint32_t (&extent)[3], uint32_t shift,
                        size_t chunk, const PrepareTiles& prepare, float* out) {
  const auto key_of = [shift](const double(&p)[3], int64_t(&cell)[3]) {
    for (int a = 0; a < 3; ++a) cell[a] = static_cast<int64_t>(p[a]);
    return tile_key(cell[0] >> shift, cell[1] >> shift, cell[2] >> shift);
  };
  std::vector<uint64_t> keys;
  walk_plane(
      grid, extent,
      [&](size_t, const double(&p)[3]) {
        int64_t cell[3];
        const uint64_t key = key_of(p, cell);
        if (keys.empty() || keys.back() != key) keys.push_back(key);
      },
      [&](size_t index) { out[index] = grid.outside; });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

  chunk = std::max<size_t>(chunk, 1);
  // The samples a run of plane points reads are requested from memory as the points are
  // found and interpolated a run later: one point after another, each would wait for its
  // own cache misses, as the plane crosses the pool's bricks at no stride the processor
  // can foresee.
  constexpr size_t kRun = 64;
  PendingSample run[kRun];
  size_t queued = 0;
  const auto flush = [&] {
    for (size_t i = 0; i < queued; ++i) out[run[i].index] = interpolate(run[i]);
    queued = 0;
  };
  for (size_t first = 0; first < keys.size(); first += chunk) {
    const std::vector<uint64_t> part(
        keys.begin() + static_cast<ptrdiff_t>(first),
        keys.begin() + static_cast<ptrdiff_t>(std::min(keys.size(), first + chunk)));
    std::vector<TileView> views;
    std::unique_lock<std::mutex> hold;
    if (!prepare(part, views, hold)) return false;
    uint64_t last = ~uint64_t{0};
    const TileView* view = nullptr;
    walk_plane(
        grid, extent,
        [&](size_t index, const double(&p)[3]) {
          int64_t cell[3];
          const uint64_t key = key_of(p, cell);
          if (key != last) {
            last = key;
            const auto at = std::lower_bound(part.begin(), part.end(), key);
            view = at != part.end() && *at == key ? &views[static_cast<size_t>(at - part.begin())]
                                                  : nullptr;
          }
          if (view == nullptr) return;
          const int64_t mask = (int64_t{1} << shift) - 1;
          PendingSample& next = run[queued];
          next.q = view->base + (cell[0] & mask) * view->sx + (cell[1] & mask) * view->sy +
                   (cell[2] & mask) * view->sz;
          for (int a = 0; a < 3; ++a) next.f[a] = p[a] - static_cast<double>(cell[a]);
          // A zero weight never reaches past the sample itself: at the level's upper end
          // the next one may not be there.
          next.dx = next.f[0] > 0.0 ? view->sx : 0;
          next.dy = next.f[1] > 0.0 ? view->sy : 0;
          next.dz = next.f[2] > 0.0 ? view->sz : 0;
          next.index = index;
          for (const float* line :
               {next.q, next.q + next.dy, next.q + next.dz, next.q + next.dy + next.dz}) {
            Base::prefetch(line);
            Base::prefetch(line + next.dx);
          }
          if (++queued == kRun) flush();
        },
        [](size_t) {});
    flush();  // before the chunk's tiles are let go
  }
  return true;
}

bool sample_hr_plane(HRVolume& volume, uint32_t level, const PlaneGrid& grid, float* out) {
  if (level >= hr_level_count(volume)) {
    Base::log_printf("FAILED to sample plane at level %u: the coarsest level is %u\n", level,
                     volume.max_depth());
    return false;
  }
  HRTiles tiles(volume, level);
  const HRVec3u shape = hr_level_shape(volume, level);
  const uint32_t extent[3] = {shape.x, shape.y, shape.z};
  const uint64_t capacity = volume.brick_pool().capacity();
  // A chunk's pool bricks must all fit in the pool at once.
  const size_t chunk = capacity == 0
                           ? kChunkTiles
                           : static_cast<size_t>(std::min<uint64_t>(capacity, 2 * kChunkTiles));
  return sample_plane_tiles(
      grid, extent, 5, chunk,
      [&tiles](const std::vector<uint64_t>& keys, std::vector<TileView>& views,
               std::unique_lock<std::mutex>& hold) { return tiles.prepare(keys, views, hold); },
      out);
}

}  // namespace QVX::CT
