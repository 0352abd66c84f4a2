// The HR volume writer, read back by the tests' own small parser: header fields by version,
// the breadth-first node area, brick samples, reductions, checksum words and placement.
#include "tools/hr_writer/hr_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/hr_file_parser.h"
#include "tests/support/temp_dir.h"

namespace QVX::Tools {
namespace {

namespace ts = QVX::TestSupport;

constexpr uint64_t kBrickBytes = 131072;

using ts::f32;
using ts::f64;
using ts::u32;
using ts::u64;
using Node = ts::HRParsedNode;
using Parsed = ts::HRParsedFile;

// A reader reads the tiles below nodes of depth max_depth too, without using them.
Parsed parse(const std::string& path) { return ts::parse_hr_file(path, true); }

float wave(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x) * 0.25f - static_cast<float>(y) * 3.0f +
         static_cast<float>(z % 7) * 100.0f + 1.0f;
}

HRWriteOptions small_volume() {
  HRWriteOptions o;
  o.resolution = {40, 33, 70};  // max_depth 2, root edge 128
  o.voxel = wave;
  return o;
}

HRWriteResult write(const std::string& path, const HRWriteOptions& o) {
  HRWriteResult result;
  std::string error;
  EXPECT_TRUE(write_hr_volume(path, o, &result, &error)) << error;
  return result;
}

// The result lists what the file holds.
void expect_result_matches(const HRWriteResult& r, const Parsed& p) {
  ASSERT_EQ(r.nodes.size(), p.nodes.size());
  EXPECT_EQ(r.file_size, p.bytes.size());
  EXPECT_EQ(r.max_depth, p.max_depth);
  for (size_t i = 0; i < p.nodes.size(); ++i) {
    EXPECT_TRUE(r.nodes[i].key == p.nodes[i].key) << i;
    EXPECT_EQ(r.nodes[i].child_flag, p.nodes[i].child_flag) << i;
    EXPECT_EQ(r.nodes[i].brick_offset, p.nodes[i].brick_offset) << i;
    EXPECT_EQ(r.nodes[i].min, p.nodes[i].min) << i;
    EXPECT_EQ(r.nodes[i].max, p.nodes[i].max) << i;
  }
}

TEST(HRWriter, ZlibCrcMatchesTheCheckValue) {
  const char text[] = "123456789";
  EXPECT_EQ(crc32(0L, reinterpret_cast<const Bytef*>(text), 9), 0xCBF43926u);
}

TEST(HRWriter, MaxDepthIsTheSmallestCoveringDepth) {
  const struct {
    std::array<uint32_t, 3> hr;
    uint32_t depth;
  } cases[] = {{{17, 1, 1}, 0},      {{32, 32, 32}, 0}, {{33, 1, 1}, 1},
               {{1, 64, 1}, 1},      {{1, 1, 65}, 2},   {{40, 100, 64}, 2},
               {{512, 512, 512}, 4}, {{2048, 1, 1}, 6}, {{2049, 1, 1}, 7}};
  for (const auto& c : cases) EXPECT_EQ(hr_max_depth(c.hr), c.depth) << c.hr[0];
}

TEST(HRWriter, PaddingNodesCanBeLeftOut) {
  ts::TempDir dir;
  HRWriteOptions o = small_volume();
  const uint32_t depth = hr_max_depth(o.resolution);
  o.stop_here = [&](const HRNodeKey& k) { return hr_node_is_padding(k, o.resolution, depth); };
  o.no_brick = o.stop_here;
  const HRWriteResult r = write(dir.file("v"), o);
  const Parsed p = parse(dir.file("v"));
  // Root children (0, 0, 0) and (0, 0, 1) hold voxels: x < 40 and y < 33 need code 0.
  ASSERT_EQ(p.nodes.size(), 1u + 3 * 8);
  size_t bricks = 0;
  for (const Node& n : p.nodes) bricks += n.brick_offset != 0;
  EXPECT_EQ(bricks, 1u + 2 + 2 * 2 * 3);  // depth 2: x 0..1, y 0..1, z 0..2
  expect_result_matches(r, p);
}

TEST(HRWriter, HeaderFieldsForEveryVersion) {
  const struct {
    uint32_t version;
    uint8_t checksum_byte, brick_size;
    uint64_t header_end;
    uint8_t checksum_type;
  } cases[] = {{1, 2, 32, 113, 0}, {2, 1, 32, 121, 0}, {3, 1, 32, 121, 2},
               {4, 2, 32, 122, 2}, {4, 7, 32, 122, 7}, {4, 0, 31, 122, 0}};
  ts::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    HRWriteOptions o = small_volume();
    o.version = c.version;
    o.checksum_type = c.checksum_byte;
    o.brick_size = c.brick_size;
    o.hr_resolution = {40, 100, 70};
    o.vmin = {-1.0, 2.0, 0.5};
    o.vmax = std::array<double, 3>{9.0, 68.0, 35.5};  // voxel size 0.25, 2, 0.5
    o.info_size = 0x01020304;
    const HRWriteResult r = write(dir.file("v"), o);
    const Parsed p = parse(dir.file("v"));
    EXPECT_EQ(p.version, c.version);
    EXPECT_EQ(p.header_end, c.header_end);
    EXPECT_EQ(p.checksum_type, c.version == 4 ? c.checksum_byte : -1);
    EXPECT_EQ(r.checksum_type, c.checksum_type);
    EXPECT_EQ(p.brick_size, c.brick_size);
    EXPECT_EQ(std::vector<uint32_t>(p.res, p.res + 3), (std::vector<uint32_t>{40, 33, 70}));
    EXPECT_EQ(std::vector<uint32_t>(p.hr_res, p.hr_res + 3), (std::vector<uint32_t>{40, 100, 70}));
    EXPECT_EQ(std::vector<double>(p.vmin, p.vmin + 3), (std::vector<double>{-1.0, 2.0, 0.5}));
    EXPECT_EQ(std::vector<double>(p.vmax, p.vmax + 3), (std::vector<double>{9.0, 68.0, 35.5}));
    // The root's extent: 128 voxels of the voxel size on each axis.
    EXPECT_EQ(std::vector<double>(p.hr_vmax, p.hr_vmax + 3),
              (std::vector<double>{31.0, 258.0, 64.5}));
    if (c.version == 1) {
      EXPECT_EQ(r.info_address, 0u);
    } else {
      EXPECT_EQ(p.info_address, r.info_address);
      EXPECT_EQ(u32(p.bytes, p.info_address), 0x01020304u);
      EXPECT_EQ(p.info_address + 4, p.bytes.size());  // after the bricks by default
    }
    expect_result_matches(r, p);
  }
}

