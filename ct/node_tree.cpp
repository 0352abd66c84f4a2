#include "ct/node_tree.h"

#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "base/log.h"

namespace QVX::CT {
namespace {

bool read_u32(Base::File::MappedFile& file, uint32_t* value) {
  unsigned char bytes[4];
  if (!file.map_read(bytes, sizeof bytes)) return false;
  *value = Base::load_le32(bytes);
  return true;
}

bool read_u64(Base::File::MappedFile& file, uint64_t* value) {
  unsigned char bytes[8];
  if (!file.map_read(bytes, sizeof bytes)) return false;
  *value = Base::load_le64(bytes);
  return true;
}

bool read_f32(Base::File::MappedFile& file, float* value) {
  unsigned char bytes[4];
  if (!file.map_read(bytes, sizeof bytes)) return false;
  *value = Base::load_le_f32(bytes);
  return true;
}

}  // namespace

bool read_node(HRNode& node, Base::File::MappedFile& file) {
  if (!read_u32(file, &node.child_flag)) {
    Base::log_printf("FAILED to read whether node is a leaf\n");
    return false;
  }
  node.brick = nullptr;
  if (!read_u64(file, &node.brick_offset)) {
    Base::log_printf("FAILED to read node brick offset\n");
    return false;
  }
  if (!read_f32(file, &node.min)) {
    Base::log_printf("FAILED to read min brick value of node\n");
    return false;
  }
  if (!read_f32(file, &node.max)) {
    Base::log_printf("FAILED to read max brick value of node\n");
    return false;
  }
  return true;
}

bool read_tile(NodeTile& tile, Base::File::MappedFile& file, uint32_t depth) {
  tile.depth = depth;
  unsigned char code[12];
  if (!file.map_read(code, sizeof code)) {
    Base::log_printf("FAILED to read node tile location code at depth %u\n", depth);
    return false;
  }
  for (int a = 0; a < 3; ++a) tile.location_code[a] = Base::load_le32(code + 4 * a);
  for (uint32_t i = 0; i < 8; ++i) {
    if (!read_node(tile.nodes[i], file)) {
      Base::log_printf("FAILED to read node[%u] in node tile at depth %u\n", i, depth);
      return false;
    }
  }
  return true;
}

bool read_node_pool(NodePool& pool, Base::File::MappedFile& file, uint32_t max_depth) {
  pool.clear();
  pool.emplace_back();
  if (!read_tile(pool.back(), file, 1)) {
    Base::log_printf("FAILED reading 1st node tile in node pool\n");
    return false;
  }
  // Tiles are read straight from the mapping, so their number is bounded by the file
  // size: a flag that promises more tiles than the file holds fails at the read.
  size_t first = 0;
  size_t end = 1;
  for (uint32_t depth = 1; depth <= max_depth; ++depth) {
    for (size_t t = first; t < end; ++t) {
      for (HRNode& node : pool[t].nodes) {
        if (node.child_flag == 0) continue;
        pool.emplace_back();
        NodeTile& tile = pool.back();
        node.children = &tile;
        if (!read_tile(tile, file, depth + 1)) {
          Base::log_printf("FAILED reading node pool to max depth %u\n", max_depth);
          return false;
        }
      }
    }
    first = end;
    end = pool.size();
  }
  // Nodes of the deepest tiles read lie below the finest level; a flag there belongs to
  // a malformed file and is not followed.
  for (size_t t = first; t < end; ++t) {
    for (const HRNode& node : pool[t].nodes) {
      if (node.child_flag != 0) {
        Base::log_printf(
            "WARNING node tile at depth %u has a node with children below the finest level "
            "%u; they are not read\n",
            pool[t].depth, max_depth);
        return true;
      }
    }
  }
  return true;
}

uint64_t count_nodes(const HRNode& node, uint32_t depth_limit) {
  if (node.children == nullptr || node.children->depth > depth_limit) return 1;
  uint64_t count = 1;
  for (const HRNode& child : node.children->nodes) count += count_nodes(child, depth_limit);
  return count;
}

}  // namespace QVX::CT
