// Line readers for XML-like tagged text: each line is either a bare tag such as
// "<Location>", compared whole by the caller, or one value between an opening tag and an
// optional closing tag, taken apart by split_tag():
//   "<NbSlices>120</NbSlices>"  ->  tag_name "nbslices", line "120"
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace QVX::Base::File {

// Removes leading and trailing tabs, line feeds, carriage returns and spaces in place.
void trim_whitespace(char* text);

class TagReader {
 public:
  static constexpr size_t kLineSize = 8192;     // longest line: 8191 characters
  static constexpr size_t kTagNameSize = 4096;  // longest tag name: 4095 characters

  TagReader() = default;
  virtual ~TagReader() = default;
  TagReader(const TagReader&) = delete;
  TagReader& operator=(const TagReader&) = delete;

  // Makes the next line current, trimmed. False at the end of the data; `line` then
  // keeps the last line read. A longer line is delivered in pieces of 8191 characters.
  virtual bool read_line() = 0;

  // Splits the current line into the lowercased `tag_name` and the value, which replaces
  // `line` (text after the value, such as the closing tag, is dropped). False for a line
  // that is not a tag, or whose tag name does not fit: `tag_name` is then empty and
  // `line` unchanged.
  bool split_tag();

  // Reads lines up to the line `closing` and hands every other line to `body`. False when
  // the data ends first.
  template <typename Body>
  bool read_until(const char* closing, Body body) {
    for (;;) {
      if (!read_line()) return false;
      if (std::strcmp(line, closing) == 0) return true;
      body();
    }
  }

  char line[kLineSize] = {};
  char tag_name[kTagNameSize] = {};
};

// Reads a file through zlib, so the file may be plain or gzip-compressed.
class TagFileReader final : public TagReader {
 public:
  TagFileReader() = default;
  ~TagFileReader() override;

  // Opens a UTF-8 path (closing any file open before). On failure logs
  // "..Failed to open [<path>]". Throws "bad conversion" for ill-formed UTF-8.
  bool open(const char* path);
  bool read_line() override;

 private:
  gzFile stream_ = nullptr;
};

// Reads a text held in memory, which stays the caller's.
class TagBufReader final : public TagReader {
 public:
  TagBufReader() = default;
  TagBufReader(const char* text, uint64_t size) : buffer(text), cursor(text), length(size) {}
  ~TagBufReader() override;

  // A last line without a line feed is delivered too.
  bool read_line() override;

  const char* buffer = nullptr;
  const char* cursor = nullptr;
  uint64_t length = 0;
};

}  // namespace QVX::Base::File