TEST(HRWriter, FullTreeIsBreadthFirstWithEveryBrick) {
  ts::TempDir dir;
  const HRWriteResult r = write(dir.file("v"), small_volume());
  const Parsed p = parse(dir.file("v"));
  // Default geometry: unit voxels, and the root's extent as the stored maximum.
  EXPECT_EQ(std::vector<double>(p.vmax, p.vmax + 3), (std::vector<double>{40, 33, 70}));
  EXPECT_EQ(std::vector<double>(p.hr_vmax, p.hr_vmax + 3), (std::vector<double>{128, 128, 128}));
  ASSERT_EQ(p.nodes.size(), 1u + 8 + 64);
  EXPECT_EQ(p.bytes.size(), 122 + 20 + 9 * 172 + 73 * (kBrickBytes + 4) + 4);
  std::set<uint64_t> offsets;
  for (size_t i = 0; i < p.nodes.size(); ++i) {
    const Node& n = p.nodes[i];
    EXPECT_EQ(n.key.depth, i == 0 ? 0u : i <= 8 ? 1u : 2u);
    EXPECT_EQ(n.child_flag != 0, n.key.depth < 2);
    offsets.insert(n.brick_offset);
  }
  EXPECT_EQ(offsets.size(), 73u);
  EXPECT_EQ(*offsets.begin(), 122 + 20 + 9 * 172u);  // bricks right after the node area
  expect_result_matches(r, p);
}

