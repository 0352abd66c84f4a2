#include "base/file/stream_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/platform.h"

namespace QVX::Base::File {
namespace {

constexpr size_t kBlock = size_t{1} << 18;
constexpr unsigned char kGzipMagic[2] = {0x1F, 0x8B};

// The descriptor of one check; closed with it.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) Platform::close_file(fd);
  }
};

// Fills `buffer` after the `kept` bytes it holds; false on a read error.
bool refill(int fd, unsigned char* buffer, size_t kept, size_t* have, Progress& progress) {
  const std::ptrdiff_t got = Platform::read_descriptor(fd, buffer + kept, kBlock - kept);
  if (got < 0) return false;
  *have = kept + static_cast<size_t>(got);
  progress.add(static_cast<uint64_t>(got));
  return true;
}

}  // namespace

void Progress::add(uint64_t done) {
  done_ += done;
  if (function_ == nullptr || total_ == 0) return;
  const auto percent = static_cast<int64_t>(std::min<uint64_t>(done_, total_) * 99 / total_);
  if (percent <= shown_) return;
  shown_ = percent;
  function_(user_, static_cast<uint32_t>(percent));
}

void Progress::finish() {
  if (function_ != nullptr && shown_ < 100) function_(user_, 100);
  shown_ = 100;
}

uint64_t stream_size(const std::wstring& path) {
  Descriptor file{Platform::open_read_only(path)};
  const int64_t size = file.fd >= 0 ? Platform::descriptor_size(file.fd) : -1;
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

bool check_stream(const std::wstring& path, Progress& progress, StreamCheck* check) {
  *check = StreamCheck();
  Descriptor file{Platform::open_read_only(path)};
  if (file.fd < 0) return false;
  const std::unique_ptr<unsigned char[]> in(new unsigned char[kBlock]);
  size_t have = 0;
  if (!refill(file.fd, in.get(), 0, &have, progress)) return false;
  if (have < 2 || std::memcmp(in.get(), kGzipMagic, 2) != 0) {
    const int64_t size = Platform::descriptor_size(file.fd);
    if (size < 0) return false;
    check->data_bytes = static_cast<uint64_t>(size);
    progress.add(check->data_bytes - std::min<uint64_t>(have, check->data_bytes));
    return true;
  }
  const std::unique_ptr<unsigned char[]> out(new unsigned char[kBlock]);
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
  z.next_in = in.get();
  z.avail_in = static_cast<uInt>(have);
  uint64_t member_start = 0;
  for (;;) {
    z.next_out = out.get();
    z.avail_out = static_cast<uInt>(kBlock);
    const int result = inflate(&z, Z_NO_FLUSH);
    check->data_bytes += kBlock - z.avail_out;
    if (result == Z_STREAM_END) {
      // Another member follows only where its magic does; two bytes may need a read.
      if (z.avail_in < 2) {
        std::memmove(in.get(), z.next_in, z.avail_in);
        if (!refill(file.fd, in.get(), z.avail_in, &have, progress)) break;
        z.next_in = in.get();
        z.avail_in = static_cast<uInt>(have);
      }
      if (z.avail_in < 2 || std::memcmp(z.next_in, kGzipMagic, 2) != 0) {
        inflateEnd(&z);
        return true;
      }
      member_start = check->data_bytes;
      inflateReset(&z);
      continue;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) {
      check->damaged_from = member_start;
      check->problem = z.msg != nullptr ? z.msg : "damaged data";
      inflateEnd(&z);
      return true;
    }
    if (z.avail_in == 0) {
      if (!refill(file.fd, in.get(), 0, &have, progress)) break;
      if (have == 0) {
        check->damaged_from = check->data_bytes;
        check->problem = "the stream ends early";
        inflateEnd(&z);
        return true;
      }
      z.next_in = in.get();
      z.avail_in = static_cast<uInt>(have);
    }
  }
  const int code = Platform::last_error();
  inflateEnd(&z);
  Platform::set_last_error(code);
  return false;
}

std::string slice_range(uint64_t first, uint64_t last) {
  if (first > last) return "no slice";
  if (first == last) return "slice " + std::to_string(first);
  return "slices " + std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace QVX::Base::File
