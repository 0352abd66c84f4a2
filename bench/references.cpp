#include "bench/references.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace QVX::Bench {

size_t default_reference_bytes() {
  long llc = -1;
#ifdef _SC_LEVEL3_CACHE_SIZE
  llc = sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
  const size_t twice = llc > 0 ? 2 * static_cast<size_t>(llc) : 0;
  return std::clamp<size_t>(twice, size_t{256} << 20, size_t{1} << 30);
}

MemoryReference::MemoryReference(size_t bytes) : buffer_(bytes) {
  // Distinct bytes on every page, so no page stays shared with the zero page.
  for (size_t i = 0; i < buffer_.size(); i += 64) buffer_[i] = static_cast<uint8_t>(i >> 6);
}

void MemoryReference::copy(void* out, size_t size) {
  size = std::min(size, buffer_.size());
  if (next_ + size > buffer_.size()) next_ = 0;
  std::memcpy(out, buffer_.data() + next_, size);
  // The next copy starts on a fresh page.
  next_ += (size + 4095) & ~size_t{4095};
}

bool warm_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> chunk(size_t{1} << 20);
  ssize_t n = 0;
  while ((n = ::read(fd, chunk.data(), chunk.size())) > 0) {
  }
  ::close(fd);
  return n == 0;
}

bool pread_all(int fd, void* out, size_t size, uint64_t offset) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool pread_file(const std::string& path, void* out, size_t size, uint64_t offset) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = pread_all(fd, out, size, offset);
  ::close(fd);
  return ok;
}

GzipStream::~GzipStream() { close(); }

void GzipStream::close() {
  if (file_ != nullptr) gzclose(file_);
  file_ = nullptr;
}

bool GzipStream::open(const std::string& path, uint64_t start) {
  close();
  file_ = gzopen(path.c_str(), "rb");
  if (file_ == nullptr) return false;
  // The buffer the library's packed reader gives zlib.
  gzbuffer(file_, 32768);
  position_ = 0;
  // zlib's own skip: it inflates into its internal buffer, which stays in the cache.
  return start == 0 ||
         gzseek64(file_, static_cast<z_off64_t>(start), SEEK_SET) == static_cast<z_off64_t>(start);
}

bool GzipStream::read(void* out, size_t size) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    const auto n = static_cast<unsigned>(std::min<size_t>(size, INT_MAX));
    if (file_ == nullptr || gzread(file_, bytes, n) != static_cast<int>(n)) return false;
    bytes += n;
    size -= n;
    position_ += n;
  }
  return true;
}

}  // namespace QVX::Bench