TEST(HRWriter, SparseTreeKeepsTheOrderOfTheParents) {
  ts::TempDir dir;
  HRWriteOptions o = small_volume();
  o.hr_resolution = {256, 33, 70};  // max_depth 3
  // Below the root only children 0 and 5 have tiles; below child 5 only its child 3.
  o.stop_here = [](const HRNodeKey& k) {
    if (k.depth == 1) return !(k.x + k.y + k.z == 0 || (k.x == 1 && k.y == 0 && k.z == 1));
    if (k.depth == 2) return !(k.x == 3 && k.y == 1 && k.z == 2);
    return false;
  };
  const HRWriteResult r = write(dir.file("v"), o);
  const Parsed p = parse(dir.file("v"));
  ASSERT_EQ(p.nodes.size(), 1u + 4 * 8);
  const HRNodeKey first[] = {{1, 0, 0, 0}, {2, 0, 0, 0}, {2, 2, 0, 2}, {3, 6, 2, 4}};
  for (size_t t = 0; t < 4; ++t) EXPECT_TRUE(p.nodes[1 + 8 * t].key == first[t]) << t;
  expect_result_matches(r, p);
}

TEST(HRWriter, FinestBricksHoldTheVoxelsAndZeroPadding) {
  ts::TempDir dir;
  const HRWriteResult r = write(dir.file("v"), small_volume());
  const Parsed p = parse(dir.file("v"));
  size_t checked = 0;
  for (const Node& n : p.nodes) {
    if (n.key.depth != 2) continue;
    float lo = INFINITY, hi = -INFINITY;
    for (uint32_t z = 0; z < 32; ++z) {
      for (uint32_t y = 0; y < 32; ++y) {
        for (uint32_t x = 0; x < 32; ++x) {
          const uint32_t vx = 32 * n.key.x + x, vy = 32 * n.key.y + y, vz = 32 * n.key.z + z;
          const bool inside = vx < 40 && vy < 33 && vz < 70;
          const float s = p.sample(n, x, y, z);
          ASSERT_EQ(s, inside ? wave(vx, vy, vz) : 0.0f) << vx << ' ' << vy << ' ' << vz;
          lo = std::min(lo, s);
          hi = std::max(hi, s);
        }
      }
    }
    EXPECT_EQ(n.min, lo);
    EXPECT_EQ(n.max, hi);
    ++checked;
  }
  EXPECT_EQ(checked, 64u);
  EXPECT_EQ(r.nodes[0].min, p.nodes[0].min);
}

TEST(HRWriter, CoarseBricksAreMeansOfTheirChildren) {
  ts::TempDir dir;
  write(dir.file("v"), small_volume());
  const Parsed p = parse(dir.file("v"));
  for (size_t t = 0; t < 9; ++t) {  // tile t belongs to node t: the root, then its children
    const Node& parent = p.nodes[t];
    float lo = INFINITY, hi = -INFINITY;
    for (uint32_t c = 0; c < 8; ++c) {
      const Node& child = p.nodes[1 + 8 * t + c];
      const uint32_t ox = (c & 1) * 16, oy = ((c >> 1) & 1) * 16, oz = (c >> 2) * 16;
      for (uint32_t z = 0; z < 16; ++z) {
        for (uint32_t y = 0; y < 16; ++y) {
          for (uint32_t x = 0; x < 16; ++x) {
            double sum = 0;
            for (uint32_t k = 0; k < 8; ++k) {
              sum += p.sample(child, 2 * x + (k & 1), 2 * y + ((k >> 1) & 1), 2 * z + (k >> 2));
            }
            const float s = p.sample(parent, ox + x, oy + y, oz + z);
            ASSERT_EQ(s, static_cast<float>(sum / 8)) << t << ' ' << c;
            lo = std::min(lo, s);
            hi = std::max(hi, s);
          }
        }
      }
    }
    EXPECT_EQ(parent.min, lo);
    EXPECT_EQ(parent.max, hi);
  }
}

