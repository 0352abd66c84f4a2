// Reading the node records and tiles of an HR file into the tree.
#include "ct/node_tree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

std::string u32(uint32_t v) {
  std::string b(4, '\0');
  Base::store_le32(b.data(), v);
  return b;
}

std::string node_record(uint32_t flag, uint64_t offset, float min, float max) {
  std::string b(20, '\0');
  Base::store_le32(b.data(), flag);
  Base::store_le32(b.data() + 4, static_cast<uint32_t>(offset));
  Base::store_le32(b.data() + 8, static_cast<uint32_t>(offset >> 32));
  Base::store_le32(b.data() + 12, std::bit_cast<uint32_t>(min));
  Base::store_le32(b.data() + 16, std::bit_cast<uint32_t>(max));
  return b;
}

// A tile whose parent code is `code`; node i gets offset base + i and the flag of `flags`
// bit i.
std::string tile(uint32_t code, uint32_t flags, uint64_t base) {
  std::string b = u32(code) + u32(code) + u32(code);
  for (uint32_t i = 0; i < 8; ++i) {
    b += node_record((flags >> i) & 1, base + i, -static_cast<float>(i), static_cast<float>(i));
  }
  return b;
}

class NodeTreeTest : public ::testing::Test {
 protected:
  Base::File::MappedFile& map(const std::string& bytes) {
    QVX::TestSupport::write_file(dir_.file("nodes.bin"), bytes);
    EXPECT_TRUE(file_.map_open(dir_.file("nodes.bin").c_str()));
    return file_;
  }

  QVX::TestSupport::TempDir dir_;
  Base::File::MappedFile file_;
};

TEST_F(NodeTreeTest, ReadsANodeRecord) {
  HRNode node;
  ASSERT_TRUE(read_node(node, map(node_record(7, 0x123456789AULL, -1.5f, 2.25f))));
  EXPECT_EQ(node.child_flag, 7u);
  EXPECT_EQ(node.brick_offset, 0x123456789AULL);
  EXPECT_EQ(node.min, -1.5f);
  EXPECT_EQ(node.max, 2.25f);
  EXPECT_EQ(node.children, nullptr);
}

TEST_F(NodeTreeTest, BreadthFirstTilesLinkToTheirParents) {
  // Depth 1: children 0 and 5 have tiles; depth 2: node 3 of child 5's tile has one.
  const std::string bytes =
      tile(0, 0b100001, 100) + tile(0, 0, 200) + tile(1, 0b1000, 300) + tile(3, 0, 400);
  NodePool pool;
  ASSERT_TRUE(read_node_pool(pool, map(bytes), 3));
  ASSERT_EQ(pool.size(), 4u);
  EXPECT_EQ(pool[0].nodes[0].children, &pool[1]);
  EXPECT_EQ(pool[0].nodes[5].children, &pool[2]);
  EXPECT_EQ(pool[2].nodes[3].children, &pool[3]);
  EXPECT_EQ(pool[1].depth, 2u);
  EXPECT_EQ(pool[3].depth, 3u);
  EXPECT_EQ(pool[2].location_code[0], 1u);
  EXPECT_EQ(pool[3].nodes[7].brick_offset, 407u);

  HRNode root;
  root.children = &pool[0];
  EXPECT_EQ(count_nodes(root, 3), 1u + 8 + 16 + 8);
  EXPECT_EQ(count_nodes(root, 2), 1u + 8 + 16);
  EXPECT_EQ(count_nodes(root, 1), 1u + 8);
  EXPECT_EQ(count_nodes(pool[1].nodes[0], 3), 1u);
}

TEST_F(NodeTreeTest, FlagsBelowTheFinestLevelAreNotFollowedAndWarnedOnce) {
  QVX::TestSupport::CaptureStdout capture;
  NodePool pool;
  // max_depth 0: the root's tile (depth 1) is read, its flags are not followed.
  ASSERT_TRUE(read_node_pool(pool, map(tile(0, 0b11, 100)), 0));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool[0].nodes[0].children, nullptr);
  EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()),
            "WARNING node tile at depth 1 has a node with children below the finest level 0; "
            "they are not read\n");
}

TEST_F(NodeTreeTest, FailuresLogInnermostFirst) {
  // Node 2 of the depth-2 tile ends after its brick offset.
  const std::string second = tile(0, 0, 200).substr(0, 12 + 2 * 20 + 12);
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {tile(0, 1, 100) + second,
       "FAILED to read from file map at offset 236 (E)\n"
       "FAILED to read min brick value of node\n"
       "FAILED to read node[2] in node tile at depth 2\n"
       "FAILED reading node pool to max depth 2\n"},
      {tile(0, 0, 100).substr(0, 8),
       "FAILED to read from file map at offset 0 (E)\n"
       "FAILED to read node tile location code at depth 1\n"
       "FAILED reading 1st node tile in node pool\n"},
      {tile(0, 0, 100).substr(0, 12 + 3),
       "FAILED to read from file map at offset 12 (E)\n"
       "FAILED to read whether node is a leaf\n"
       "FAILED to read node[0] in node tile at depth 1\n"
       "FAILED reading 1st node tile in node pool\n"},
  };
  for (const Case& c : cases) {
    Base::File::MappedFile& file = map(c.bytes);
    QVX::TestSupport::CaptureStdout capture;
    NodePool pool;
    EXPECT_FALSE(read_node_pool(pool, file, 2));
    EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()), c.expected);
  }
}

}  // namespace
}  // namespace QVX::CT
