#include "base/file/gz_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "base/utf.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

using QVX::TestSupport::TempDir;

// Pseudo-random bytes, so that a piece read from the wrong place shows.
std::string sample_bytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<char>(state >> 24);
  }
  return bytes;
}

// The same sample bytes as a plain and as a gzip-compressed file.
struct SampleFiles {
  SampleFiles() {
    QVX::TestSupport::write_file(dir.file("plain.raw"), bytes);
    QVX::TestSupport::write_gzip_file(dir.file("packed.raw.gz"), bytes);
  }
  std::wstring path(const std::string& name) const { return utf8_to_wide(dir.file(name)); }

  TempDir dir;
  const std::string bytes = sample_bytes(300000);
};

TEST(GzFile, ReadExactGivesSameBytesFromPlainAndGzipFile) {
  const SampleFiles files;
  for (const char* name : {"plain.raw", "packed.raw.gz"}) {
    for (unsigned buffer_size : {0u, 4096u}) {
      SCOPED_TRACE(std::string(name) + " buffer " + std::to_string(buffer_size));
      GzFile file;
      ASSERT_TRUE(file.open(files.path(name), buffer_size));
      std::string head(1000, '\0');
      std::string rest(files.bytes.size() - head.size(), '\0');
      ASSERT_TRUE(file.read_exact(head.data(), head.size()));
      EXPECT_EQ(file.tell(), 1000);
      ASSERT_TRUE(file.read_exact(rest.data(), rest.size()));
      EXPECT_EQ(file.tell(), static_cast<int64_t>(files.bytes.size()));
      EXPECT_TRUE(head + rest == files.bytes) << "bytes differ";
      char more = 0;
      EXPECT_FALSE(file.read_exact(&more, 1));
    }
  }
}

TEST(GzFile, ShortFileFailsReadExact) {
  const SampleFiles files;
  for (const char* name : {"plain.raw", "packed.raw.gz"}) {
    SCOPED_TRACE(name);
    GzFile file;
    ASSERT_TRUE(file.open(files.path(name)));
    std::string all(files.bytes.size() + 1, '\0');
    EXPECT_FALSE(file.read_exact(all.data(), all.size()));
  }
}

TEST(GzFile, TruncatedGzipStreamFailsReadExact) {
  const SampleFiles files;
  std::ifstream in(files.dir.file("packed.raw.gz"), std::ios::binary);
  const std::string compressed{std::istreambuf_iterator<char>(in), {}};
  ASSERT_GT(compressed.size(), 1000u);
  QVX::TestSupport::write_file(files.dir.file("cut.raw.gz"),
                               compressed.substr(0, compressed.size() / 2));
  GzFile file;
  ASSERT_TRUE(file.open(files.path("cut.raw.gz")));
  std::string all(files.bytes.size(), '\0');
  EXPECT_FALSE(file.read_exact(all.data(), all.size()));
}

TEST(GzFile, SeekPositionsStreamForwardAndBack) {
  const SampleFiles files;
  for (const char* name : {"plain.raw", "packed.raw.gz"}) {
    SCOPED_TRACE(name);
    GzFile file;
    ASSERT_TRUE(file.open(files.path(name)));
    std::string piece(100, '\0');
    for (int64_t offset : {200000, 12345, 0, 299900}) {
      ASSERT_TRUE(file.seek(offset));
      EXPECT_EQ(file.tell(), offset);
      ASSERT_TRUE(file.read_exact(piece.data(), piece.size()));
      EXPECT_EQ(piece, files.bytes.substr(static_cast<size_t>(offset), piece.size()));
      EXPECT_EQ(file.tell(), offset + 100);
    }
    EXPECT_FALSE(file.seek(-1));
  }
}

TEST(GzFile, ReadAfterSeekBeyondEndFails) {
  const SampleFiles files;
  for (const char* name : {"plain.raw", "packed.raw.gz"}) {
    SCOPED_TRACE(name);
    GzFile file;
    ASSERT_TRUE(file.open(files.path(name)));
    char byte = 0;
    // zlib may accept the position, but no byte can be read there.
    EXPECT_FALSE(file.seek(static_cast<int64_t>(files.bytes.size()) + 10) &&
                 file.read_exact(&byte, 1));
  }
}

TEST(GzFile, OpenOfMissingFileFails) {
  const SampleFiles files;
  GzFile file;
  EXPECT_FALSE(file.open(files.path("missing.raw")));
  EXPECT_FALSE(file.is_open());
}

TEST(GzFile, ClosedFileRefusesEveryOperation) {
  const SampleFiles files;
  GzFile file;
  ASSERT_TRUE(file.open(files.path("plain.raw")));
  file.close();
  EXPECT_FALSE(file.is_open());
  char byte = 0;
  EXPECT_FALSE(file.seek(0));
  EXPECT_EQ(file.tell(), -1);
  EXPECT_FALSE(file.read_exact(&byte, 1));
}

TEST(GzFile, OpenOfIllFormedPathThrows) {
  GzFile file;
  EXPECT_THROW(file.open(std::wstring{L'a', static_cast<wchar_t>(0xDC00)}), std::range_error);
}

}  // namespace
}  // namespace QVX::Base::File
