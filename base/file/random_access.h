// Files read at any offset, gzip-compressed or not, and the lines at their start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/file/gz_index.h"
#include "base/platform.h"

namespace QVX::Base::File {

// A file whose first two bytes are the gzip magic reads as its decompressed stream
// (GzIndexedReader); any other file reads byte for byte through positioned reads. This is
// the rule of zlib's gzread, so both read what it reads.
class RandomAccessFile {
 public:
  // False when the file cannot be opened (the system error is left in
  // Platform::last_error()). Throws "bad conversion" for an ill-formed path.
  bool open(const std::wstring& path);
  void close();
  bool is_open() const { return plain_.is_open() || gzip_ != nullptr; }
  bool is_gzip() const { return gzip_ != nullptr; }
  // The gzip stream's index (null for a plain file), for measurements and tests.
  const GzIndexedReader* gzip_index() const { return gzip_.get(); }

  // Up to `size` bytes from `offset`; fewer only at the end of the data; -1 when the file
  // cannot be read or its gzip data is damaged before offset + size.
  int64_t read_at(uint64_t offset, void* out, size_t size);
  // Exactly `size` bytes from `offset`, else false.
  bool read_exact_at(uint64_t offset, void* out, size_t size);

 private:
  Platform::ReadOnlyFile plain_;
  std::unique_ptr<GzIndexedReader> gzip_;
};

// Lines from the start of a RandomAccessFile, by the rules of zlib's gzgets.
class LineReader {
 public:
  explicit LineReader(RandomAccessFile& file);

  // Copies bytes through the next line feed, at most `limit` - 1 of them, into `line`
  // and ends them with a NUL. False when nothing could be read: at the end of the data,
  // or on damaged data.
  bool read_line(char* line, size_t limit);
  // Offset of the first byte not yet delivered.
  uint64_t position() const { return buffer_offset_ + next_; }

 private:
  static constexpr size_t kBufferSize = 32768;

  RandomAccessFile& file_;
  std::unique_ptr<char[]> buffer_;
  uint64_t buffer_offset_ = 0;  // file offset of buffer_[0]
  size_t have_ = 0;             // bytes in the buffer
  size_t next_ = 0;             // first byte not yet delivered
  bool ended_ = false;
};

}  // namespace QVX::Base::File
