// Positioned reads of plain files, pipes and gzip streams, and header lines read by the
// rules of zlib's gzgets. Every gzip read agrees with the stream inflated front to back,
// and with what zlib's gzread makes of the same file, damaged or not.
#include "base/file/random_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/file/gz_index.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

namespace ts = QVX::TestSupport;

std::wstring wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

// Reads of a plain file, short at the end; only the two magic bytes make a file gzip (one
// cut after its magic is an empty stream).
TEST(RandomAccessFile, PlainFilesReadByteForByteAndOnlyTheMagicMakesGzip) {
  ts::TempDir dir;
  ts::write_file(dir.file("digits"), "0123456789");
  RandomAccessFile file;
  ASSERT_TRUE(file.open(wide(dir.file("digits"))));
  const struct {
    uint64_t offset;
    size_t size;
    const char* bytes;
  } cases[] = {{3, 4, "3456"},
               {0, 10, "0123456789"},
               {8, 10, "89"},
               {10, 5, ""},
               {uint64_t{1} << 40, 5, ""}};
  for (const auto& c : cases) {
    std::string out(c.size, '\0');
    ASSERT_EQ(file.read_at(c.offset, out.data(), c.size), int64_t(strlen(c.bytes))) << c.offset;
    EXPECT_EQ(out.substr(0, strlen(c.bytes)), c.bytes) << c.offset;
  }
  char two[2];
  EXPECT_TRUE(file.read_exact_at(8, two, 2));
  EXPECT_FALSE(file.read_exact_at(9, two, 2));
  file.close();
  EXPECT_EQ(file.read_at(0, two, 2), -1);
  EXPECT_FALSE(file.open(wide(dir.file("missing"))));
  for (const std::string bytes : {"", "\x1f", "\x1f\x8c rest", "\x8b\x1f", "\x1f\x8b"}) {
    ts::write_file(dir.file("f"), bytes);
    ASSERT_TRUE(file.open(wide(dir.file("f"))));
    const bool gzip = bytes == "\x1f\x8b";
    EXPECT_EQ(file.is_gzip(), gzip) << bytes;
    std::string out(16, '\0');
    EXPECT_EQ(file.read_at(0, out.data(), out.size()), gzip ? 0 : int64_t(bytes.size()));
  }
}