TEST(HRWriter, ChecksumWordsFollowTheType) {
  const struct {
    uint32_t version;
    uint8_t type;
  } cases[] = {{1, 2}, {2, 2}, {3, 0}, {4, 0}, {4, 1}, {4, 2}, {4, 7}};
  ts::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version << " type " << int{c.type});
    HRWriteOptions o;
    o.resolution = {40, 20, 20};  // the root and 8 finest nodes
    o.voxel = wave;
    o.version = c.version;
    o.checksum_type = c.type;
    o.checksum_word = [](const HRNodeKey& k) {
      return k.depth == 0 ? HRChecksumWord::Correct
             : k.x == 1   ? HRChecksumWord::Wrong
             : k.y == 1   ? HRChecksumWord::Zero
                          : HRChecksumWord::Correct;
    };
    const HRWriteResult r = write(dir.file("v"), o);
    const Parsed p = parse(dir.file("v"));
    ASSERT_EQ(p.nodes.size(), 9u);
    for (const Node& n : p.nodes) {
      uint32_t sum = 0;
      for (uint64_t w = 0; w < kBrickBytes; w += 4) sum += u32(p.bytes, n.brick_offset + w);
      const auto* data = reinterpret_cast<const Bytef*>(p.bytes.data() + n.brick_offset);
      const uint32_t crc = static_cast<uint32_t>(crc32(0L, data, kBrickBytes));
      const uint32_t correct = r.checksum_type == 1 ? sum : r.checksum_type == 2 ? crc : 0;
      if (n.key.depth == 0 || (n.key.x == 0 && n.key.y == 0)) {
        EXPECT_EQ(p.word(n), correct);
      } else if (n.key.x == 1) {
        EXPECT_NE(p.word(n), correct);
        EXPECT_NE(p.word(n), 0u);
      } else {
        EXPECT_EQ(p.word(n), 0u);
      }
    }
  }
}

TEST(HRWriter, PackedVersion1EndsAtTheLastBrick) {
  ts::TempDir dir;
  HRWriteOptions o = small_volume();
  o.version = 1;
  o.pack_without_checksum_word = true;
  const HRWriteResult r = write(dir.file("v"), o);
  const Parsed p = parse(dir.file("v"));
  std::vector<uint64_t> offsets;
  for (const Node& n : p.nodes) offsets.push_back(n.brick_offset);
  std::sort(offsets.begin(), offsets.end());
  for (size_t i = 1; i < offsets.size(); ++i) EXPECT_EQ(offsets[i] - offsets[i - 1], kBrickBytes);
  EXPECT_EQ(offsets.back() + kBrickBytes, p.bytes.size());
  EXPECT_EQ(p.sample(p.nodes.back(), 31, 31, 31), 0.0f);  // padding, the file's last word
  expect_result_matches(r, p);
}

TEST(HRWriter, BrickPlacementOptions) {
  ts::TempDir dir;
  const uint64_t area = 122 + 20 + 9 * 172;
  auto offsets_of = [&](const HRWriteOptions& o) {
    write(dir.file("v"), o);
    const Parsed p = parse(dir.file("v"));
    std::vector<uint64_t> offsets;
    for (const Node& n : p.nodes) offsets.push_back(n.brick_offset);
    return std::make_pair(offsets, p.bytes.size());
  };
  HRWriteOptions o = small_volume();
  o.brick_order = HRBrickOrder::ReverseBreadthFirst;
  auto [reverse, reverse_size] = offsets_of(o);
  EXPECT_EQ(reverse.front(), area + 72 * (kBrickBytes + 4));
  EXPECT_EQ(reverse.back(), area);

  o.brick_order = HRBrickOrder::ChildrenFirst;
  o.brick_gap = 1000;
  auto [children_first, gap_size] = offsets_of(o);
  // The first finest node and its siblings, then their parent.
  EXPECT_EQ(children_first[9], area + 1000);
  EXPECT_EQ(children_first[1] - children_first[9], 8 * (kBrickBytes + 4 + 1000));
  EXPECT_EQ(children_first[0], area + 72 * (kBrickBytes + 4 + 1000) + 1000);

  o = small_volume();
  o.brick_past_end = [](const HRNodeKey& k) { return k == HRNodeKey{2, 1, 0, 2}; };
  o.truncate_to = 5000;
  HRWriteResult r = write(dir.file("v"), o);
  EXPECT_EQ(r.file_size, 5000u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("v")), 5000u);
  const HRWrittenNode& moved = r.nodes[9 + 1 + 8 * 4];  // tile of root child 4, node 1
  EXPECT_TRUE(moved.key == (HRNodeKey{2, 1, 0, 2}));
  EXPECT_EQ(moved.brick_offset, area + 72 * (kBrickBytes + 4) + 4);  // past the info block
}

