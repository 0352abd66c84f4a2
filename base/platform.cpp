#include "base/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/utf.h"

namespace QVX::Base::Platform {

LocalTime local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

int last_error() { return errno; }

std::string error_text(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string("Unknown error");
}

std::string native_path(const std::wstring& path) { return wide_to_utf8(path); }

bool remove_file(const std::wstring& path) {
  const std::string native = native_path(path);
  struct stat info {};
  return ::lstat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::unlink(native.c_str()) == 0;
}

bool rename_file(const std::wstring& from, const std::wstring& to) {
  return std::rename(native_path(from).c_str(), native_path(to).c_str()) == 0;
}

bool directory_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool make_directory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

std::FILE* open_for_append(const std::string& path) { return std::fopen(path.c_str(), "a"); }

gzFile gz_open(const std::wstring& path, const char* mode) {
  return gzopen(native_path(path).c_str(), mode);
}

int duplicate_descriptor(int fd) { return ::dup(fd); }

void close_descriptor(int fd) { ::close(fd); }

std::ptrdiff_t read_descriptor(int fd, void* buffer, size_t size) {
  ssize_t got = 0;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

std::ptrdiff_t write_descriptor(int fd, const void* buffer, size_t size) {
  ssize_t put = 0;
  do {
    put = ::write(fd, buffer, size);
  } while (put < 0 && errno == EINTR);
  return put;
}

int64_t seek_descriptor(int fd, int64_t offset, int whence) {
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

int64_t descriptor_size(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool read_at(int fd, void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (size_t done = 0; done < size;) {
    const ssize_t got = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool write_at(int fd, const void* buffer, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (size_t done = 0; done < size;) {
    const ssize_t put = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

ReadOnlyFile::~ReadOnlyFile() { close(); }

bool ReadOnlyFile::open(const std::wstring& path) {
  close();
  const std::string native = native_path(path);
  fd_ = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

std::ptrdiff_t ReadOnlyFile::read(void* buffer, size_t size) {
  ssize_t got = 0;
  do {
    got = ::read(fd_, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool ReadOnlyFile::read_exact(void* buffer, size_t size) {
  const std::ptrdiff_t got = read(buffer, size);
  if (got < 0) return false;
  if (static_cast<size_t>(got) != size) {
    errno = ENODATA;
    return false;
  }
  return true;
}

void ReadOnlyFile::close() {
  if (fd_ >= 0) {
    const int saved = errno;  // closing must not hide the error a caller is about to log
    ::close(fd_);
    errno = saved;
    fd_ = -1;
  }
}

}  // namespace QVX::Base::Platform
