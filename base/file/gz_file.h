// A zlib file stream that closes itself. zlib reads gzip-compressed and plain files alike,
// so every volume file is read through this class.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>

namespace QVX::Base::File {

class GzFile {
 public:
  GzFile() = default;
  ~GzFile() { close(); }
  GzFile(const GzFile&) = delete;
  GzFile& operator=(const GzFile&) = delete;

  // Opens `path` for reading; `buffer_size` 0 keeps zlib's default. Throws
  // "bad conversion" for an ill-formed path.
  bool open(const std::wstring& path, unsigned buffer_size = 0);
  void close();
  bool is_open() const { return stream_ != nullptr; }
  gzFile get() const { return stream_; }

  // Positions the decompressed stream; false when zlib cannot get there.
  bool seek(int64_t offset);
  // Position in the decompressed stream, -1 on error.
  int64_t tell() const;
  // Reads exactly `size` bytes (in pieces, as zlib counts in int); false on a short read
  // or a damaged stream.
  bool read_exact(void* out, uint64_t size);

 private:
  gzFile stream_ = nullptr;
};

}  // namespace QVX::Base::File
