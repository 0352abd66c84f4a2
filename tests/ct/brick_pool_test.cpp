// Brick records copied into bordered buffers, and the pool that lends them to nodes.
#include "ct/brick_pool.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>

#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "ct/node_request.h"
#include "ct/node_tree.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace ts = QVX::TestSupport;

namespace QVX::CT {
namespace {

using Base::File::MappedFile;
constexpr uint64_t kRecord = kBrickDataBytes + 4;

// File sample n = i + 32 j + 1024 k of brick `seed`; exact in a float.
float sample(uint32_t seed, uint32_t n) { return static_cast<float>(seed) * 40000.0f - n; }

std::string le32(uint32_t value) {
  std::string bytes(4, '\0');
  Base::store_le32(bytes.data(), value);
  return bytes;
}

std::string samples(uint32_t seed) {
  std::string bytes;
  for (uint32_t n = 0; n < kBrickSamples; ++n)
    bytes += le32(std::bit_cast<uint32_t>(sample(seed, n)));
  return bytes;
}

uint32_t crc(const std::string& data) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

bool map_bytes(MappedFile& file, const std::string& path, const std::string& bytes) {
  ts::write_file(path, bytes);
  return file.map_open(path.c_str());
}

std::string log_of(ts::CaptureStdout& capture) { return ts::strip_timestamps(capture.text()); }

TEST(BrickPool, ReadFillsTheInteriorInFileOrderAndZeroesTheBorder) {
  ts::TempDir dir;
  MappedFile file;
  ASSERT_TRUE(map_bytes(file, dir.file("b"), "pad" + samples(2) + le32(0)));
  auto brick = std::make_unique<PoolBrick>();
  for (float& s : brick->samples) s = 7.0f;
  brick->bordered = 1;
  bool ok = false;
  ASSERT_TRUE(brick_read(*brick, file, 3, kChecksumCrc32, &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(brick->dirty + brick->bordered, 0);
  int wrong = 0;
  for (uint32_t z = 0; z < 34; ++z)
    for (uint32_t y = 0; y < 34; ++y)
      for (uint32_t x = 0; x < 34; ++x) {
        const bool border = x % 33 == 0 || y % 33 == 0 || z % 33 == 0;
        wrong += brick->at(x, y, z) !=
                 (border ? 0.0f : sample(2, (x - 1) + 32 * (y - 1) + 1024 * (z - 1)));
      }
  EXPECT_EQ(wrong, 0);
}

TEST(BrickPool, ChecksumWordsPassByType) {
  const std::string data = samples(5), zeros(kBrickDataBytes, '\0');
  uint32_t sum = 0;
  for (size_t n = 0; n < data.size(); n += 4) sum += Base::load_le32(&data[n]);
  const struct {
    uint32_t type;
    std::string data;
    uint32_t word;
    bool ok;
  } cases[] = {
      {0, data, 12345, true},     {7, data, 12345, true},
      {1, data, sum, true},       {1, data, sum + 1, false},
      {1, data, 0, false},        {1, zeros, 0, true},
      {2, data, crc(data), true}, {2, data, crc(data) ^ 1, false},
      {2, data, 0, true},
  };
  ts::TempDir dir;
  auto brick = std::make_unique<PoolBrick>();
  for (const auto& c : cases) {
    MappedFile file;
    ASSERT_TRUE(map_bytes(file, dir.file("b"), c.data + le32(c.word)));
    bool ok = !c.ok;
    EXPECT_TRUE(brick_read(*brick, file, 0, c.type, &ok));
    EXPECT_EQ(ok, c.ok) << "type " << c.type << " word " << c.word;
  }
}

TEST(BrickPool, RecordsOutsideTheFileOrTruncatedAwayFailToRead) {
  ts::TempDir dir;
  MappedFile file;
  ASSERT_TRUE(map_bytes(file, dir.file("b"), samples(1) + le32(0)));  // kRecord bytes
  const uint64_t near_end = ~uint64_t{0} - 10;
  const struct {
    uint64_t offset;
    uint32_t type;
    std::string log;
  } cases[] = {
      {4, 0, ""},  // the samples end exactly at the end; no word is read
      {4, 7, ""},
      {4, 2, "FAILED to read brick at offset 4 (E)\n"},
      {4, 1, "FAILED to read brick at offset 4 (E)\n"},
      {5, 0, "FAILED to read brick at offset 5 (E)\n"},
      {near_end, 0, "FAILED to read brick at offset " + std::to_string(near_end) + " (E)\n"},
  };
  auto brick = std::make_unique<PoolBrick>();
  bool ok = false;
  for (const auto& c : cases) {
    ts::CaptureStdout capture;
    brick->at(0, 0, 0) = 1.0f;
    EXPECT_EQ(brick_read(*brick, file, c.offset, c.type, &ok), c.log.empty());
    EXPECT_EQ(brick->dirty, c.log.empty() ? 0 : 1);
    EXPECT_EQ(brick->at(0, 0, 0), 0.0f);
    EXPECT_EQ(log_of(capture), c.log);
  }

  // A fault in the middle: the first page is copied, the rest stays zero.
  std::filesystem::resize_file(dir.file("b"), 4096);
  ts::CaptureStdout capture;
  EXPECT_FALSE(brick_read(*brick, file, 0, 0, &ok));
  EXPECT_EQ(log_of(capture), "FAILED to read brick at offset 0 (7)\n");
  EXPECT_EQ(brick->dirty, 1);
  EXPECT_EQ(brick->at(32, 32, 1), sample(1, 1023));
  EXPECT_EQ(brick->at(1, 1, 2), 0.0f);
}

TEST(BrickPool, OnlyCleanBricksAreWritten) {
  MappedFile file;
  auto brick = std::make_unique<PoolBrick>();
  ts::CaptureStdout capture;
  EXPECT_FALSE(brick_write(*brick, file, 77, kChecksumCrc32));
  EXPECT_EQ(brick->dirty, 1);
  brick->dirty = 0;
  EXPECT_TRUE(brick_write(*brick, file, 77, kChecksumCrc32));
  EXPECT_EQ(log_of(capture), "FAILED to write brick at offset 77 (D)\n");
}

TEST(BrickPool, LendsBricksEvictsTheOldestAndTakesThemBack) {
  ts::TempDir dir;
  MappedFile file;
  std::string bytes(16, 'H');
  for (uint32_t seed = 1; seed <= 3; ++seed) bytes += samples(seed) + le32(crc(samples(seed)));
  ASSERT_TRUE(map_bytes(file, dir.file("b"), bytes));
  HRNode a, b, c, root, none;
  a.brick_offset = root.brick_offset = 16;
  b.brick_offset = 16 + kRecord;
  c.brick_offset = 16 + 2 * kRecord;
  auto root_brick = std::make_unique<PoolBrick>();
  root.brick = root_brick.get();
  NodeRequest ra{&a}, rb{&b}, rc{&c}, rroot{&root}, rnone{&none};
  BrickPool pool;
  pool.set_source(&file, kChecksumCrc32);
  ts::CaptureStdout capture;
  EXPECT_TRUE(pool.pool_load(rroot));
  EXPECT_FALSE(pool.pool_load(ra));
  EXPECT_FALSE(pool.pool_load(rnone));
  EXPECT_FALSE(pool.set_capacity(~uint64_t{0}));
  EXPECT_EQ(pool.capacity(), 0u);
  ASSERT_TRUE(pool.set_capacity(2));
  EXPECT_FALSE(pool.pool_load(rnone));
  EXPECT_EQ(pool.free_list().size(), 2u);
  EXPECT_TRUE(pool.pool_load(ra) && pool.pool_load(rb) && pool.pool_load(rc));
  const std::string expected =
      "FAILED to load brick at 16 into pool: Capacity zero!\n"
      "FAILED to load brick at 0 into pool: Capacity zero!\n"
      "FAILED to allocate 18446744073709551615 pool bricks\n"
      "FAILED to load brick at 0 into pool: node has no brick\n";
  EXPECT_EQ(log_of(capture), expected);

  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&c, &b}));
  EXPECT_EQ(pool.used_count(), 2u);
  EXPECT_TRUE(pool.free_list().empty());
  EXPECT_EQ(a.brick, nullptr);
  EXPECT_EQ(a.last_use, 0);
  ASSERT_TRUE(b.brick != nullptr && c.brick != nullptr);
  EXPECT_EQ(b.brick->at(1, 1, 1), sample(2, 0));
  EXPECT_EQ(c.brick->at(1, 1, 1), sample(3, 0));
  EXPECT_TRUE(c.last_use >= b.last_use && b.last_use > 0);

