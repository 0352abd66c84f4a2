#include "base/file/random_access.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace QVX::Base::File {

bool RandomAccessFile::open(const std::wstring& path) {
  close();
  if (!plain_.open(path)) return false;
  uint8_t magic[2] = {};
  const std::ptrdiff_t got = plain_.read_at(magic, sizeof magic, 0);
  if (got < 0) {
    close();
    return false;
  }
  if (got == 2 && magic[0] == kGzipMagic[0] && magic[1] == kGzipMagic[1]) {
    gzip_ = std::make_unique<GzIndexedReader>();
    if (!gzip_->open(std::move(plain_))) {
      close();
      return false;
    }
  }
  return true;
}

void RandomAccessFile::close() {
  plain_.close();
  gzip_.reset();
}

int64_t RandomAccessFile::read_at(uint64_t offset, void* out, size_t size) {
  if (gzip_ != nullptr) return gzip_->read_at(offset, out, size);
  if (!plain_.is_open()) return -1;
  return plain_.read_at(out, size, offset);
}

bool RandomAccessFile::read_exact_at(uint64_t offset, void* out, size_t size) {
  const int64_t got = read_at(offset, out, size);
  return got >= 0 && static_cast<uint64_t>(got) == size;
}

LineReader::LineReader(RandomAccessFile& file) : file_(file), buffer_(new char[kBufferSize]) {}

bool LineReader::read_line(char* line, size_t limit) {
  if (limit == 0) return false;
  size_t length = 0;
  while (length + 1 < limit) {
    if (next_ == have_) {
      if (ended_) break;
      buffer_offset_ += have_;
      next_ = have_ = 0;
      const int64_t got = file_.read_at(buffer_offset_, buffer_.get(), kBufferSize);
      if (got < 0) {
        ended_ = true;
        return false;  // gzgets also drops a partial line on damaged data
      }
      have_ = static_cast<size_t>(got);
      if (have_ == 0) {
        ended_ = true;
        break;
      }
    }
    size_t n = std::min(have_ - next_, limit - 1 - length);
    const char* start = buffer_.get() + next_;
    const void* eol = std::memchr(start, '\n', n);
    if (eol != nullptr) n = static_cast<size_t>(static_cast<const char*>(eol) - start) + 1;
    std::memcpy(line + length, start, n);
    length += n;
    next_ += n;
    if (eol != nullptr) break;
  }
  line[length] = '\0';
  return length > 0;
}

}  // namespace QVX::Base::File
