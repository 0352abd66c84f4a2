// The machine references that the suite measures beside the library in the same run: a
// memcpy out of memory larger than the caches, a pread of the same file bytes, and zlib's
// gzread of the same compressed stream.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace QVX::Bench {

// Allocates on page boundaries. Where our reads write and where every reference writes
// then lie alike in the caches: the kernel copies a pread's bytes 6 to 10 % slower into a
// buffer that starts a cache line than into one 16 or 32 bytes past it (measured here),
// and malloc hands out either, depending on what was freed before.
template <class T>
struct PageAllocator {
  using value_type = T;
  static constexpr size_t kPage = 4096;

  PageAllocator() = default;
  template <class U>
  explicit PageAllocator(const PageAllocator<U>& /*other*/) {}

  T* allocate(size_t n) {
    const size_t bytes = (n * sizeof(T) + kPage - 1) / kPage * kPage;
    void* p = std::aligned_alloc(kPage, bytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t /*n*/) { std::free(p); }
  friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

// Twice the last-level cache as the system reports it, within 256 MiB to 1 GiB: copies
// that walk through it come from memory, as the slices of a large volume do.
size_t default_reference_bytes();

// memcpy from a buffer of the given size, each copy from the next position (wrapping), so
// no source byte is in a cache when it is copied again.
class MemoryReference {
 public:
  explicit MemoryReference(size_t bytes);
  void copy(void* out, size_t size);

 private:
  std::vector<uint8_t> buffer_;
  size_t next_ = 0;
};

// Reads the whole file once, so its pages are in the page cache. False when unreadable.
bool warm_file(const std::string& path);

// pread of a whole range, continuing after short reads. False on error or end of file.
bool pread_all(int fd, void* out, size_t size, uint64_t offset);

// Opens, reads the range, closes.
bool pread_file(const std::string& path, void* out, size_t size, uint64_t offset);

// zlib's own reader over a gzip file: after each open, gzseek64 to `start` (zlib inflates
// up to it), then gzread in calls of the caller's size.
class GzipStream {
 public:
  GzipStream() = default;
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  bool open(const std::string& path, uint64_t start);
  void close();
  bool read(void* out, size_t size);               // false on error or a short read
  uint64_t position() const { return position_; }  // bytes read since `start`

 private:
  gzFile file_ = nullptr;
  uint64_t position_ = 0;
};

}  // namespace QVX::Bench
