// The HR file: recognising it by its first 16 bytes, the finest level of its grid,
// reading its node records and tiles into the tree, and its brick records into the
// bordered buffers of the pool that lends them to nodes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "ct/brick_pool.h"
#include "ct/hr_format.h"
#include "ct/node_request.h"
#include "ct/node_tree.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using Base::File::MappedFile;
constexpr uint64_t kRecord = kBrickDataBytes + 4;

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

// File sample n = i + 32 j + 1024 k of brick `seed`; exact in a float.
float sample(uint32_t seed, uint32_t n) { return static_cast<float>(seed) * 40000.0f - n; }

std::string samples(uint32_t seed) {
  std::string bytes;
  for (uint32_t n = 0; n < kBrickSamples; ++n)
    bytes += u32(std::bit_cast<uint32_t>(sample(seed, n)));
  return bytes;
}

uint32_t crc(const std::string& data) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

class HRFileTest : public ::testing::Test {
 protected:
  MappedFile& map(const std::string& bytes) {
    file_.map_close();
    ts::write_file(dir_.file("b"), bytes);
    EXPECT_TRUE(file_.map_open(dir_.file("b").c_str()));
    return file_;
  }
  std::string log() { return ts::strip_timestamps(capture_.text()); }

  ts::TempDir dir_;
  MappedFile file_;
  std::unique_ptr<PoolBrick> brick_ = std::make_unique<PoolBrick>();
  ts::CaptureStdout capture_;
};

TEST_F(HRFileTest, OnlyTheFourAcceptedHeadersAreHRVolumes) {
  const std::string z3(3, '\0'), z4(4, '\0');
  const std::pair<std::string, bool> cases[] = {
      {"QVXHRVOL\1" + z3 + z4, true},  {"QVXHRVOL\2" + z3 + z4, true},
      {"QVXHRVOL\3" + z3 + z4, true},  {"QVXHRVOL\4" + z3 + z4, true},
      {"QVXHRVOL\5" + z3 + z4, false}, {"QVXHRVOL\1" + z3 + "\1" + z3, false},       // byte 12
      {"QVXHRVOL" + z4 + z4, false},   {"QVXHRVOL\4\1" + z3.substr(1) + z4, false},  // 260
      {"QVXHRVOl\4" + z3 + z4, false}};
  const std::string path = dir_.file("probe");
  for (const auto& [bytes, accepted] : cases) {
    ts::write_file(path, bytes + "rest of the file");
    ts::CaptureStdout capture;
    EXPECT_EQ(is_hr_volume(std::wstring(path.begin(), path.end())), accepted);
    EXPECT_EQ(capture.text(), "");  // a mismatch is not logged
  }
  // A short file is; a missing one is logged in the probe tests of the interface.
  ts::write_file(path, "QVXHRVOL\4");
  ts::CaptureStdout capture;
  EXPECT_FALSE(is_hr_volume(std::wstring(path.begin(), path.end())));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to read HR Volume file magic '" + path + "': No data available (0x3D)\n");
}