// A pipe cannot seek: it reads forward, its first 4 KiB stay readable (the gzip test reads
// two bytes before the data is read from the start), reads ahead skip, and bytes passed
// beyond the kept head fail.
TEST(RandomAccessFile, PipesReadForward) {
  ts::TempDir dir;
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  for (const bool gzip : {false, true}) {
    SCOPED_TRACE(gzip ? "gzip" : "plain");
    const std::string source = dir.file("source");
    gzip ? ts::write_gzip_file(source, data) : ts::write_file(source, data);
    const std::string bytes = ts::read_file(source);
    const std::string fifo = dir.file(gzip ? "gzip.fifo" : "plain.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { ts::write_file(fifo, bytes); });
    RandomAccessFile file;
    ASSERT_TRUE(file.open(wide(fifo)));
    EXPECT_EQ(file.is_gzip(), gzip);
    std::string out(100, '\0');
    ASSERT_TRUE(file.read_exact_at(0, out.data(), 100));
    EXPECT_EQ(out, data.substr(0, 100));
    ASSERT_TRUE(file.read_exact_at(10000, out.data(), 100));  // ahead: skips
    EXPECT_EQ(out, data.substr(10000, 100));
    if (!gzip) {
      EXPECT_TRUE(file.read_exact_at(50, out.data(), 100));  // inside the kept head
      EXPECT_EQ(out, data.substr(50, 100));
      EXPECT_EQ(file.read_at(5000, out.data(), 100), -1);  // passed, not kept
    }
    EXPECT_EQ(file.read_at(19950, out.data(), 100), 50);
    file.close();
    writer.join();
  }
}

// Every line of `path` as gzgets delivers it with `limit`: the whole buffer (NULs
// included) and the position after it.
std::vector<std::pair<std::string, int64_t>> gzgets_lines(const std::string& path, int limit) {
  std::vector<std::pair<std::string, int64_t>> lines;
  gzFile gz = gzopen(path.c_str(), "rb");
  std::string buffer(static_cast<size_t>(limit), '\0');
  for (;;) {
    std::fill(buffer.begin(), buffer.end(), '\0');
    if (gzgets(gz, buffer.data(), limit) == nullptr) break;
    lines.emplace_back(buffer, gztell(gz));
  }
  gzclose(gz);
  return lines;
}

TEST(LineReader, ReadsLinesAsGzgets) {
  ts::TempDir dir;
  const std::string texts[] = {
      "# magic\nVoxels: 1 2 3\r\n\n</content>\ndata without end",
      std::string(5000, 'x') + "\nshort\n",
      std::string("nul\0inside\nnext\n", 16),
      "",
  };
  for (const std::string& text : texts) {
    for (bool gz : {false, true}) {
      const std::string path = dir.file(gz ? "t.gz" : "t");
      gz ? ts::write_gzip_file(path, text) : ts::write_file(path, text);
      for (int limit : {1, 2, 7, 2800}) {
        SCOPED_TRACE(::testing::Message() << text.substr(0, 10) << " gz " << gz << " " << limit);
        const auto expected = gzgets_lines(path, limit);
        RandomAccessFile file;
        ASSERT_TRUE(file.open(wide(path)));
        LineReader reader(file);
        std::string buffer(static_cast<size_t>(limit), '\0');
        for (const auto& [line, position] : expected) {
          std::fill(buffer.begin(), buffer.end(), '\0');
          ASSERT_TRUE(reader.read_line(buffer.data(), buffer.size()));
          EXPECT_EQ(buffer, line);
          EXPECT_EQ(static_cast<int64_t>(reader.position()), position);
        }
        EXPECT_FALSE(reader.read_line(buffer.data(), buffer.size()));
      }
    }
  }
}

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

// One gzip member as zlib writes it; `named` adds a file name, a comment and a header CRC.
std::string gzip_member(const std::string& data, int level = 6, bool named = false) {
  const ts::TempDir dir;
  gzFile gz = gzopen(dir.file("m").c_str(), ("wb" + std::to_string(level)).c_str());
  gzwrite(gz, data.data(), static_cast<unsigned>(data.size()));
  gzclose(gz);
  const std::string plain = ts::read_file(dir.file("m"));
  if (!named) return plain;
  std::string header = plain.substr(0, 10) + std::string("slice.raw\0from a test\0", 22);
  header[3] = 0x1a;  // FHCRC, FNAME, FCOMMENT
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()), uInt(header.size()));
  return header + char(crc & 0xff) + char((crc >> 8) & 0xff) + plain.substr(10);
}

class GzIndex : public ::testing::Test {
 protected:
  // Writes `file_bytes` and opens it.
  void open(const std::string& file_bytes) {
    path = dir.file("v.gz");
    // A new file each time: rewriting one in place makes ext4 write it out at close.
    std::remove(path.c_str());
    ts::write_file(path, file_bytes);
    ASSERT_TRUE(file.open(wide(path)));
    ASSERT_TRUE(file.is_gzip());
  }
  const GzIndexedReader& index() const { return *file.gzip_index(); }

  // Reads [offset, offset + size) and checks it against `expected`.
  void expect_read(const std::string& expected, uint64_t offset, size_t size) {
    std::string got(size, '\0');
    ASSERT_EQ(file.read_at(offset, got.data(), size), static_cast<int64_t>(size)) << offset;
    ASSERT_TRUE(got == expected.substr(offset, size)) << "at " << offset << " size " << size;
  }

  // Opens `bytes` and reads it whole as gzread does: the same bytes, or -1 where gzread
  // ends in an error, after which (with `reread`) what gzread delivered still reads. True
  // on an error.
  bool expect_as_gzread(const std::string& bytes, bool reread = true) {
    open(bytes);
    std::string expected, chunk(1 << 16, '\0');
    bool error = false;
    gzFile gz = gzopen(path.c_str(), "rb");
    for (int got; (got = gzread(gz, chunk.data(), static_cast<unsigned>(chunk.size()))) != 0;) {
      if ((error = got < 0)) break;
      expected.append(chunk, 0, static_cast<size_t>(got));
    }
    gzclose(gz);
    std::string all(expected.size() + (size_t{1} << 16), '\0');
    const int64_t n = file.read_at(0, all.data(), all.size());
    EXPECT_EQ(n, error ? -1 : static_cast<int64_t>(expected.size()));
    if (error && reread) expect_read(expected, 0, expected.size());
    EXPECT_TRUE(error || all.substr(0, expected.size()) == expected);
    return error;
  }

  ts::TempDir dir;
  std::string path;
  RandomAccessFile file;
};