TEST(HRWriter, InfoBlockPlacement) {
  const uint64_t area = 122 + 20 + 9 * 172, bricks = 73 * (kBrickBytes + 4);
  const struct {
    HRInfoPlacement placement;
    uint64_t address, expected, first_brick, size;
  } cases[] = {
      {HRInfoPlacement::AfterBricks, 0, area + bricks, area, area + bricks + 7},
      {HRInfoPlacement::BeforeBricks, 0, area, area + 7, area + bricks + 7},
      {HRInfoPlacement::AtAddress, area + bricks + 100, area + bricks + 100, area,
       area + bricks + 107},
      {HRInfoPlacement::AddressOnly, 1u << 30, 1u << 30, area, area + bricks},
  };
  ts::TempDir dir;
  for (const auto& c : cases) {
    HRWriteOptions o = small_volume();
    o.info_placement = c.placement;
    o.info_address = c.address;
    o.info_size = 77;
    o.info_payload = "abc";
    const HRWriteResult r = write(dir.file("v"), o);
    const Parsed p = parse(dir.file("v"));
    EXPECT_EQ(p.info_address, c.expected);
    EXPECT_EQ(p.nodes[0].brick_offset, c.first_brick);
    EXPECT_EQ(p.bytes.size(), c.size);
    if (c.placement != HRInfoPlacement::AddressOnly) {
      EXPECT_EQ(u32(p.bytes, p.info_address), 77u);
      EXPECT_EQ(p.bytes.substr(p.info_address + 4, 3), "abc");
    }
    expect_result_matches(r, p);
  }
}

TEST(HRWriter, MalformedTilesBelowTheFinestLevel) {
  ts::TempDir dir;
  HRWriteOptions o;
  o.resolution = {20, 20, 20};  // max_depth 0: only the root
  o.voxel = wave;
  o.finest_tile = [](const HRNodeKey&) { return true; };
  o.beyond_finest_child_flag = 9;
  o.child_flag = 0xFFFFFFFF;
  const HRWriteResult r = write(dir.file("v"), o);
  const Parsed p = parse(dir.file("v"));
  ASSERT_EQ(p.nodes.size(), 9u);
  EXPECT_EQ(p.nodes[0].child_flag, 0xFFFFFFFFu);
  for (size_t i = 1; i < 9; ++i) {
    EXPECT_EQ(p.nodes[i].child_flag, 9u);
    EXPECT_EQ(p.nodes[i].brick_offset, 0u);
  }
  EXPECT_EQ(p.nodes[0].brick_offset, 122 + 20 + 172u);
  expect_result_matches(r, p);
}

// x < 32 under a finest node with a brick, 32 <= x < 64 under one without, x >= 64 under
// a leaf of depth 1 whose samples stand for 2 voxels per axis.
TEST(HRWriter, ExpectedViewOfASparseTree) {
  ts::TempDir dir;
  HRWriteOptions o;
  o.resolution = {128, 2, 2};  // max_depth 2
  o.voxel = [](uint32_t x, uint32_t y, uint32_t z) {
    return static_cast<float>(x + 100 * y + 1000 * z);
  };
  o.stop_here = [](const HRNodeKey& k) { return k.depth == 1 && k.x == 1; };
  o.no_brick = [](const HRNodeKey& k) { return k.depth == 2 && k.x == 1; };
  o.want_expected = true;
  const HRWriteResult r = write(dir.file("v"), o);
  ASSERT_EQ(r.expected.size(), 128u * 2 * 2);
  for (uint32_t z = 0; z < 2; ++z) {
    for (uint32_t y = 0; y < 2; ++y) {
      for (uint32_t x = 0; x < 128; ++x) {
        // The mean of (x0..x0+1, 0..1, 0..1) is x0 + 0.5 + 50 + 500.
        const float want = x < 32   ? static_cast<float>(x + 100 * y + 1000 * z)
                           : x < 64 ? 0.0f
                                    : 614.5f + 2.0f * static_cast<float>((x - 64) / 2);
        ASSERT_EQ(r.expected[x + 128 * y + 256 * z], want) << x << ' ' << y << ' ' << z;
      }
    }
  }
}

