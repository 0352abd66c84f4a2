#include "base/file/tag_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

using QVX::TestSupport::CaptureStdout;
using QVX::TestSupport::TempDir;

constexpr size_t kLongest = TagReader::kLineSize - 1;

// Every line the reader delivers, then checks that the end is final and keeps the last line.
std::vector<std::string> read_all(TagReader& reader) {
  std::vector<std::string> lines;
  while (reader.read_line()) lines.emplace_back(reader.line);
  const std::string last = reader.line;
  EXPECT_FALSE(reader.read_line());
  EXPECT_EQ(reader.line, last);
  return lines;
}

// Line lengths, for failure messages that stay readable with long lines.
std::vector<size_t> lengths(const std::vector<std::string>& lines) {
  std::vector<size_t> out;
  for (const std::string& line : lines) out.push_back(line.size());
  return out;
}

void set_line(TagReader& reader, const std::string& text) {
  ASSERT_LT(text.size(), TagReader::kLineSize);
  std::memcpy(reader.line, text.c_str(), text.size() + 1);
}

const std::string kHeader = "   <Files>\r\n\t<NbSlices>120</NbSlices> \n\n<Location>\r\n</Files>";
const std::vector<std::string> kHeaderLines = {"<Files>", "<NbSlices>120</NbSlices>", "",
                                               "<Location>", "</Files>"};

TEST(TagFileReader, ReadsTrimmedLinesOfPlainAndGzipFilesAlike) {
  TempDir dir;
  QVX::TestSupport::write_file(dir.file("plain.hdr"), kHeader);
  QVX::TestSupport::write_gzip_file(dir.file("packed.hdr.gz"), kHeader + "\n");
  for (const char* name : {"plain.hdr", "packed.hdr.gz"}) {
    SCOPED_TRACE(name);
    TagFileReader reader;
    ASSERT_TRUE(reader.open(dir.file(name).c_str()));
    EXPECT_EQ(read_all(reader), kHeaderLines);
    EXPECT_STREQ(reader.line, "</Files>");
  }
}

TEST(TagFileReader, LongLineIsDeliveredInPieces) {
  TempDir dir;
  const std::string path = dir.file("long.hdr");
  QVX::TestSupport::write_file(path, std::string(10000, 'a') + "\n<x>1\n");
  TagFileReader reader;
  ASSERT_TRUE(reader.open(path.c_str()));
  const std::vector<std::string> lines = read_all(reader);
  EXPECT_EQ(lengths(lines), (std::vector<size_t>{kLongest, 10000 - kLongest, 4}));
  EXPECT_TRUE(lines == (std::vector<std::string>{std::string(kLongest, 'a'),
                                                 std::string(10000 - kLongest, 'a'), "<x>1"}));
}

TEST(TagFileReader, OpenOfMissingFileFailsAndLogsPath) {
  TempDir dir;
  const std::string path = dir.file("missing.hdr");
  TagFileReader reader;
  CaptureStdout capture;
  EXPECT_FALSE(reader.open(path.c_str()));
  EXPECT_FALSE(reader.read_line());
  EXPECT_EQ(QVX::TestSupport::strip_timestamps(capture.text()),
            "..Failed to open [" + path + "]\n");
}

TEST(TagFileReader, OpenOfIllFormedPathThrows) {
  TagFileReader reader;
  EXPECT_THROW(reader.open("/tmp/\xC0\xAF.hdr"), std::range_error);
}

TEST(TagFileReader, OpenSwitchesToAnotherFileWithNonAsciiName) {
  TempDir dir;
  const std::string first = dir.file("first.hdr");
  const std::string second = dir.file("Schädel_μCT_頭部_🦴.hdr");
  QVX::TestSupport::write_file(first, "<a>1\n<a>2\n");
  QVX::TestSupport::write_file(second, "<b>3\n");
  TagFileReader reader;
  ASSERT_TRUE(reader.open(first.c_str()));
  ASSERT_TRUE(reader.read_line());
  ASSERT_TRUE(reader.open(second.c_str()));
  EXPECT_EQ(read_all(reader), std::vector<std::string>{"<b>3"});
}

TEST(TagBufReader, LastLineWithoutLineFeedIsDelivered) {
  TagBufReader reader(kHeader.data(), kHeader.size());
  EXPECT_EQ(read_all(reader), kHeaderLines);
}

