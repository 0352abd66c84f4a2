// The HR file: recognising it by its first 16 bytes, the finest level of its grid, and
// reading its node records and tiles into the tree.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <tuple>
#include <vector>

#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "ct/hr_format.h"
#include "ct/node_tree.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;

std::string u32(uint32_t v) {
  std::string b(4, '\0');
  Base::store_le32(b.data(), v);
  return b;
}

// A tile whose parent code is `code`; node i gets offset base + i, the flag of `flags` bit
// i, min -i and max i.
std::string tile(uint32_t code, uint32_t flags, uint64_t base) {
  std::string b = u32(code) + u32(code) + u32(code);
  for (uint32_t i = 0; i < 8; ++i) {
    b += u32((flags >> i) & 1) + u32(static_cast<uint32_t>(base + i)) +
         u32(static_cast<uint32_t>((base + i) >> 32)) + u32(std::bit_cast<uint32_t>(-float(i))) +
         u32(std::bit_cast<uint32_t>(float(i)));
  }
  return b;
}

TEST(HRFormat, OnlyTheFourAcceptedHeadersAreHRVolumes) {
  const std::string z3(3, '\0'), z4(4, '\0');
  const struct {
    std::string bytes;
    bool accepted;
  } cases[] = {{"QVXHRVOL\1" + z3 + z4, true},  {"QVXHRVOL\2" + z3 + z4, true},
               {"QVXHRVOL\3" + z3 + z4, true},  {"QVXHRVOL\4" + z3 + z4, true},
               {"QVXHRVOL\5" + z3 + z4, false}, {"QVXHRVOL\1" + z3 + "\1" + z3, false},  // byte 12
               {"QVXHRVOL" + z4 + z4, false},   {"QVXHRVOL\4\1" + z3.substr(1) + z4, false},  // 260
               {"QVXHRVOl\4" + z3 + z4, false}};
  ts::TempDir dir;
  const std::string path = dir.file("probe");
  for (const auto& c : cases) {
    ts::write_file(path, c.bytes + "rest of the file");
    ts::CaptureStdout capture;
    EXPECT_EQ(is_hr_volume(std::wstring(path.begin(), path.end())), c.accepted);
    EXPECT_EQ(capture.text(), "");  // a mismatch is not logged
  }
  // A short file is; a missing one is logged in the probe tests of the interface.
  ts::write_file(path, "QVXHRVOL\4");
  ts::CaptureStdout capture;
  EXPECT_FALSE(is_hr_volume(std::wstring(path.begin(), path.end())));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to read HR Volume file magic '" + path + "': No data available (0x3D)\n");
}

TEST(HRFormat, MaxDepthIsTheSmallestLevelCoveringTheLargestDimension) {
  const struct {
    uint32_t largest;
    bool supported;
    uint32_t depth;
  } cases[] = {{0, false, 0},         {16, false, 0},       {17, true, 0},
               {32, true, 0},         {33, true, 1},        {64, true, 1},
               {65, true, 2},         {100, true, 2},       {2048, true, 6},
               {2049, true, 7},       {1u << 31, true, 26}, {(1u << 31) + 1, false, 0},
               {UINT32_MAX, false, 0}};
  for (const auto& c : cases) {
    uint32_t depth = 99;
    EXPECT_EQ(compute_max_depth(c.largest, &depth), c.supported) << c.largest;
    EXPECT_EQ(depth, c.supported ? c.depth : 99) << c.largest;
  }
}

class NodeTreeTest : public ::testing::Test {
 protected:
  Base::File::MappedFile& map(const std::string& bytes) {
    file_.map_close();
    ts::write_file(dir_.file("nodes.bin"), bytes);
    EXPECT_TRUE(file_.map_open(dir_.file("nodes.bin").c_str()));
    return file_;
  }
  ts::TempDir dir_;
  Base::File::MappedFile file_;
};

TEST_F(NodeTreeTest, BreadthFirstTilesLinkToTheirParents) {
  // Depth 1: children 0 and 5 have tiles; depth 2: node 3 of child 5's tile has one.
  const uint64_t far = 0x123456789A00;
  const std::string bytes =
      tile(0, 0b100001, 100) + tile(0, 0, 200) + tile(1, 0b1000, 300) + tile(3, 0, far);
  NodePool pool;
  ASSERT_TRUE(read_node_pool(pool, map(bytes), 3));
  ASSERT_EQ(pool.size(), 4u);
  EXPECT_EQ(std::tuple(pool[0].nodes[0].children, pool[0].nodes[5].children,
                       pool[2].nodes[3].children, pool[3].nodes[7].children),
            std::tuple(&pool[1], &pool[2], &pool[3], nullptr));
  EXPECT_EQ(std::tuple(pool[1].depth, pool[3].depth, pool[2].location_code[2]),
            std::tuple(2u, 3u, 1u));
  const HRNode& last = pool[3].nodes[7];
  EXPECT_EQ(std::tuple(last.brick_offset, last.min, last.max), std::tuple(far + 7, -7.0f, 7.0f));
  HRNode root;
  root.children = &pool[0];
  EXPECT_EQ(std::vector<uint64_t>({count_nodes(root, 3), count_nodes(root, 2), count_nodes(root, 1),
                                   count_nodes(pool[1].nodes[0], 3)}),
            std::vector<uint64_t>({1 + 8 + 16 + 8, 1 + 8 + 16, 1 + 8, 1}));
}

TEST_F(NodeTreeTest, FlagsBelowTheFinestLevelWarnAndFailuresLogInnermostFirst) {
  // Node 2 of the depth-2 tile ends after its brick offset.
  const std::string second = tile(0, 0, 200).substr(0, 12 + 2 * 20 + 12);
  const struct {
    std::string bytes;
    uint32_t max_depth;
    std::string expected;
  } cases[] = {
      // max_depth 0: the root's tile (depth 1) is read, its flags are not followed.
      {tile(0, 0b11, 100), 0,
       "WARNING node tile at depth 1 has a node with children below the finest level 0; "
       "they are not read\n"},
      {tile(0, 1, 100) + second, 2,
       "FAILED to read from file map at offset 236 (E)\nFAILED to read min brick value of node\n"
       "FAILED to read node[2] in node tile at depth 2\nFAILED reading node pool to max depth 2\n"},
      {tile(0, 0, 100).substr(0, 12 + 3), 2,
       "FAILED to read from file map at offset 12 (E)\nFAILED to read whether node is a leaf\n"
       "FAILED to read node[0] in node tile at depth 1\nFAILED reading 1st node tile in node "
       "pool\n"}};
  for (const auto& c : cases) {
    Base::File::MappedFile& file = map(c.bytes);
    ts::CaptureStdout capture;
    NodePool pool;
    EXPECT_EQ(read_node_pool(pool, file, c.max_depth), c.max_depth == 0);
    if (c.max_depth == 0) {
      EXPECT_EQ(pool[0].nodes[0].children, nullptr);
    }
    EXPECT_EQ(ts::strip_timestamps(capture.text()), c.expected);
  }
}

}  // namespace
}  // namespace QVX::CT