// The expected view of a larger sparse tree against a descent through the written file.
TEST(HRWriter, ExpectedViewMatchesTheFile) {
  ts::TempDir dir;
  HRWriteOptions o = small_volume();
  // A coarse leaf for z >= 64, finest nodes without bricks for 32 <= z < 64.
  o.stop_here = [](const HRNodeKey& k) { return k.z == 1; };
  o.no_brick = [](const HRNodeKey& k) { return k.depth == 2 && k.z == 1; };
  o.want_expected = true;
  const HRWriteResult r = write(dir.file("v"), o);
  const Parsed p = parse(dir.file("v"));
  for (uint32_t z = 0; z < 70; ++z) {
    for (uint32_t y = 0; y < 33; ++y) {
      for (uint32_t x = 0; x < 40; ++x) {
        size_t node = 0;
        uint32_t depth = 0;
        while (p.nodes[node].child_flag != 0 && depth < p.max_depth) {
          // Tiles follow the nodes with flags, in order.
          size_t tile = 0;
          for (size_t i = 0; i < node; ++i) tile += p.nodes[i].child_flag != 0;
          ++depth;
          const uint32_t shift = 5 + p.max_depth - depth;
          node =
              1 + 8 * tile + ((x >> shift) & 1) + 2 * ((y >> shift) & 1) + 4 * ((z >> shift) & 1);
        }
        const Node& n = p.nodes[node];
        const uint32_t k = p.max_depth - depth, edge = 32u << k;
        const float want = n.brick_offset == 0
                               ? 0.0f
                               : p.sample(n, (x - n.key.x * edge) >> k, (y - n.key.y * edge) >> k,
                                          (z - n.key.z * edge) >> k);
        ASSERT_EQ(r.expected[x + 40 * y + 40 * 33 * z], want) << x << ' ' << y << ' ' << z;
      }
    }
  }
}

TEST(HRWriter, RefusesBadOptionsWithoutCreatingAFile) {
  const struct {
    const char* name;
    void (*change)(HRWriteOptions&);
  } cases[] = {
      {"version 5", [](HRWriteOptions& o) { o.version = 5; }},
      {"no voxel function", [](HRWriteOptions& o) { o.voxel = nullptr; }},
      {"zero resolution", [](HRWriteOptions& o) { o.resolution[1] = 0; }},
      {"hr below resolution",
       [](HRWriteOptions& o) {
         o.hr_resolution = {39, 33, 70};
       }},
      {"too deep",
       [](HRWriteOptions& o) {
         o.hr_resolution = {40, 33, 32769};
       }},
      {"packed CRC", [](HRWriteOptions& o) { o.pack_without_checksum_word = true; }},
      {"packed v3",
       [](HRWriteOptions& o) {
         o.version = 3;
         o.checksum_type = 0;
         o.pack_without_checksum_word = true;
       }},
      {"info over nodes",
       [](HRWriteOptions& o) {
         o.info_placement = HRInfoPlacement::AtAddress;
         o.info_address = 200;
       }},
      {"brick area over nodes", [](HRWriteOptions& o) { o.brick_area_offset = 1000; }},
  };
  ts::TempDir dir;
  for (const auto& c : cases) {
    HRWriteOptions o = small_volume();
    c.change(o);
    std::string error;
    EXPECT_FALSE(write_hr_volume(dir.file("v"), o, nullptr, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_FALSE(std::filesystem::exists(dir.file("v"))) << c.name;
  }
}

TEST(HRWriter, ExceptionsFromTheVoxelFunctionBecomeErrors) {
  ts::TempDir dir;
  HRWriteOptions o = small_volume();
  o.voxel = [](uint32_t, uint32_t, uint32_t) -> float { throw std::runtime_error("no data"); };
  std::string error;
  EXPECT_FALSE(write_hr_volume(dir.file("v"), o, nullptr, &error));
  EXPECT_NE(error.find("no data"), std::string::npos) << error;
}

}  // namespace
}  // namespace QVX::Tools
