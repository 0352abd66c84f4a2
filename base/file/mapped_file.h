// Read access to one whole file through a read-only memory mapping.
#pragma once

#include <cstdint>

namespace QVX::Base::File {

// Holds one open file and a shared read-only view of all of it; file offset k is at
// map_base() + k. Failures are logged (base/log.h) and answered with false.
//
// Every read is checked against the mapped size first and then copied under a fault
// guard (Platform::guarded_copy), so a range beyond the end, or a file that shrank while
// mapped, logs "FAILED to read from file map at offset <offset> (<code>)" and answers
// false instead of ending the process. The code is the signal number of a fault (7 for
// SIGBUS, 0xB for SIGSEGV) or EFAULT (0xE) for a range refused by the size check. After
// a failed read map_position() keeps its old value; the destination may hold part of the
// data.
//
// No lock is taken: map_read and map_read_at move the position, so one thread at a time
// may use them. Copies that address map_base() directly may run on several threads at
// once and should guard themselves with Platform::guarded_copy.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();  // map_close()
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens and maps the whole file at `utf8_path` (not null); the position becomes 0. A
  // file open before is closed first. False, with the object empty, when the file cannot
  // be opened ("FAILED to open file '<path>': "), is empty or cannot be sized ("FAILED to
  // create file map for '<path>': ") or cannot be mapped ("FAILED to create file map view
  // for '<path>': "), each followed by the system text and code. A path that is not valid
  // UTF-8 throws std::range_error("bad conversion") before anything is opened.
  bool map_open(const char* utf8_path);

  // Unmaps and closes; true when every release step succeeded ("FAILED to unmap file
  // view: " or "FAILED to close file handle: " is logged otherwise). The object is empty
  // afterwards in any case; on an empty object nothing happens and the answer is true.
  // There is no separate mapping handle on POSIX, so no "file map handle" step can fail.
  bool map_close();

  // Copies `count` bytes from the position and advances it by `count`.
  bool map_read(void* destination, uint64_t count);
  // Copies `count` bytes from file offset `offset`; the position becomes offset + count.
  // A read of 0 bytes touches no memory and always succeeds (for map_read_at at any
  // offset).
  bool map_read_at(void* destination, uint64_t offset, uint64_t count);

  // Null, 0 and 0 while empty.
  const uint8_t* map_base() const { return base_; }
  uint64_t map_size() const { return size_; }
  uint64_t map_position() const { return position_; }

 private:
  int fd_ = -1;
  const uint8_t* base_ = nullptr;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

}  // namespace QVX::Base::File