// A skip to the end indexes on the way; reads around every access point and past the end;
// after reopening, forward then random-order reads find the same points at bounded cost.
TEST_F(GzIndex, ReadsAcrossAccessPointsAndAfterReopeningInAnyOrderAtBoundedCost) {
  // Two members, so access points fall in both and in the second one's first window.
  const std::string a = ct_like(5 * kSpan + 12345, 1), b = ct_like(3 * kSpan + 777, 2);
  const std::string data = a + b;
  open(gzip_member(a) + gzip_member(b, 9));
  expect_read(data, data.size() - 10, 10);
  const std::vector<uint64_t> points = index().access_point_offsets();
  ASSERT_GE(points.size(), 7u);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_GE(points[i], (i == 0 ? 0 : points[i - 1]) + kSpan);
    for (const auto& [back, size] :
         {std::pair<uint64_t, size_t>{1, 2}, {0, 1}, {1, 1}, {70000, 140000}}) {
      expect_read(data, points[i] - back, size);
    }
  }
  EXPECT_LE(index().index_bytes(), data.size() / 25);  // at most 4 %
  std::string out(100, '\0');
  EXPECT_EQ(file.read_at(data.size() - 40, out.data(), 100), 40);
  EXPECT_EQ(file.read_at(data.size(), out.data(), 100), 0);
  EXPECT_EQ(file.read_at(uint64_t{1} << 62, out.data(), 100), 0);
  file.close();
  EXPECT_EQ(file.read_at(0, out.data(), 8), -1);
  ASSERT_TRUE(file.open(wide(path)));
  EXPECT_EQ(index().access_point_count() + index().index_bytes(), 0u);

  // Forward once, slice by slice, as a viewer would at first.
  const size_t slice = 300000;
  std::vector<uint64_t> offsets;
  for (uint64_t o = 0; o < data.size(); o += slice) offsets.push_back(o);
  for (uint64_t o : offsets) expect_read(data, o, std::min<size_t>(slice, data.size() - o));
  EXPECT_EQ(index().inflated_extent(), data.size());
  EXPECT_EQ(index().inflated_total(), data.size());  // nothing inflated twice
  EXPECT_EQ(index().access_point_offsets(), points);

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

// Files built from members and trailing bytes, and damaged copies of them.
TEST_F(GzIndex, MembersTrailingBytesAndDamageReadAsGzreadReadsThem) {
  const std::string one = gzip_member(ct_like(70000, 5));
  const std::string two = gzip_member(ct_like(30000, 6), 1);
  std::string bad_crc = one, bad_length = one;
  bad_crc[bad_crc.size() - 6] ^= 1;
  bad_length[bad_length.size() - 2] ^= 1;
  for (const std::string& bytes : {
           one + gzip_member("") + two,
           one + gzip_member(ct_like(30000, 6), 6, /*named=*/true),
           one + std::string(100, '\0'),
           one + "not gzip",
           one + "\x1f",
           one + std::string("\x1f\x8b\x08\x00junk", 8),
           one + std::string("\x1f\x8b\x07\x00\x00\x00\x00\x00\x00\x03", 10),  // bad method
           bad_crc + two,
           bad_length,
       }) {
    SCOPED_TRACE(&bytes - &one);
    expect_as_gzread(bytes);
  }
}

TEST_F(GzIndex, EveryTruncationAndEveryDamagedByteAgreesWithGzread) {
  const std::string data = ct_like(5000, 8);
  const std::string whole = gzip_member(data) + gzip_member(data.substr(0, 2000), 1) + "xy";
  size_t errors = 0;
  // Cut at every length, then with every byte changed in turn (the magic bytes aside,
  // without which the file is no gzip file).
  for (size_t k = 2; k < 2 * whole.size(); ++k) {
    std::string bytes = k < whole.size() ? whole.substr(0, k) : whole;
    if (k >= whole.size() + 2) bytes[k - whole.size()] ^= static_cast<char>(0x5a);
    if (k == whole.size() || k == whole.size() + 1) continue;
    SCOPED_TRACE(k);
    errors += expect_as_gzread(bytes, false);
    if (HasFailure()) break;
  }
  EXPECT_GT(errors, whole.size() / 2);  // most changed bytes are refused by zlib
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
    expect_as_gzread(bytes, false);
    EXPECT_LE(index().inflated_total(), data.size() + 2 * kSpan);
  }
}

}  // namespace
}  // namespace QVX::Base::File
