#include "ct/node_requests.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

#include "base/endian.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/report.h"
#include "ct/brick_pool.h"
#include "ct/hr_volume.h"
#include "ct/loader.h"
#include "ct/node_tree.h"

namespace QVX::CT {
namespace {

constexpr const char* kSource = "ct/hr_volume";

uint64_t nodes_down_to(const HRVolume& volume, uint32_t depth) {
  const NodeTile* tile = volume.root().children;
  if (tile == nullptr || depth < 1) return 0;
  uint64_t count = 0;
  for (const HRNode& node : tile->nodes) count += count_nodes(node, depth);
  return count;
}

// Corners, edges along z, y and x, then faces. Each border element belongs to exactly one
// entry, so the order decides only the order of the lookups.
struct Offset {
  int x, y, z;
};
constexpr Offset kNeighbours[26] = {
    {-1, -1, -1}, {-1, -1, +1}, {-1, +1, -1}, {-1, +1, +1}, {+1, -1, -1}, {+1, -1, +1},
    {+1, +1, -1}, {+1, +1, +1}, {-1, -1, 0},  {-1, +1, 0},  {+1, -1, 0},  {+1, +1, 0},
    {-1, 0, -1},  {-1, 0, +1},  {+1, 0, -1},  {+1, 0, +1},  {0, -1, -1},  {0, -1, +1},
    {0, +1, -1},  {0, +1, +1},  {-1, 0, 0},   {+1, 0, 0},   {0, -1, 0},   {0, +1, 0},
    {0, 0, -1},   {0, 0, +1},
};

// Resolved before the guarded copy, so that the copy itself neither descends the tree nor
// decides anything a fault could leave half done.
struct NeighbourSource {
  const PoolBrick* brick = nullptr;
  const uint8_t* record = nullptr;
  uint64_t offset = 0;
};

// Plain data only: it lives across a guarded call, which a fault leaves by a jump.
struct BorderWork {
  PoolBrick* target;
  NeighbourSource sources[26];
  volatile uint64_t reading;  // offset of the record being read, for the fault message
};

// The first border element of a neighbour's side (x0) and the last (x1), and the sample of
// the neighbour that the first one takes (s0); the two advance together along the axes
// where the offset is 0.
struct Span {
  uint32_t x0, x1, s0;
};
constexpr Span span_of(int o) {
  return o < 0   ? Span{0, 0, kBrickEdge - 1}
         : o > 0 ? Span{kPoolBrickEdge - 1, kPoolBrickEdge - 1, 0}
                 : Span{1, kBrickEdge, 0};
}

// Copies an nx x ny x nz block (nx 1 or a whole row) into the target's border, each
// sample through `load(j, k, i)`; the row length is a constant in each instance, so a
// row is a few vector moves and a column a plain loop.
template <uint32_t nx, typename Load>
void copy_block(float* out, uint32_t ny, uint32_t nz, Load load) {
  for (uint32_t k = 0; k < nz; ++k) {
    for (uint32_t j = 0; j < ny; ++j) {
      float* row = out + PoolBrick::index(0, j, k);
      for (uint32_t i = 0; i < nx; ++i) row[i] = load(j, k, i);
    }
  }
}

template <uint32_t nx>
void copy_from(const NeighbourSource& source, float* out, uint32_t ny, uint32_t nz,
               const uint32_t (&s0)[3]) {
  if (source.brick != nullptr) {
    const float* in = source.brick->samples + PoolBrick::index(s0[0] + 1, s0[1] + 1, s0[2] + 1);
    copy_block<nx>(out, ny, nz, [in](uint32_t j, uint32_t k, uint32_t i) {
      return in[PoolBrick::index(i, j, k)];
    });
  } else if (source.record != nullptr) {
    const uint8_t* in =
        source.record + 4 * uint64_t{s0[0] + kBrickEdge * (s0[1] + kBrickEdge * s0[2])};
    copy_block<nx>(out, ny, nz, [in](uint32_t j, uint32_t k, uint32_t i) {
      return Base::load_le_f32(in + 4 * (i + kBrickEdge * (j + kBrickEdge * size_t{k})));
    });
  } else {
    copy_block<nx>(out, ny, nz, [](uint32_t, uint32_t, uint32_t) { return 0.0f; });
  }
}

void copy_border(void* context) {
  auto* work = static_cast<BorderWork*>(context);
  for (int n = 0; n < 26; ++n) {
    const Offset& o = kNeighbours[n];
    const NeighbourSource& source = work->sources[n];
    work->reading = source.offset;
    const Span sx = span_of(o.x), sy = span_of(o.y), sz = span_of(o.z);
    float* out = &work->target->at(sx.x0, sy.x0, sz.x0);
    const uint32_t ny = sy.x1 - sy.x0 + 1, nz = sz.x1 - sz.x0 + 1;
    const uint32_t s0[3] = {sx.s0, sy.s0, sz.s0};
    if (o.x == 0) {
      copy_from<kBrickEdge>(source, out, ny, nz, s0);
    } else {
      copy_from<1>(source, out, ny, nz, s0);
    }
  }
}

}  // namespace

void collect_requests(HRVolume& volume, std::vector<NodeRequest>& out, uint32_t depth) {
  if (depth == 0) return;
  const uint64_t before = nodes_down_to(volume, depth - 1);
  const uint64_t through = nodes_down_to(volume, depth);
  const NodePool& tiles = volume.node_pool();
  // A tree whose counts do not match the pool must not lead outside it.
  const uint64_t first = std::min<uint64_t>(before / 8, tiles.size());
  const uint64_t end = std::min<uint64_t>(first + (through - before) / 8, tiles.size());
  for (uint64_t t = first; t < end; ++t) {
    NodeTile& tile = volume.node_pool()[static_cast<size_t>(t)];
    if (tile.depth != depth) continue;
    for (uint32_t i = 0; i < 8; ++i) {
      HRNode& node = tile.nodes[i];
      if (node.brick_offset == 0) continue;
      if (node.brick != nullptr && node.brick->bordered != 0) continue;
      const uint32_t b[3] = {i & 1, (i >> 1) & 1, (i >> 2) & 1};
      NodeRequest request;
      request.node = &node;
      request.depth = depth;
      // The centre of the node's first voxel, 1/64 of its edge inside it, taken straight
      // from the location code: normalising a world position by vmin..hr_vmax would land
      // in another node whenever the stored extent is not the root's.
      for (int a = 0; a < 3; ++a) {
        const double cell = 2.0 * tile.location_code[a] + b[a];
        request.position[a] = std::ldexp(cell + 1.0 / (2 * kBrickEdge), -static_cast<int>(depth));
      }
      out.push_back(request);
    }
  }
}

HRNode* find_node_normalised(HRVolume& volume, const double (&position)[3], uint32_t depth) {
  double p[3] = {position[0], position[1], position[2]};
  for (double c : p) {
    if (!(c >= 0.0) || c >= 1.0) return nullptr;
  }
  HRNode* node = &volume.root();
  for (uint32_t level = 0; level < depth; ++level) {
    uint32_t b[3];
    for (int a = 0; a < 3; ++a) {
      const double t = 2.0 * p[a];
      b[a] = static_cast<uint32_t>(t);
      p[a] = t - b[a];
    }
    NodeTile* children = node->children;
    if (children == nullptr || children->depth != level + 1) return nullptr;
    node = &children->nodes[child_index(b[0], b[1], b[2])];
  }
  return node->brick_offset == 0 ? nullptr : node;
}

bool fill_border(HRVolume& volume, const NodeRequest& request) {
  HRNode* node = request.node;
  if (node->brick_offset == 0 || node->brick == nullptr || node->brick->bordered != 0) {
    return true;
  }
  const int depth = static_cast<int>(request.depth);
  const double h = std::pow(2.0, -depth);
  double centre[3];
  for (int a = 0; a < 3; ++a) {
    centre[a] = (std::floor(std::ldexp(request.position[a], depth)) + 0.5) * h;
  }

  const uint8_t* base = volume.map_base();
  const uint64_t size = volume.file().map_size();
  BorderWork work{node->brick, {}, 0};
  for (int n = 0; n < 26; ++n) {
    const Offset& o = kNeighbours[n];
    const double at[3] = {centre[0] + o.x * h, centre[1] + o.y * h, centre[2] + o.z * h};
    const HRNode* neighbour = find_node_normalised(volume, at, request.depth);
    if (neighbour == nullptr) continue;
    NeighbourSource& source = work.sources[n];
    source.offset = neighbour->brick_offset;
    if (neighbour->brick != nullptr) {
      source.brick = neighbour->brick;
    } else if (base != nullptr && source.offset <= size &&
               size - source.offset >= kBrickDataBytes) {
      source.record = base + source.offset;
    }
  }

  int fault = 0;
  if (!Base::Platform::guarded_call(copy_border, &work, &fault)) {
    Base::log_printf("FAILED to read brick at offset %llu (%X)\n", Base::as_ull(work.reading),
                     static_cast<unsigned>(fault));
    return false;
  }
  node->brick->bordered = 1;
  return true;
}

bool process_batch(Loader& loader, RequestBatch& batch) {
  auto go_on = [&] { return loader.running() && !(batch.cancel && batch.cancel()); };
  if (!go_on()) return false;
  std::vector<NodeRequest>& requests = batch.requests;
  if (loader.sort_requests() && requests.size() > 1) {
    std::sort(requests.begin(), requests.end(), [](const NodeRequest& a, const NodeRequest& b) {
      return a.node->brick_offset < b.node->brick_offset;
    });
  }

  for (size_t i = 0; i < requests.size(); ++i) {
    if (!go_on()) return false;
    // pool_load, with the read and its check outside the lock, so that the workers copy
    // and verify their bricks side by side.
    BrickPool& pool = loader.pool();
    PoolBrick* brick = nullptr;
    BrickPool::Take take;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(loader.pool_lock());
        take = pool.pool_take(requests[i], &brick);
      }
      if (take != BrickPool::Take::Busy) break;
      if (!go_on()) return false;
      std::this_thread::yield();
    }
    bool loaded = take == BrickPool::Take::Loaded;
    if (take == BrickPool::Take::Read) {
      bool checksum_ok = true;
      const bool read = pool.pool_read(*brick, requests[i].node->brick_offset, &checksum_ok);
      std::lock_guard<std::mutex> lock(loader.pool_lock());
      loaded = pool.pool_give(requests[i], brick, read, checksum_ok);
    }
    if (loaded && loader.force_preload()) loader.force_loaded.fetch_add(1);
    if (!loaded) {
      Base::log_printf("FAILED to load requested node\n");
      return false;
    }
    if (i % 2 == 1) progress_step(batch);
  }

  if (!go_on()) return false;
  for (size_t i = 0; i < requests.size(); ++i) {
    if (!go_on()) return false;
    bool bordered = false;
    {
      std::lock_guard<std::mutex> lock(loader.pool_lock());
      bordered = fill_border(loader.volume(), requests[i]);
    }
    if (!bordered) {
      Base::log_printf("FAILED to interpolate requested node\n");
      return false;
    }
    if (i % 2 == 0) progress_step(batch);
  }
  return true;
}

void progress_step(RequestBatch& batch) {
  if (!batch.progress) return;
  if (batch.remaining == 0) {
    // More steps than announced: say 100 rather than a percentage of a wrapped count.
    QVX_REPORT_BUG();
    ++batch.done;
    batch.progress(100);
    return;
  }
  ++batch.done;
  --batch.remaining;
  const double percent =
      static_cast<double>(batch.done) * 100.0 / static_cast<double>(batch.done + batch.remaining);
  batch.progress(static_cast<int32_t>(percent));
}

}  // namespace QVX::CT
