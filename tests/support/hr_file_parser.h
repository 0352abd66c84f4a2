// A small reader of HR files for the writers' tests, written from the file layout and
// sharing nothing with the library's reader: header fields by version, then the node
// records in breadth-first order as a reader walks them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/hr_writer/hr_writer.h"

namespace QVX::TestSupport {

// Little-endian fields of `b` at byte `at`.
inline uint32_t u32(const std::string& b, uint64_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(at + i));
  return v;
}
inline uint64_t u64(const std::string& b, uint64_t at) {
  return u32(b, at) | (uint64_t{u32(b, at + 4)} << 32);
}
inline float f32(const std::string& b, uint64_t at) { return std::bit_cast<float>(u32(b, at)); }
inline double f64(const std::string& b, uint64_t at) { return std::bit_cast<double>(u64(b, at)); }

struct HRParsedNode {
  QVX::Tools::HRNodeKey key;
  uint32_t child_flag = 0;
  uint64_t brick_offset = 0;
  float min = 0, max = 0;
};

struct HRParsedFile {
  std::string bytes;
  uint32_t version = 0;
  uint64_t info_address = 0, header_end = 0;
  int checksum_type = -1;  // -1: no such field
  uint8_t brick_size = 0;
  uint32_t res[3] = {}, hr_res[3] = {};
  double vmin[3] = {}, vmax[3] = {}, hr_vmax[3] = {};
  uint32_t max_depth = 0;
  std::vector<HRParsedNode> nodes;  // the root, then each tile's 8 nodes
  uint64_t node_area_end = 0;

  float sample(const HRParsedNode& n, uint32_t x, uint32_t y, uint32_t z) const {
    return f32(bytes, n.brick_offset + 4 * (x + 32 * y + 1024 * z));
  }
  // The checksum word after a brick's 32^3 samples.
  uint32_t word(const HRParsedNode& n) const { return u32(bytes, n.brick_offset + 131072); }
};

// Reads the file at `path`. Tiles are followed below every node with a child flag down to
// depth max_depth, and with `follow_finest` also below nodes of depth max_depth (a
// reader reads those tiles but does not use them).
inline HRParsedFile parse_hr_file(const std::string& path, bool follow_finest) {
  HRParsedFile p;
  std::ifstream in(path, std::ios::binary);
  p.bytes.resize(std::filesystem::file_size(path));
  in.read(p.bytes.data(), static_cast<std::streamsize>(p.bytes.size()));
  const std::string& b = p.bytes;
  EXPECT_EQ(b.substr(0, 8), "QVXHRVOL");
  EXPECT_EQ(u32(b, 12), 0u);
  p.version = u32(b, 8);
  uint64_t at = 16;
  if (p.version == 4) p.checksum_type = static_cast<uint8_t>(b.at(at++));
  if (p.version >= 2) p.info_address = u64(b, std::exchange(at, at + 8));
  p.brick_size = static_cast<uint8_t>(b.at(at++));
  for (uint32_t& v : p.res) v = u32(b, std::exchange(at, at + 4));
  for (uint32_t& v : p.hr_res) v = u32(b, std::exchange(at, at + 4));
  for (double& v : p.vmin) v = f64(b, std::exchange(at, at + 8));
  for (double& v : p.vmax) v = f64(b, std::exchange(at, at + 8));
  for (double& v : p.hr_vmax) v = f64(b, std::exchange(at, at + 8));
  p.header_end = at;
  const uint32_t m = std::max({p.hr_res[0], p.hr_res[1], p.hr_res[2]});
  while ((32u << p.max_depth) < m) ++p.max_depth;

  auto read_node = [&](QVX::Tools::HRNodeKey key) {
    p.nodes.push_back({key, u32(b, at), u64(b, at + 4), f32(b, at + 12), f32(b, at + 16)});
    at += 20;
  };
  read_node({});
  for (size_t i = 0; i < p.nodes.size(); ++i) {
    const HRParsedNode parent = p.nodes[i];
    const bool followed =
        parent.child_flag != 0 &&
        (parent.key.depth < p.max_depth || (follow_finest && parent.key.depth == p.max_depth));
    if (!followed) continue;
    EXPECT_EQ(u32(b, at), parent.key.x);
    EXPECT_EQ(u32(b, at + 4), parent.key.y);
    EXPECT_EQ(u32(b, at + 8), parent.key.z);
    at += 12;
    for (uint32_t c = 0; c < 8; ++c) {
      read_node({parent.key.depth + 1, 2 * parent.key.x + (c & 1),
                 2 * parent.key.y + ((c >> 1) & 1), 2 * parent.key.z + ((c >> 2) & 1)});
    }
  }
  p.node_area_end = at;
  return p;
}

}  // namespace QVX::TestSupport
