#include "base/file/mapped_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/compiler.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::Base::File {
namespace {

// What a refused range logs as its code: no signal was raised, and EFAULT ("bad address")
// names the cause.
constexpr unsigned kRefusedRangeCode = EFAULT;

// Formats the prefix, then logs it with the system error of the failed call; the
// formatting must not replace that error.
void log_failure(const char* format, ...) QVX_PRINTF_FORMAT(1, 2);
void log_failure(const char* format, ...) {
  const int code = Platform::last_error();
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string prefix(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(prefix.data(), prefix.size() + 1, format, again);
  va_end(again);
  Platform::set_last_error(code);
  log_last_error(prefix.c_str());
}

}  // namespace

MappedFile::~MappedFile() { map_close(); }

bool MappedFile::map_open(const char* utf8_path) {
  const std::wstring path = utf8_to_wide(utf8_path);
  map_close();
  fd_ = Platform::open_read_only(path);
  if (fd_ < 0) {
    log_failure("FAILED to open file '%s': ", utf8_path);
    map_close();
    return false;
  }
  const int64_t size = Platform::mappable_size(fd_);
  if (size < 0) {
    log_failure("FAILED to create file map for '%s': ", utf8_path);
    map_close();
    return false;
  }
  base_ = static_cast<const uint8_t*>(Platform::map_read_only(fd_, static_cast<uint64_t>(size)));
  if (base_ == nullptr) {
    log_failure("FAILED to create file map view for '%s': ", utf8_path);
    map_close();
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  position_ = 0;
  return true;
}

bool MappedFile::map_close() {
  bool result = true;
  if (base_ != nullptr) {
    if (!Platform::unmap(base_, size_)) {
      log_failure("FAILED to unmap file view: ");
      result = false;
    }
    base_ = nullptr;
  }
  size_ = 0;
  position_ = 0;
  if (fd_ < 0) return result;
  if (!Platform::close_file(fd_)) {
    log_failure("FAILED to close file handle: ");
    result = false;
  }
  fd_ = -1;
  return result;
}

bool MappedFile::map_read(void* destination, uint64_t count) {
  return map_read_at(destination, position_, count);
}

bool MappedFile::map_read_at(void* destination, uint64_t offset, uint64_t count) {
  if (count != 0) {
    int code = static_cast<int>(kRefusedRangeCode);
    const bool in_range = offset <= size_ && count <= size_ - offset;
    if (!in_range ||
        !Platform::guarded_copy(destination, base_ + offset, static_cast<size_t>(count), &code)) {
      log_printf("FAILED to read from file map at offset %llu (%X)\n",
                 static_cast<unsigned long long>(offset), static_cast<unsigned>(code));
      return false;
    }
  }
  position_ = offset + count;
  return true;
}

}  // namespace QVX::Base::File