TEST_F(HRFileTest, MaxDepthIsTheSmallestLevelCoveringTheLargestDimension) {
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

TEST_F(HRFileTest, BreadthFirstTilesLinkToTheirParents) {
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

TEST_F(HRFileTest, FlagsBelowTheFinestLevelWarnAndFailuresLogInnermostFirst) {
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
       "FAILED to read node[2] in node tile at depth 2\nFAILED reading node pool to max depth "
       "2\n"}};
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

// The sums are checked against sums not computed by the code.
TEST_F(HRFileTest, WordSumAndCrcOfTheSamples) {
  std::string counting;  // words 0, 1, ..., 32767, whose sum is 32767 * 32768 / 2
  for (uint32_t n = 0; n < kBrickSamples; ++n) counting += u32(n);
  // A CRC word of 0 always passes; other types never verify.
  const std::tuple<uint32_t, uint32_t, bool> cases[] = {
      {1, 536854528, true},     {1, 536854529, false},         {1, 0, false},
      {2, crc(counting), true}, {2, crc(counting) ^ 1, false}, {2, 0, true},
      {7, 12345, true}};
  for (const auto& [type, word, passes] : cases) {
    bool ok = !passes;
    EXPECT_TRUE(brick_read(*brick_, map(counting + u32(word)), 0, type, &ok));
    EXPECT_EQ(ok, passes) << "type " << type << " word " << word;
  }
  EXPECT_EQ(brick_word_sum(reinterpret_cast<const unsigned char*>(counting.data())), 536854528u);
}

// Records at an unaligned offset, ending exactly at the end of the file, cut short or
// beyond it; a fault in the middle of the copy.
TEST_F(HRFileTest, RecordsFillTheInteriorInFileOrderOrFailToRead) {
  MappedFile& file = map("pad" + samples(1) + u32(0));  // 3 + kRecord bytes
  const uint64_t near_end = ~uint64_t{0} - 10;
  const struct {
    uint64_t offset;
    uint32_t type;
    std::string log;
  } cases[] = {
      {7, 0, ""},  // the samples end exactly at the end; no word is read
      {7, 7, ""},
      {3, 2, ""},
      {7, 2, "FAILED to read brick at offset 7 (E)\n"},
      {7, 1, "FAILED to read brick at offset 7 (E)\n"},
      {8, 0, "FAILED to read brick at offset 8 (E)\n"},
      {near_end, 0, "FAILED to read brick at offset " + std::to_string(near_end) + " (E)\n"}};
  bool ok = false;
  for (const auto& c : cases) {
    ts::CaptureStdout capture;
    brick_->at(0, 0, 0) = brick_->bordered = 1;
    EXPECT_EQ(brick_read(*brick_, file, c.offset, c.type, &ok), c.log.empty());
    EXPECT_EQ(std::tuple(brick_->dirty, brick_->bordered), std::tuple(c.log.empty() ? 0 : 1, 0));
    EXPECT_EQ(brick_->at(0, 0, 0), 0.0f);
    EXPECT_EQ(ts::strip_timestamps(capture.text()), c.log);
  }
  ASSERT_TRUE(brick_read(*brick_, file, 3, kChecksumCrc32, &ok));
  int wrong = 0;
  for (uint32_t z = 0; z < 34; ++z)
    for (uint32_t y = 0; y < 34; ++y)
      for (uint32_t x = 0; x < 34; ++x) {
        const bool border = x % 33 == 0 || y % 33 == 0 || z % 33 == 0;
        wrong += brick_->at(x, y, z) !=
                 (border ? 0.0f : sample(1, (x - 1) + 32 * (y - 1) + 1024 * (z - 1)));
      }
  EXPECT_EQ(wrong, 0);

  // A fault in the middle: the rows in the first page are copied, the rest stays zero.
  std::filesystem::resize_file(dir_.file("b"), 4096);
  EXPECT_FALSE(brick_read(*brick_, file, 3, 0, &ok));
  EXPECT_EQ(log(), "FAILED to read brick at offset 3 (7)\n");
  EXPECT_EQ(brick_->dirty, 1);
  EXPECT_EQ(brick_->at(32, 31, 1), sample(1, 991));
  EXPECT_EQ(brick_->at(1, 1, 2), 0.0f);
}

TEST_F(HRFileTest, LendsBricksEvictsTheOldestAndTakesThemBack) {
  std::string bytes(16, 'H');
  for (uint32_t seed = 1; seed <= 3; ++seed) bytes += samples(seed) + u32(crc(samples(seed)));
  map(bytes);
  HRNode n[5];  // three bricks, a node without one, and a root holding its own
  for (uint32_t i = 0; i < 3; ++i) n[i].brick_offset = 16 + i * kRecord;
  n[4] = n[0];
  n[4].brick = brick_.get();
  NodeRequest r[5] = {{&n[0]}, {&n[1]}, {&n[2]}, {&n[3]}, {&n[4]}};
  BrickPool pool;
  pool.set_source(&file_, kChecksumCrc32);
  EXPECT_TRUE(pool.pool_load(r[4]));
  EXPECT_FALSE(pool.pool_load(r[0]));
  EXPECT_FALSE(pool.set_capacity(~uint64_t{0}));
  ASSERT_TRUE(pool.set_capacity(2));
  EXPECT_FALSE(pool.pool_load(r[3]));
  EXPECT_TRUE(pool.pool_load(r[0]) && pool.pool_load(r[1]) && pool.pool_load(r[2]));
  EXPECT_EQ(log(),
            "FAILED to load brick at 16 into pool: Capacity zero!\n"
            "FAILED to allocate 18446744073709551615 pool bricks\n"
            "FAILED to load brick at 0 into pool: node has no brick\n");
  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&n[2], &n[1]}));
  EXPECT_TRUE(pool.free_list().empty());
  EXPECT_EQ(std::tuple(n[0].brick, n[0].last_use), std::tuple(nullptr, 0));
  EXPECT_EQ(std::tuple(n[1].brick->at(1, 1, 1), n[2].brick->at(1, 1, 1)),
            std::tuple(sample(2, 0), sample(3, 0)));
  EXPECT_TRUE(n[2].last_use >= n[1].last_use && n[1].last_use > 0);

  n[2].last_use = n[1].last_use = 5;
  pool.pool_sort_by_last_use();
  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&n[2], &n[1]}));  // stable
  n[1].last_use = 6;
  pool.pool_sort_by_last_use();
  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&n[1], &n[2]}));

  n[2].brick->bordered = 1;
  pool.pool_flush();
  EXPECT_EQ(pool.used_count() + pool.used_list().size(), 0u);
  ASSERT_EQ(pool.free_list().size(), 2u);
  for (const PoolBrick* brick : pool.free_list()) EXPECT_EQ(brick->bordered, 0);
  EXPECT_EQ(std::tuple(n[1].brick, n[2].last_use), std::tuple(nullptr, 0));
  ASSERT_TRUE(pool.pool_load(r[0]));
  ASSERT_TRUE(pool.set_capacity(1));  // takes the brick back before releasing it
  EXPECT_EQ(n[0].brick, nullptr);
}

// A bad word warns and marks the request; a failed read after an eviction leaves the
// brick free, and the pool's destructor takes lent bricks back.
TEST_F(HRFileTest, BadWordsWarnAndFailedReadsKeepTheBrickFree) {
  map("12345678" + samples(1) + u32(1));
  HRNode warned, beyond;
  warned.brick_offset = 8;
  beyond.brick_offset = 9;  // one byte short
  NodeRequest rw{&warned}, rb{&beyond}, again{&warned};
  {
    BrickPool pool;
    pool.set_source(&file_, kChecksumCrc32);
    ASSERT_TRUE(pool.set_capacity(1));
    EXPECT_TRUE(pool.pool_load(rw));
    EXPECT_FALSE(rw.valid);
    EXPECT_FALSE(pool.pool_load(rb));
    EXPECT_EQ(log(),
              "WARNING data verification for brick at 8 FAILED...\n"
              "FAILED to read brick at offset 9 (E)\nFAILED to load new brick at 9 into pool\n");
    EXPECT_EQ(warned.brick, nullptr);  // evicted before the read
    ASSERT_EQ(pool.free_list().size(), 1u);
    EXPECT_TRUE(pool.pool_load(again));
  }
  EXPECT_EQ(std::tuple(warned.brick, warned.last_use), std::tuple(nullptr, 0));
}

}  // namespace
}  // namespace QVX::CT
