// The platform layer: every operating-system service the library uses goes through here,
// so no other file includes a system header.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace QVX::Base::Platform {

struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
};

LocalTime local_time();

// The calling thread's last system error code (errno here) and its text.
int last_error();
std::string error_text(int code);

// The path as the file system wants it (UTF-8 on POSIX). Throws "bad conversion" for an
// ill-formed wide string.
std::string native_path(const std::wstring& path);

// Deletes a regular file; false when it could not be removed. Anything else (a device
// such as /dev/null given as an output path, a directory) is never removed.
bool remove_file(const std::wstring& path);

// What a save writes to. `file` is the file the path leads to through its symlinks (the
// path itself when it is no link), which need not exist yet; `in_place` says that it
// exists and is no regular file (a device, a FIFO, a socket), so it is opened and written
// as it is, never replaced or removed. False (ELOOP) when the links go round.
struct SaveTarget {
  std::wstring file;
  bool in_place = false;
};
bool save_target(const std::wstring& path, SaveTarget* target);

// Renames a file, replacing `to`; false on failure.
bool rename_file(const std::wstring& from, const std::wstring& to);
// Renames a complete new file over `to` as rename_file does: `to` names the old file or
// the new one at every moment. Where `to` is a regular file, the two are swapped and the
// old one's name is then removed: ext4 writes a file out at once when it is renamed over
// another (tens of milliseconds for a large image), but not when two files trade names. The
// old data is freed on a thread of its own, before the next replace_file goes on, and at
// the latest when the process ends.
bool replace_file(const std::wstring& from, const std::wstring& to);

// Narrow (UTF-8) paths, as the log files use them.
// True when `path` names an existing directory.
bool directory_exists(const std::string& path);
// Creates one directory level; false when it could not be made (also when it exists).
bool make_directory(const std::string& path);
// Opens a file for appending text; null on failure, with the error in last_error().
std::FILE* open_for_append(const std::string& path);

// zlib's gzopen for a wide path; zlib reads gzip-compressed and plain files alike.
gzFile gz_open(const std::wstring& path, const char* mode);

// Descriptors of the C runtime, as the image formats receive them from their callers.
// The calls repeat when a signal interrupts them; failures answer -1 or false.
int duplicate_descriptor(int fd);
void close_descriptor(int fd);
std::ptrdiff_t read_descriptor(int fd, void* buffer, size_t size);
std::ptrdiff_t write_descriptor(int fd, const void* buffer, size_t size);
int64_t seek_descriptor(int fd, int64_t offset, int whence);
int64_t descriptor_size(int fd);
// All `size` bytes at `offset`, without moving the descriptor's position.
bool read_at(int fd, void* buffer, size_t size, uint64_t offset);
bool write_at(int fd, const void* buffer, size_t size, uint64_t offset);

// Sets the calling thread's last system error code, so that a caller can keep an error
// across work that might change it.
void set_last_error(int code);

// Read-only memory mappings of whole files. Each answers -1, null or false on failure
// with the system error in last_error().
// Opens a file for reading only; the descriptor is not inherited by child processes.
int open_read_only(const std::wstring& path);
// The size of the open file when it can be mapped; an empty file fails with EINVAL.
int64_t mappable_size(int fd);
// A shared read-only view of the first `size` bytes of the file.
const void* map_read_only(int fd, uint64_t size);
bool unmap(const void* base, uint64_t size);
// Closes a descriptor once (a close that a signal interrupts is not repeated).
bool close_file(int fd);

// Zeroed memory for a large buffer filled piece by piece: no page is touched before its
// first use, and the system is asked to back it with huge pages, so filling it takes far
// fewer faults. Null when it cannot be had; release with release_large(memory, bytes).
void* allocate_large(size_t bytes);
void release_large(void* memory, size_t bytes);

// Copies `size` bytes with a guard: a memory fault while reading `source` or writing
// `destination` (SIGBUS when a mapped file shrank, SIGSEGV) ends the copy and answers
// false with the signal number in `*fault_code` (may be null); `destination` may then
// hold part of the data. Safe on several threads at once. The first call installs a
// process-wide SIGBUS/SIGSEGV handler; faults outside a guarded copy go on to the handler
// that was installed before it.
bool guarded_copy(void* destination, const void* source, size_t size, int* fault_code);

// Runs `work(context)` under the same guard: a memory fault inside it ends it at once and
// answers false with the signal number in `*fault_code`. `work` must not own objects with
// destructors (a fault leaves its frames without unwinding them) and must not start
// another guarded call on the same thread. One guard around a whole loop of copies costs
// far less than one guard per copy.
bool guarded_call(void (*work)(void*), void* context, int* fault_code);

// Scheduling priority of the calling thread, one step below or above normal (a nice value
// 2 above or below the process's). Raising it needs a privilege that ordinary processes
// lack; false with the system error in last_error() when the change is refused.
enum class ThreadPriority { Lowest, Highest };
bool set_current_thread_priority(ThreadPriority priority);

// A read-only file descriptor that closes itself.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ReadOnlyFile(ReadOnlyFile&& other) noexcept { *this = std::move(other); }
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;

  // False with the system error left in last_error().
  bool open(const std::wstring& path);
  // One read call (repeated only when a signal interrupts it); -1 on failure.
  std::ptrdiff_t read(void* buffer, size_t size);
  // One read call that must deliver all `size` bytes; a short read fails with the
  // system error "no data available".
  bool read_exact(void* buffer, size_t size);
  // Up to `size` bytes at `offset`, fewer only at the end of the file; -1 on failure. The
  // descriptor's position does not move, so reads at different offsets need no seek.
  // A file that cannot seek (a pipe) is read forward instead: a read ahead skips to its
  // offset, its first 4 KiB stay readable (a format can be sniffed, then read from the
  // start), and a read of other bytes already passed fails with ESPIPE.
  std::ptrdiff_t read_at(void* buffer, size_t size, uint64_t offset);
  void close();
  bool is_open() const { return fd_ >= 0; }

 private:
  static constexpr size_t kKeptHead = 4096;

  std::ptrdiff_t read_forward(unsigned char* bytes, size_t size, uint64_t offset);
  // One read() of at most `size` bytes past `consumed_`, copied into the head while
  // it lasts; 0 at the end, -1 on failure.
  std::ptrdiff_t read_next(unsigned char* bytes, size_t size);

  int fd_ = -1;
  bool forward_only_ = false;
  uint64_t consumed_ = 0;  // bytes read from a file that cannot seek
  std::unique_ptr<unsigned char[]> head_;
};

}  // namespace QVX::Base::Platform
