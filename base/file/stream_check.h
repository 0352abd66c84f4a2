// Checks of whole files for the integrity checks of the volumes: what a read of the whole
// file finds, and the words that name the slices a problem affects.
#pragma once

#include <cstdint>
#include <string>

namespace QVX::Base::File {

// Work done, reported to a caller as whole percents: each at most once, in order, and 100
// only from finish(). A null function reports nothing.
class Progress {
 public:
  using Function = void (*)(void* user, uint32_t percent);
  Progress(Function function, void* user, uint64_t total)
      : function_(function), user_(user), total_(total) {}
  void add(uint64_t done);
  void finish();

 private:
  Function function_;
  void* user_;
  uint64_t total_;
  uint64_t done_ = 0;
  int64_t shown_ = -1;
};

// What a whole read of a file found. A gzip file (its first two bytes the magic) is
// inflated member after member as zlib's gzread reads it, checking each member's CRC-32
// and length; bytes after a complete member that do not begin another are ignored. Any
// other file is its size.
struct StreamCheck {
  uint64_t data_bytes = 0;  // the (decompressed) bytes the file delivers before a problem
  // Where the data stops being trustworthy: the first byte of a damaged member, or where a
  // stream that ends early stops; UINT64_MAX when the stream is whole.
  uint64_t damaged_from = UINT64_MAX;
  std::string problem;  // why, when damaged: zlib's message or "the stream ends early"
};

// Reads the file at `path` once, reporting the bytes read to `progress` (which counts the
// file's size on disk). False, with the system error in Platform::last_error(), when the
// file cannot be opened or read. Throws "bad conversion" for an ill-formed path.
bool check_stream(const std::wstring& path, Progress& progress, StreamCheck* check);
// The file's size on disk for the same path; 0 when it cannot be examined.
uint64_t stream_size(const std::wstring& path);

// "slices A to B", "slice A" or "no slice" for the slices first..last (none when
// first > last).
std::string slice_range(uint64_t first, uint64_t last);

}  // namespace QVX::Base::File
