// Writes HR volume files, the multi-resolution brick files that the library reads, for the
// tests, the benchmarks and the command-line tool. It shares no code with the reader, so a
// file written here and read back by the library checks both sides.
//
// What a written file holds, in this order unless the options move a part (all numbers
// little-endian, no padding between fields):
//   header          113 bytes (version 1), 121 (versions 2 and 3) or 122 (version 4)
//   node area       the root's 20-byte node record, then the 172-byte node tiles
//                   (parent's location code, then 8 node records) in breadth-first order
//   brick records   32768 f32 samples (x fastest, then y, then z) and a u32 checksum word
//   info block      versions 2 to 4: u32 info_size, then info_payload
//
// The tree. The largest stored edge m = max(hr_resolution) gives max_depth, the smallest
// d >= 0 with 32 * 2^d >= m. The root (depth 0, code (0, 0, 0)) covers 32 * 2^max_depth
// stored voxels per axis; a node of depth d and code c covers s = 32 * 2^(max_depth - d)
// voxels per axis from c * s, and child i of code L has the code
// (2 Lx + (i & 1), 2 Ly + ((i >> 1) & 1), 2 Lz + ((i >> 2) & 1)). By default every node
// above max_depth has a child tile (a full tree); HRWriteOptions::stop_here prunes it.
//
// The samples. Stored voxels inside `resolution` come from HRWriteOptions::voxel; every
// other stored voxel of the root's extent (beyond `resolution`, up to hr_resolution and
// up to the root's edge) is 0.0f. A finest-level brick (depth max_depth) holds its 32^3
// voxels one to one. Above it, each level is the 2x2x2 reduction of the level below over
// the whole stored grid, whatever the tree looks like: for child i = bx + 2 by + 4 bz and
// x, y, z < 16, the parent's sample (16 bx + x, 16 by + y, 16 bz + z) is the mean of child
// i's samples (2x + a, 2y + b, 2z + c), a, b, c in {0, 1}, summed in double in the order a
// fastest, then b, then c, divided by 8 and rounded to float. So a pruned subtree or a
// node without a brick still counts with its real samples in its ancestors' bricks. A
// node's min and max are the smallest and largest of its 32^3 samples; nodes without a
// brick record 0 and 0.
//
// Memory: one brick per level and the list of node records; the volume is never held
// whole (except in HRWriteResult::expected, when asked for). Bricks are computed children
// first and written to offsets planned beforehand; the header and the node area last.
//
// Errors: write_hr_volume returns false with a message; apart from std::bad_alloc no
// exception escapes (one thrown by a callback becomes the message).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace QVX::Tools {

// A node: its depth (root 0) and its location code, its index along each axis among the
// nodes of that depth.
struct HRNodeKey {
  uint32_t depth = 0;
  uint32_t x = 0, y = 0, z = 0;
  friend bool operator==(const HRNodeKey&, const HRNodeKey&) = default;
};

// The checksum word written after a brick's samples.
enum class HRChecksumWord {
  Correct,  // what the checksum type asks: 0 for types 0 and 3 to 255
  Wrong,    // a nonzero word that differs from the correct one (readers that verify fail)
  Zero,     // 0, which CRC-32 readers accept and word-sum readers accept only for sum 0
};

// Where the brick records stand, one after the other from the start of the brick area.
enum class HRBrickOrder {
  BreadthFirst,         // the order of the node records
  ReverseBreadthFirst,  // the last node's brick first
  ChildrenFirst,        // the order in which they are computed (each node after its
                        // children), so bricks are written front to back
};

enum class HRInfoPlacement {
  AfterBricks,   // right after the last brick record
  BeforeBricks,  // right after the node area; the brick area follows it
  AtAddress,     // at info_address; written last, so it overwrites whatever stands there
                 // and extends the file when it lies beyond the end. It must not overlap
                 // the header or the node area.
  AddressOnly,   // the header names info_address, but nothing is written there (an info
                 // block past the end of the file, or one that reads other records' bytes)
};

struct HRWriteOptions {
  // Header. Versions 1 to 4. checksum_type is written by version 4 only; versions 1 and 2
  // imply 0 and version 3 implies 2 (CRC-32), whatever this field says.
  uint32_t version = 4;
  uint8_t checksum_type = 2;  // 0 none, 1 word sum, 2 CRC-32, others: no verification
  uint8_t brick_size = 32;    // the header byte only; bricks are 32^3 whatever it says
  std::array<uint32_t, 3> resolution = {0, 0, 0};  // voxels, each at least 1
  // Stored grid; {0, 0, 0} means `resolution`. Never smaller than `resolution`.
  std::array<uint32_t, 3> hr_resolution = {0, 0, 0};
  std::array<double, 3> vmin = {0.0, 0.0, 0.0};
  // Default: vmin + resolution, a voxel size of 1.
  std::optional<std::array<double, 3>> vmax;
  // Default: the root's extent, vmin + 32 * 2^max_depth * voxel_size per axis, which is
  // what readers normalise positions by.
  std::optional<std::array<double, 3>> hr_vmax;

  // The volume: called once for each voxel inside `resolution` (brick by brick, in no
  // particular order). Required.
  std::function<float(uint32_t x, uint32_t y, uint32_t z)> voxel;

