#include "base/file/tag_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {

using namespace QVX::TestSupport;

TEST(TagReader, FileGzipFileAndBufferGiveTrimmedLinesAndLongLinesInPieces) {
  constexpr size_t kLongest = TagReader::kLineSize - 1;
  const std::string text = "   <Files>\r\n\t<NbSlices>120</NbSlices> \n\n" +
                           std::string(10000, 'a') + "\n<Location>\r\n</Files>";
  const std::string piece(kLongest, 'a'), rest(10000 - kLongest, 'a');
  const std::vector<std::string> expected = {
      "<Files>", "<NbSlices>120</NbSlices>", "", piece, rest, "<Location>", "</Files>"};
  TempDir dir;
  const std::string plain_path = dir.file("Schädel_μCT_頭部_🦴.hdr");
  write_file(plain_path, text);
  write_gzip_file(dir.file("packed.hdr.gz"), text);
  TagFileReader plain, packed;
  ASSERT_TRUE(packed.open(dir.file("packed.hdr.gz").c_str()));
  // Opening another file switches to it.
  ASSERT_TRUE(plain.open(dir.file("packed.hdr.gz").c_str()) && plain.read_line() &&
              plain.open(plain_path.c_str()));
  // An exactly sized copy, so that the sanitizer build sees any read past the text.
  const std::vector<char> copy(text.begin(), text.end());
  TagBufReader buffered(copy.data(), copy.size());
  const std::pair<const char*, TagReader*> readers[] = {
      {"plain file", &plain}, {"gzip file", &packed}, {"buffer", &buffered}};
  for (const auto& [name, reader] : readers) {
    std::vector<std::string> lines;
    while (reader->read_line()) lines.emplace_back(reader->line);
    EXPECT_TRUE(lines == expected) << name << " gave " << lines.size() << " lines";
    EXPECT_FALSE(reader->read_line()) << name;
    EXPECT_STREQ(reader->line, "</Files>") << name << " lost the last line at the end";
  }
}

// A buffer reads no further than its length, nothing without a buffer; a missing file
// fails and logs its path, an ill-formed path throws.
TEST(TagReader, BufferEndsAtItsLengthAndMissingFilesFail) {
  TagBufReader reader("<a>1\n<b>2\n", 7), unset;
  ASSERT_TRUE(reader.read_line() && reader.read_line());
  EXPECT_STREQ(reader.line, "<b");
  EXPECT_FALSE(reader.read_line() || unset.read_line());
  TempDir dir;
  const std::string path = dir.file("missing.hdr");
  TagFileReader file;
  CaptureStdout capture;
  EXPECT_FALSE(file.open(path.c_str()) || file.read_line());
  EXPECT_EQ(strip_timestamps(capture.text()), "..Failed to open [" + path + "]\n");
  EXPECT_THROW(file.open("/tmp/\xC0\xAF.hdr"), std::range_error);
}

TEST(TagReader, SplitTagSeparatesNameAndValueOrRefusesAndLeavesLineUnchanged) {
  const std::string longest(TagReader::kTagNameSize - 1, 'N');
  struct Case {
    std::string line, tag_name, value;
  };
  const Case cases[] = {{"<min>1.5 2.5 3.5</min>", "min", "1.5 2.5 3.5"},
                        {"<NbSlices>120</NbSlices>", "nbslices", "120"},
                        {"<Location>", "location", ""},
                        {"</Files>", "/files", ""},
                        {"text before <a>1\r2", "a", "1"},
                        {"<ÜBER>x", "Über", "x"},
                        {"<" + longest + ">v", std::string(longest.size(), 'n'), "v"},
                        // Refused: no '<', no '>', '<' after a carriage return, tag names too long.
                        {"no tag here", "", ""},
                        {"<min 1.5 2.5", "", ""},
                        {"a\r<b>1", "", ""},
                        {"<" + longest + "N>v", "", ""},
                        {"<" + std::string(5000, 'N') + ">v", "", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    TagBufReader reader;
    std::memcpy(reader.line, "<stale>x", 9);
    ASSERT_TRUE(reader.split_tag());
    std::memcpy(reader.line, c.line.c_str(), c.line.size() + 1);
    EXPECT_EQ(reader.split_tag(), !c.tag_name.empty());
    EXPECT_EQ(reader.tag_name, c.tag_name);
    EXPECT_EQ(reader.line, c.tag_name.empty() ? c.line : c.value);
  }
}

}  // namespace QVX::Base::File
