#include "base/file/tag_reader.h"

#include <cstring>

#include "base/ascii.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::Base::File {
namespace {

bool is_trimmed(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

bool ends_field(char c) { return c == '\0' || c == '\n' || c == '\r'; }

}  // namespace

void trim_whitespace(char* text) {
  size_t end = std::strlen(text);
  while (end > 0 && is_trimmed(text[end - 1])) --end;
  text[end] = '\0';
  size_t start = 0;
  while (is_trimmed(text[start])) ++start;
  if (start > 0) std::memmove(text, text + start, end - start + 1);
}

bool TagReader::split_tag() {
  tag_name[0] = '\0';
  // The line is always terminated within its buffer; the last byte stays a stop.
  const char* const limit = line + kLineSize - 1;
  const char* open = line;
  while (open < limit && *open != '<') {
    if (ends_field(*open)) return false;
    ++open;
  }
  if (open == limit) return false;

  const char* name = open + 1;
  const char* close = name;
  while (close < limit && *close != '>') {
    if (ends_field(*close)) return false;
    ++close;
  }
  if (close == limit) return false;
  const size_t name_length = static_cast<size_t>(close - name);
  if (name_length >= kTagNameSize) return false;

  const char* value = close + 1;
  const char* value_end = value;
  while (value_end < limit && !ends_field(*value_end) && *value_end != '<') ++value_end;

  std::memcpy(tag_name, name, name_length);
  tag_name[name_length] = '\0';
  const size_t value_length = static_cast<size_t>(value_end - value);
  std::memmove(line, value, value_length);
  line[value_length] = '\0';
  for (char* c = tag_name; *c != '\0'; ++c) *c = ascii_lower(*c);
  return true;
}

TagFileReader::~TagFileReader() {
  if (stream_ != nullptr) gzclose(stream_);
}

bool TagFileReader::open(const char* path) {
  if (stream_ != nullptr) {
    gzclose(stream_);
    stream_ = nullptr;
  }
  stream_ = Platform::gz_open(utf8_to_wide(path), "rb");
  if (stream_ == nullptr) {
    log_printf("..Failed to open [%s]\n", path);
    return false;
  }
  return true;
}

bool TagFileReader::read_line() {
  if (stream_ == nullptr || gzeof(stream_)) return false;
  char piece[kLineSize];
  // A damaged gzip stream makes gzgets return null without reaching the end; it ends the
  // text all the same.
  if (gzgets(stream_, piece, static_cast<int>(kLineSize)) == nullptr || piece[0] == '\0') {
    return false;
  }
  piece[kLineSize - 1] = '\0';
  std::memcpy(line, piece, std::strlen(piece) + 1);
  trim_whitespace(line);
  return true;
}

TagBufReader::~TagBufReader() {
  buffer = nullptr;
  cursor = nullptr;
  length = 0;
}

bool TagBufReader::read_line() {
  if (buffer == nullptr || cursor >= buffer + length) return false;
  const size_t remaining = static_cast<size_t>(buffer + length - cursor);
  const size_t window = remaining < kLineSize - 1 ? remaining : kLineSize - 1;
  const void* feed = std::memchr(cursor, '\n', window);
  const size_t take =
      feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - cursor) + 1 : window;
  std::memcpy(line, cursor, take);
  line[take] = '\0';
  cursor += take;
  trim_whitespace(line);
  return true;
}

}  // namespace QVX::Base::File