  // Tree shape. Each predicate is called at most once per node; an empty one answers false.
  // stop_here: asked for nodes above max_depth; true makes the node a leaf that keeps its
  // coarse brick (child_flag 0, no tile).
  std::function<bool(const HRNodeKey&)> stop_here;
  // no_brick: asked for nodes of depths 0 to max_depth; true writes brick_offset 0 and no
  // brick record. The node keeps its children, if any.
  std::function<bool(const HRNodeKey&)> no_brick;
  // The child_flag of a node with a child tile (any nonzero value means "has a tile").
  uint32_t child_flag = 1;

  // Malformed trees. finest_tile: asked for nodes of depth max_depth; true sets their
  // child_flag and writes a tile of depth max_depth + 1 for them, whose nodes have no
  // brick, min and max 0 and the child_flag beyond_finest_child_flag. Readers do not
  // follow those nodes.
  std::function<bool(const HRNodeKey&)> finest_tile;
  uint32_t beyond_finest_child_flag = 0;

  // Checksum word of each brick; empty: Correct for all.
  std::function<HRChecksumWord(const HRNodeKey&)> checksum_word;

  // Brick placement. The brick area starts at brick_area_offset (default: right after the
  // node area and, with HRInfoPlacement::BeforeBricks, the info block); every record is
  // preceded by brick_gap zero bytes.
  HRBrickOrder brick_order = HRBrickOrder::BreadthFirst;
  uint64_t brick_gap = 0;
  std::optional<uint64_t> brick_area_offset;
  // Records of 131072 bytes without the checksum word, so the next record starts where
  // the word would stand and, with nothing after the bricks (version 1), the last brick
  // ends at the end of the file. Only for checksum types that readers never verify
  // (versions 1 and 2, and version 4 with type 0 or 3 to 255).
  bool pack_without_checksum_word = false;

  // Info block (versions 2 to 4; version 1 has none).
  HRInfoPlacement info_placement = HRInfoPlacement::AfterBricks;
  uint64_t info_address = 0;  // for AtAddress and AddressOnly
  uint32_t info_size = 0;     // the u32 written at the info address
  std::string info_payload;   // bytes written after info_size

  // Damaged files. brick_past_end: true for a node with a brick gives it the offset of the
  // end of the file (before any truncation) and writes no record for it. truncate_to cuts
  // (or zero-extends) the finished file to that many bytes.
  std::function<bool(const HRNodeKey&)> brick_past_end;
  std::optional<uint64_t> truncate_to;

  // Fill HRWriteResult::expected (for small volumes: it holds every voxel).
  bool want_expected = false;
};

// A node record as written.
struct HRWrittenNode {
  HRNodeKey key;
  uint32_t child_flag = 0;       // as written
  bool has_child_tile = false;   // a tile for this node follows in the node area
  uint64_t brick_offset = 0;     // 0: no brick
  float min = 0.0f, max = 0.0f;  // as written
};

struct HRWriteResult {
  uint64_t file_size = 0;  // after truncate_to
  uint32_t max_depth = 0;
  uint8_t checksum_type = 0;  // in effect for the version (see HRWriteOptions)
  uint64_t info_address = 0;  // 0 for version 1
  // Every node record, in file order: the root, then each tile's 8 nodes, tile by tile
  // (tiles of depth max_depth + 1 included); so tile t holds nodes 1 + 8t to 8 + 8t.
  std::vector<HRWrittenNode> nodes;
  // With want_expected: resolution x * y * z floats, x fastest, then y, then z: what a
  // correct reader returns for each voxel at the finest level. The reader descends to the
  // deepest node of depth <= max_depth that contains the voxel; when it has no brick the
  // value is 0.0f, otherwise the node's sample at ((x - start_x) >> k, (y - start_y) >> k,
  // (z - start_z) >> k), where k = max_depth - depth and start is the node's first voxel:
  // the voxel itself at the finest level, nearest-neighbour upsampling of a coarse brick
  // above it. Bricks moved past the end of the file count as present.
  std::vector<float> expected;
};

// The largest depth accepted; a full tree of this depth already has 8^10 finest nodes.
inline constexpr uint32_t kHRWriterMaxDepth = 10;

// max_depth for a stored grid: the smallest d >= 0 with 32 * 2^d >= the largest component.
// That is 0 up to 32; readers form no depth for 16 or less, so such files are written
// with depth 0 and serve as files to refuse.
uint32_t hr_max_depth(const std::array<uint32_t, 3>& hr_resolution);

// True when the node's cube holds no voxel inside `resolution`, so its samples are all
// padding; as stop_here and no_brick, it keeps the padding of a large volume out of the file.
bool hr_node_is_padding(const HRNodeKey& key, const std::array<uint32_t, 3>& resolution,
                        uint32_t max_depth);

// Writes the file at `path` (replacing it). On success fills `result` (when not null) and
// returns true; on failure returns false with a message in `error` (when not null) and
// leaves `result` alone. A file refused for its options is not created; one that fails
// while written may stay behind.
bool write_hr_volume(const std::string& path, const HRWriteOptions& options, HRWriteResult* result,
                     std::string* error);

}  // namespace QVX::Tools
