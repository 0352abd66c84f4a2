#include "base/file/gz_file.h"

#include "base/platform.h"

namespace QVX::Base::File {
namespace {

// zlib reads at most INT_MAX bytes per call; stay well below it.
constexpr uint64_t kMaxReadPiece = uint64_t{1} << 30;

}  // namespace

bool GzFile::open(const std::wstring& path, unsigned buffer_size) {
  close();
  stream_ = Platform::gz_open(path, "rb");
  if (stream_ == nullptr) return false;
  if (buffer_size != 0) gzbuffer(stream_, buffer_size);
  return true;
}

void GzFile::close() {
  if (stream_ != nullptr) {
    gzclose_r(stream_);
    stream_ = nullptr;
  }
}

bool GzFile::seek(int64_t offset) {
  return offset >= 0 && gzseek64(stream_, offset, SEEK_SET) == offset;
}

int64_t GzFile::tell() const { return gztell64(stream_); }

bool GzFile::read_exact(void* out, uint64_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const unsigned piece = static_cast<unsigned>(size < kMaxReadPiece ? size : kMaxReadPiece);
    const int got = gzread(stream_, bytes, piece);
    if (got != static_cast<int>(piece)) return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

}  // namespace QVX::Base::File
