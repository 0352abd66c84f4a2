// Random access into gzip streams: every read agrees with the stream inflated front to
// back, and with what zlib's gzread makes of the same file, damaged or not.
#include "base/file/gz_index.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/file/random_access.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

namespace ts = QVX::TestSupport;

constexpr uint64_t kSpan = GzIndexedReader::kAccessPointSpan;

// CT-like 16-bit samples: a slow wave with noise, which deflate packs about 2:1 in
// blocks of a few tens of KiB, as real volumes.
std::string ct_like(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  std::minstd_rand noise(seed);
  for (size_t i = 0; i + 1 < size; i += 2) {
    const auto v = static_cast<uint16_t>(2000 + (i / 2048) % 900 + noise() % 64);
    bytes[i] = static_cast<char>(v & 0xff);
    bytes[i + 1] = static_cast<char>(v >> 8);
  }
  return bytes;
}

// One gzip member as zlib writes it, with a file name, a comment and a header CRC when
// `named`.
std::string gzip_member(const std::string& data, int level = 6, bool named = false) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  gz_header h{};
  h.name = reinterpret_cast<Bytef*>(const_cast<char*>("slice.raw"));
  h.comment = reinterpret_cast<Bytef*>(const_cast<char*>("from a test"));
  h.hcrc = 1;
  if (named) deflateSetHeader(&s, &h);
  std::string out(deflateBound(&s, data.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// What gzread delivers from `path`, and whether it ended in an error.
struct GzreadResult {
  std::string bytes;
  bool error = false;
};

GzreadResult gzread_all(const std::string& path) {
  GzreadResult r;
  gzFile gz = gzopen(path.c_str(), "rb");
  if (gz == nullptr) return {{}, true};
  std::string chunk(1 << 16, '\0');
  for (;;) {
    const int got = gzread(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
    if (got < 0) r.error = true;
    if (got <= 0) break;
    r.bytes.append(chunk, 0, static_cast<size_t>(got));
  }
  gzclose(gz);
  return r;
}

class GzIndex : public ::testing::Test {
 protected:
  // Writes `file_bytes` and opens it.
  void open(const std::string& file_bytes) {
    path = dir.file("v.gz");
    // A new file each time: rewriting one in place makes ext4 write it out at close.
    std::remove(path.c_str());
    ts::write_file(path, file_bytes);
    ASSERT_TRUE(file.open(std::wstring(path.begin(), path.end())));
    ASSERT_TRUE(file.is_gzip());
  }
  const GzIndexedReader& index() const { return *file.gzip_index(); }

  // Reads [offset, offset + size) and checks it against `expected`.
  void expect_read(const std::string& expected, uint64_t offset, size_t size) {
    std::string got(size, '\0');
    ASSERT_EQ(file.read_at(offset, got.data(), size), static_cast<int64_t>(size)) << offset;
    ASSERT_TRUE(got == expected.substr(offset, size)) << "at " << offset << " size " << size;
  }

  ts::TempDir dir;
  std::string path;
  RandomAccessFile file;
};

TEST_F(GzIndex, RandomOrderReadsEqualTheStreamAtBoundedCost) {
  // Two members, so access points fall in both and in the second one's first window.
  const std::string a = ct_like(5 * kSpan + 12345, 1), b = ct_like(3 * kSpan + 777, 2);
  const std::string data = a + b;
  open(gzip_member(a) + gzip_member(b, 9));

  // Forward once, slice by slice, as a viewer would at first.
  const size_t slice = 300000;
  std::vector<uint64_t> offsets;
  for (uint64_t o = 0; o < data.size(); o += slice) offsets.push_back(o);
  for (uint64_t o : offsets) expect_read(data, o, std::min<size_t>(slice, data.size() - o));
  EXPECT_EQ(index().inflated_extent(), data.size());
  EXPECT_EQ(index().inflated_total(), data.size());  // nothing inflated twice

  const std::vector<uint64_t> points = index().access_point_offsets();
  ASSERT_GE(points.size(), 7u);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_GE(points[i], (i == 0 ? 0 : points[i - 1]) + kSpan);
  }
  EXPECT_LE(index().index_bytes(), data.size() / 25);  // at most 4 %

  // Then in random order: each read inflates at most from the access point before it.
  std::shuffle(offsets.begin(), offsets.end(), std::minstd_rand(7));
  for (uint64_t o : offsets) {
    const size_t size = std::min<size_t>(slice, data.size() - o);
    const auto before = std::upper_bound(points.begin(), points.end(), o);
    const uint64_t start = before == points.begin() ? 0 : *(before - 1);
    const uint64_t total = index().inflated_total();
    expect_read(data, o, size);
    EXPECT_LE(index().inflated_total() - total, o - start + size) << o;
  }
  EXPECT_EQ(index().access_point_offsets(), points);  // known ground adds no points
}

TEST_F(GzIndex, ReadsAcrossAccessPointsAndPastTheEnd) {
  const std::string data = ct_like(4 * kSpan + 999, 3);
  open(gzip_member(data));
  // The first read beyond what was inflated goes there once, indexing on the way.
  expect_read(data, data.size() - 10, 10);
  const std::vector<uint64_t> points = index().access_point_offsets();
  ASSERT_GE(points.size(), 3u);
  for (uint64_t p : points) {
    SCOPED_TRACE(p);
    for (const auto& [back, size] :
         {std::pair<uint64_t, size_t>{1, 2}, {0, 1}, {1, 1}, {70000, 140000}}) {
      expect_read(data, p - back, size);
    }
  }
  std::string out(100, '\0');
  EXPECT_EQ(file.read_at(data.size() - 40, out.data(), 100), 40);
  EXPECT_EQ(file.read_at(data.size(), out.data(), 100), 0);
  EXPECT_EQ(file.read_at(uint64_t{1} << 62, out.data(), 100), 0);
}

TEST_F(GzIndex, IndexIsDroppedOnCloseAndBuiltAgainAfterReopening) {
  const std::string data = ct_like(3 * kSpan + 5, 4);
  open(gzip_member(data));
  expect_read(data, data.size() - 1, 1);
  const std::vector<uint64_t> points = index().access_point_offsets();
  ASSERT_FALSE(points.empty());

  file.close();
  EXPECT_FALSE(file.is_open());
  std::string out(8, '\0');
  EXPECT_EQ(file.read_at(0, out.data(), 8), -1);
  ASSERT_TRUE(file.open(std::wstring(path.begin(), path.end())));
  EXPECT_EQ(index().access_point_count(), 0u);
  EXPECT_EQ(index().index_bytes(), 0u);
  expect_read(data, 2 * kSpan + 100, 5000);  // backwards and forwards from here
  expect_read(data, 17, 1000);
  expect_read(data, data.size() - 1, 1);
  EXPECT_EQ(index().access_point_offsets(), points);
}

// Files built from members and trailing bytes, and damaged copies of them: what the
// reader delivers equals what gzread delivers, and it fails where gzread fails.
TEST_F(GzIndex, MembersTrailingBytesAndDamageReadAsGzreadReadsThem) {
  const std::string one = gzip_member(ct_like(70000, 5));
  const std::string two = gzip_member(ct_like(30000, 6), 1);
  const std::string empty = gzip_member("");
  const std::string named = gzip_member(ct_like(30000, 6), 6, /*named=*/true);
  std::string bad_crc = one;
  bad_crc[bad_crc.size() - 6] ^= 1;
  std::string bad_length = one;
  bad_length[bad_length.size() - 2] ^= 1;

  const struct {
    const char* what;
    std::string bytes;
  } files[] = {
      {"one member", one},
      {"three members, one empty", one + empty + two},
      {"named member after a plain one", one + named},
      {"trailing zeros", one + std::string(100, '\0')},
      {"trailing text", one + "not gzip"},
      {"one trailing magic byte", one + "\x1f"},
      {"trailing magic with junk", one + std::string("\x1f\x8b\x08\x00junk", 8)},
      {"trailing magic with a bad method",
       one + std::string("\x1f\x8b\x07\x00\x00\x00\x00\x00\x00\x03", 10)},
      {"wrong CRC", bad_crc + two},
      {"wrong length", bad_length},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.what);
    open(f.bytes);
    const GzreadResult expected = gzread_all(path);
    std::string got(size_t{1} << 20, '\0');
    const int64_t n = file.read_at(0, got.data(), got.size());
    if (expected.error) {
      EXPECT_EQ(n, -1);
      // What gzread delivered before its error still reads, before and after the failure.
      expect_read(expected.bytes, 0, expected.bytes.size());
    } else {
      ASSERT_EQ(n, static_cast<int64_t>(expected.bytes.size()));
      EXPECT_TRUE(got.substr(0, expected.bytes.size()) == expected.bytes);
    }
  }
}

TEST_F(GzIndex, EveryTruncationAndEveryDamagedByteAgreesWithGzread) {
  const std::string data = ct_like(5000, 8);
  const std::string whole = gzip_member(data) + gzip_member(data.substr(0, 2000), 1) + "xy";
  size_t errors = 0;
  // Cut at every length, then with every byte changed in turn (the magic bytes aside,
  // without which the file is no gzip file).
  for (size_t k = 0; k < 2 * whole.size(); ++k) {
    std::string bytes = k < whole.size() ? whole.substr(0, k) : whole;
    if (k >= whole.size() + 2) bytes[k - whole.size()] ^= static_cast<char>(0x5a);
    if (bytes.size() < 2 || k == whole.size() || k == whole.size() + 1) continue;
    SCOPED_TRACE(k);
    open(bytes);
    const GzreadResult expected = gzread_all(path);
    std::string got(data.size() * 2, '\0');
    const int64_t n = file.read_at(0, got.data(), got.size());
    if (expected.error) {
      ++errors;
      ASSERT_EQ(n, -1);
    } else {
      ASSERT_EQ(n, static_cast<int64_t>(expected.bytes.size()));
      ASSERT_TRUE(got.substr(0, expected.bytes.size()) == expected.bytes);
    }
  }
  EXPECT_GT(errors, whole.size() / 2);  // most changed bytes are refused by zlib
}

TEST_F(GzIndex, DamageFailsOnlyTheReadsThatReachIt) {
  const std::string data = ct_like(4 * kSpan, 9);
  std::string bytes = gzip_member(data);
  bytes[bytes.size() * 3 / 4] ^= 0x21;
  open(bytes);
  const GzreadResult expected = gzread_all(path);
  ASSERT_TRUE(expected.error);
  ASSERT_GT(expected.bytes.size(), 2 * kSpan);
  expect_read(data, kSpan, 1000);
  // The damage lies somewhere after what gzread delivered.
  std::string out(data.size() + kSpan, '\0');
  EXPECT_EQ(file.read_at(0, out.data(), out.size()), -1);
  EXPECT_EQ(file.read_at(expected.bytes.size(), out.data(), out.size()), -1);
  expect_read(expected.bytes, 0, expected.bytes.size());  // still readable after the failure
  expect_read(data, 5, 1000);
}

// Truncated and damaged beyond access points, where zlib settles the end from the point
// before: the stream ends where gzread ends it, at the cost of about one span.
TEST_F(GzIndex, StreamsEndWhereGzreadEndsThemPastAccessPoints) {
  const std::string data = ct_like(3 * kSpan + 4321, 11);
  const std::string whole = gzip_member(data);
  const size_t n = whole.size();
  const struct {
    size_t cut;   // file length kept
    size_t flip;  // byte changed, or 0
  } cases[] = {{n * 2 / 5, 0}, {n * 7 / 10, 0}, {n - 9, 0}, {n - 3, 0},
               {n, n * 2 / 5}, {n, n * 7 / 10}, {n, n - 6}, {n, n - 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cut << " " << c.flip);
    std::string bytes = whole.substr(0, c.cut);
    if (c.flip != 0) bytes[c.flip] ^= 0x21;
    open(bytes);
    const GzreadResult expected = gzread_all(path);
    std::string got(data.size() + kSpan, '\0');
    const int64_t got_n = file.read_at(0, got.data(), got.size());
    EXPECT_LE(index().inflated_total(), expected.bytes.size() + 2 * kSpan);
    if (expected.error) {
      EXPECT_EQ(got_n, -1);
      expect_read(expected.bytes, 0, expected.bytes.size());
    } else {
      ASSERT_EQ(got_n, static_cast<int64_t>(expected.bytes.size()));
      EXPECT_TRUE(got.substr(0, expected.bytes.size()) == expected.bytes);
    }
  }
}

TEST_F(GzIndex, AccessPointsDoNotDependOnReadSizes) {
  const std::string data = ct_like(4 * kSpan + 99, 12);
  const std::string gz = gzip_member(data);
  open(gz);
  expect_read(data, data.size() - 1, 1);  // skipped to the end
  const std::vector<uint64_t> points = index().access_point_offsets();
  ASSERT_GE(points.size(), 3u);
  for (const size_t piece : {size_t{4099}, size_t{65543}, size_t{1} << 20}) {
    open(gz);
    for (uint64_t o = 0; o < data.size(); o += piece) {
      expect_read(data, o, std::min<size_t>(piece, data.size() - o));
    }
    EXPECT_EQ(index().access_point_offsets(), points) << piece;
  }
}

}  // namespace
}  // namespace QVX::Base::File
