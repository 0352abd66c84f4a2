// The octree of an HR volume in memory: the root node and the node pool, every tile of
// the file in breadth-first order. Read once at open, fixed while the volume is open;
// only the nodes' brick attachments change (brick_pool.h).
#pragma once

#include <cstdint>
#include <deque>

namespace QVX::Base::File {
class MappedFile;
}

namespace QVX::CT {

struct PoolBrick;
struct NodeTile;

struct HRNode {
  // The brick's samples while in memory: the root's own brick, read at open; for any
  // other node the pool brick lent to it, or null. Guarded by the pool lock.
  PoolBrick* brick = nullptr;
  // The tile of the eight children; null for a leaf. Not owning: the node pool owns tiles.
  NodeTile* children = nullptr;
  // File offset of the node's brick record; 0: the node has no brick.
  uint64_t brick_offset = 0;
  // Counter reading (base/clock.h) when a pool brick was last loaded for it; 0 when none.
  // Guarded by the pool lock.
  int64_t last_use = 0;
  float min = 0.0f;  // smallest sample of the node's brick, as stored
  float max = 0.0f;  // largest sample, as stored
  // As read: nonzero when a child tile follows in the file.
  uint32_t child_flag = 0;
};

// Child i of a node lies at offset (i & 1, (i >> 1) & 1, (i >> 2) & 1) inside it, so x
// varies fastest.
inline constexpr uint32_t child_index(uint32_t bx, uint32_t by, uint32_t bz) {
  return bx + 2 * by + 4 * bz;
}

struct NodeTile {
  HRNode nodes[8];
  // The parent's location code (its index along x, y, z among the nodes of its depth).
  uint32_t location_code[3] = {0, 0, 0};
  uint32_t depth = 1;  // depth of the eight nodes
};

// Every tile, breadth-first: depth 1, then depth 2, ... each depth in parent order. A
// deque keeps tiles in place as it grows, so `children` links stay valid.
using NodePool = std::deque<NodeTile>;

// Each reads at the file's position, advances it and logs its "FAILED" lines innermost
// first; false on the first read that fails, with the fields read so far kept.
bool read_node(HRNode& node, Base::File::MappedFile& file);
bool read_tile(NodeTile& tile, Base::File::MappedFile& file, uint32_t depth);
// Reads the tiles of depths 1 to max_depth + 1 in breadth-first order and links them to
// their parents; flags of nodes at depth max_depth + 1 are not followed (a WARNING is
// logged once when one is set). The pool is emptied first.
bool read_node_pool(NodePool& pool, Base::File::MappedFile& file, uint32_t max_depth);

// The node and its descendants down to depth `depth_limit`: 1 for a leaf or a node whose
// child tile lies deeper than the limit.
uint64_t count_nodes(const HRNode& node, uint32_t depth_limit);

}  // namespace QVX::CT