TEST(TagBufReader, ReadsNoFurtherThanLength) {
  const char text[] = "<a>1\n<b>2\n<c>3\n";
  TagBufReader reader(text, 7);
  EXPECT_EQ(read_all(reader), (std::vector<std::string>{"<a>1", "<b"}));
}

TEST(TagBufReader, EmptyOrMissingBufferGivesNoLine) {
  TagBufReader empty("", 0);
  EXPECT_FALSE(empty.read_line());
  TagBufReader unset;
  EXPECT_FALSE(unset.read_line());
}

TEST(TagBufReader, LongLineComesInPiecesWithoutOverflow) {
  // Exactly sized heap copies, so that the sanitizer build sees any read past the text.
  const std::string text = std::string(10000, 'x') + "\n" + std::string(kLongest, 'y');
  const auto copy = std::make_unique<char[]>(text.size());
  std::memcpy(copy.get(), text.data(), text.size());
  TagBufReader reader(copy.get(), text.size());
  const std::vector<std::string> lines = read_all(reader);
  EXPECT_EQ(lengths(lines), (std::vector<size_t>{kLongest, 10000 - kLongest, kLongest}));
  EXPECT_TRUE(lines == (std::vector<std::string>{std::string(kLongest, 'x'),
                                                 std::string(10000 - kLongest, 'x'),
                                                 std::string(kLongest, 'y')}));
}

TEST(TagReader, SplitTagSeparatesNameAndValue) {
  struct Case {
    std::string line;
    std::string tag_name;
    std::string value;
  };
  const Case cases[] = {
      {"<min>1.5 2.5 3.5</min>", "min", "1.5 2.5 3.5"},
      {"<NbSlices>120</NbSlices>", "nbslices", "120"},
      {"<Location>", "location", ""},
      {"</Files>", "/files", ""},
      {"<Voxel_Size>0.05</voxel_size> trailing", "voxel_size", "0.05"},
      {"text before <a>v", "a", "v"},
      {"<a>1\r2", "a", "1"},
      {"<a>1<b>2", "a", "1"},
      {"<ÜBER>x", "Über", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TagBufReader reader;
    set_line(reader, c.line);
    ASSERT_TRUE(reader.split_tag());
    EXPECT_EQ(reader.tag_name, c.tag_name);
    EXPECT_EQ(reader.line, c.value);
  }
}

TEST(TagReader, SplitTagRefusesLinesThatAreNoTags) {
  const std::string cases[] = {
      "",
      "no tag here",
      "<min 1.5 2.5",
      "a\r<b>1",
      "<a\n>1",
      "<" + std::string(4096, 'N') + ">v",
      "<" + std::string(5000, 'N') + ">v",
  };
  for (const std::string& line : cases) {
    SCOPED_TRACE(line.substr(0, 40));
    TagBufReader reader;
    set_line(reader, "<stale>x");
    ASSERT_TRUE(reader.split_tag());
    set_line(reader, line);
    EXPECT_FALSE(reader.split_tag());
    EXPECT_STREQ(reader.tag_name, "");
    EXPECT_TRUE(reader.line == line) << "line changed";
  }
}

TEST(TagReader, SplitTagAcceptsLongestTagName) {
  TagBufReader reader;
  set_line(reader, "<" + std::string(TagReader::kTagNameSize - 1, 'N') + ">v");
  ASSERT_TRUE(reader.split_tag());
  EXPECT_TRUE(reader.tag_name == std::string(TagReader::kTagNameSize - 1, 'n'));
  EXPECT_STREQ(reader.line, "v");
}

TEST(TagReader, SplitTagStaysInsideUnterminatedLine) {
  TagBufReader reader;
  // The whole buffer is text, without any terminator.
  std::memset(reader.line, 'x', TagReader::kLineSize);
  std::memcpy(reader.line, "<a>", 3);
  ASSERT_TRUE(reader.split_tag());
  EXPECT_STREQ(reader.tag_name, "a");
  EXPECT_EQ(std::strlen(reader.line), kLongest - 3);
  EXPECT_TRUE(reader.line == std::string(kLongest - 3, 'x'));

  std::memset(reader.line, 'x', TagReader::kLineSize);
  EXPECT_FALSE(reader.split_tag());
  reader.line[0] = '<';
  EXPECT_FALSE(reader.split_tag());
  EXPECT_STREQ(reader.tag_name, "");
  EXPECT_TRUE(std::string(reader.line, TagReader::kLineSize) ==
              "<" + std::string(TagReader::kLineSize - 1, 'x'))
      << "line changed";
}

}  // namespace
}  // namespace QVX::Base::File
