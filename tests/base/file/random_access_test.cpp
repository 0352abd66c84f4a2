// Positioned reads of plain files, the gzip test that picks the reader, and header lines
// read by the rules of zlib's gzgets.
#include "base/file/random_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

namespace ts = QVX::TestSupport;

std::wstring wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

TEST(RandomAccessFile, PlainFilesReadByteForByteAndShortAtTheEnd) {
  ts::TempDir dir;
  ts::write_file(dir.file("digits"), "0123456789");
  RandomAccessFile file;
  ASSERT_TRUE(file.open(wide(dir.file("digits"))));
  EXPECT_FALSE(file.is_gzip());
  const struct {
    uint64_t offset;
    size_t size;
    int64_t got;
    const char* bytes;
  } cases[] = {
      {3, 4, 4, "3456"}, {0, 10, 10, "0123456789"},     {8, 10, 2, "89"},
      {10, 5, 0, ""},    {uint64_t{1} << 40, 5, 0, ""},
  };
  for (const auto& c : cases) {
    std::string out(c.size, '\0');
    ASSERT_EQ(file.read_at(c.offset, out.data(), c.size), c.got) << c.offset;
    EXPECT_EQ(out.substr(0, static_cast<size_t>(c.got)), c.bytes) << c.offset;
  }
  char two[2];
  EXPECT_TRUE(file.read_exact_at(8, two, 2));
  EXPECT_FALSE(file.read_exact_at(9, two, 2));
  file.close();
  EXPECT_EQ(file.read_at(0, two, 2), -1);
  EXPECT_FALSE(file.open(wide(dir.file("missing"))));
}

TEST(RandomAccessFile, OnlyTheTwoMagicBytesMakeAFileGzip) {
  ts::TempDir dir;
  const struct {
    std::string bytes;
    bool gzip;
  } cases[] = {
      {"", false},         {"\x1f", false},    {"\x1f\x8c rest", false},
      {"\x8b\x1f", false}, {"\x1f\x8b", true},  // a gzip file cut after its magic: an empty stream
  };
  for (const auto& c : cases) {
    ts::write_file(dir.file("f"), c.bytes);
    RandomAccessFile file;
    ASSERT_TRUE(file.open(wide(dir.file("f"))));
    EXPECT_EQ(file.is_gzip(), c.gzip) << c.bytes;
    std::string out(16, '\0');
    EXPECT_EQ(file.read_at(0, out.data(), out.size()),
              c.gzip ? 0 : static_cast<int64_t>(c.bytes.size()));
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
    if (gzip) {
      ts::write_gzip_file(source, data);
    } else {
      ts::write_file(source, data);
    }
    std::ifstream in(source, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
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

}  // namespace
}  // namespace QVX::Base::File