  c.last_use = b.last_use = 5;
  pool.pool_sort_by_last_use();
  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&c, &b}));  // stable
  b.last_use = 6;
  pool.pool_sort_by_last_use();
  EXPECT_EQ(pool.used_list(), (std::list<HRNode*>{&b, &c}));

  c.brick->bordered = 1;
  pool.pool_flush();
  EXPECT_TRUE(pool.used_list().empty());
  EXPECT_EQ(pool.used_count(), 0u);
  ASSERT_EQ(pool.free_list().size(), 2u);
  for (const PoolBrick* brick : pool.free_list()) EXPECT_EQ(brick->bordered, 0);
  EXPECT_EQ(b.brick, nullptr);
  EXPECT_EQ(c.last_use, 0);

  ASSERT_TRUE(pool.pool_load(ra));
  ASSERT_TRUE(pool.set_capacity(1));  // takes A's brick back before releasing it
  EXPECT_EQ(a.brick, nullptr);
  EXPECT_EQ(pool.free_list().size(), 1u);
  EXPECT_EQ(log_of(capture), expected);
}

TEST(BrickPool, BadWordsWarnAndFailedReadsKeepTheBrickFree) {
  ts::TempDir dir;
  MappedFile file;
  ASSERT_TRUE(map_bytes(file, dir.file("b"), "12345678" + samples(1) + le32(1)));
  HRNode warned, beyond;
  warned.brick_offset = 8;
  beyond.brick_offset = 9;  // one byte short
  NodeRequest rw{&warned}, rb{&beyond}, again{&warned};
  {
    BrickPool pool;
    pool.set_source(&file, kChecksumCrc32);
    ASSERT_TRUE(pool.set_capacity(1));
    ts::CaptureStdout capture;
    EXPECT_TRUE(pool.pool_load(rw));
    EXPECT_FALSE(rw.valid);
    ASSERT_NE(warned.brick, nullptr);
    EXPECT_EQ(warned.brick->at(1, 1, 1), sample(1, 0));

    EXPECT_FALSE(pool.pool_load(rb));
    EXPECT_EQ(log_of(capture),
              "WARNING data verification for brick at 8 FAILED...\n"
              "FAILED to read brick at offset 9 (E)\n"
              "FAILED to load new brick at 9 into pool\n");
    EXPECT_EQ(warned.brick, nullptr);  // evicted before the read
    EXPECT_EQ(beyond.brick, nullptr);
    EXPECT_TRUE(pool.used_list().empty());
    ASSERT_EQ(pool.free_list().size(), 1u);
    EXPECT_EQ(pool.free_list()[0]->dirty, 1);
    EXPECT_TRUE(pool.pool_load(again));
  }
  EXPECT_EQ(warned.brick, nullptr);  // the pool's destructor took it back
  EXPECT_EQ(warned.last_use, 0);
}

}  // namespace
}  // namespace QVX::CT
