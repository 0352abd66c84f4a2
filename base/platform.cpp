#include "base/platform.h"

#include <fcntl.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

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

bool save_target(const std::wstring& path, SaveTarget* target) {
  // The kernel's own bound on links followed in one lookup.
  constexpr int kMaxLinks = 40;
  std::string file = native_path(path);
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info {};
    // A path that cannot be examined is treated as new: its open then fails and says why.
    const bool exists = ::lstat(file.c_str(), &info) == 0;
    if (!exists || !S_ISLNK(info.st_mode)) {
      target->in_place = exists && !S_ISREG(info.st_mode);
      target->file = utf8_to_wide(file);
      return true;
    }
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(file.c_str(), link.data(), link.size());
    if (n <= 0) return false;
    link.resize(static_cast<size_t>(n));
    // A relative link names a file beside the link.
    const size_t slash = file.rfind('/');
    if (link.front() == '/' || slash == std::string::npos) {
      file = link;
    } else {
      file.resize(slash + 1);
      file += link;
    }
  }
  errno = ELOOP;
  return false;
}

bool rename_file(const std::wstring& from, const std::wstring& to) {
  return std::rename(native_path(from).c_str(), native_path(to).c_str()) == 0;
}

namespace {

// Closes the last descriptors of replaced files on a thread of their own. Closing the last
// reference to an unlinked file is what frees its pages and blocks: for a large image that
// took a few milliseconds of each save over an existing file (longer when the old file was
// still being written back), time the caller need not wait for. One close runs at a time
// and the next one waits for it, so a loop of saves leaves at most one old file behind; the
// kernel closes a descriptor still held when the process ends.
class DeferredClose {
 public:
  void close(int fd) {
    wait();
    auto pending = std::make_shared<Pending>();
    pending->owner = ::getpid();
    try {
      std::thread([pending, fd] {
        // Only spare time: on a core of its own this runs beside the caller, on a busy
        // one it waits for the caller to block rather than slowing its next steps.
        const sched_param idle{};
        ::sched_setscheduler(0, SCHED_IDLE, &idle);
        ::close(fd);
        const std::lock_guard<std::mutex> lock(pending->mutex);
        pending->done = true;
        pending->finished.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      ::close(fd);  // no thread to be had: the save waits after all
      return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_ = std::move(pending);
  }

 private:
  // One close in flight. The thread shares it, so nothing it touches ends with the process's
  // static objects.
  struct Pending {
    std::mutex mutex;  // guards done
    std::condition_variable finished;
    bool done = false;
    pid_t owner = 0;  // a child made by fork() has no such thread to wait for
  };

  void wait() {
    std::shared_ptr<Pending> pending;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      pending = std::move(pending_);
    }
    if (!pending || pending->owner != ::getpid()) return;
    std::unique_lock<std::mutex> lock(pending->mutex);
    pending->finished.wait(lock, [&] { return pending->done; });
  }

  std::mutex mutex_;  // guards pending_
  std::shared_ptr<Pending> pending_;
};

DeferredClose& deferred_close() {
  // Never destroyed: a close may still be running when the static objects go.
  static DeferredClose* closer = new DeferredClose;
  return *closer;
}

}  // namespace

bool replace_file(const std::wstring& from, const std::wstring& to) {
  const std::string source = native_path(from), target = native_path(to);
  // Held across the swap, the old file's descriptor keeps its data alive after its name
  // is gone, so the unlink below only removes the name.
  const int old = ::open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (old >= 0 && ::fstat(old, &info) == 0 && S_ISREG(info.st_mode) &&
      ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    ::unlink(source.c_str());
    deferred_close().close(old);
    return true;
  }
  if (old >= 0) ::close(old);
  // No old file, another kind of file, or a file system that cannot swap names.
  return std::rename(source.c_str(), target.c_str()) == 0;
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

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    forward_only_ = std::exchange(other.forward_only_, false);
    consumed_ = std::exchange(other.consumed_, 0);
    head_ = std::move(other.head_);
  }
  return *this;
}

std::ptrdiff_t ReadOnlyFile::read_at(void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (forward_only_) return read_forward(bytes, size, offset);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ESPIPE && done == 0) {
      forward_only_ = true;
      head_ = std::make_unique<unsigned char[]>(kKeptHead);
      return read_forward(bytes, size, offset);
    }
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(done);
}

std::ptrdiff_t ReadOnlyFile::read_next(unsigned char* bytes, size_t size) {
  const std::ptrdiff_t got = read(bytes, size);
  if (got <= 0) return got;
  if (consumed_ < kKeptHead) {
    const uint64_t kept = std::min<uint64_t>(static_cast<uint64_t>(got), kKeptHead - consumed_);
    std::memcpy(head_.get() + consumed_, bytes, static_cast<size_t>(kept));
  }
  consumed_ += static_cast<uint64_t>(got);
  return got;
}

std::ptrdiff_t ReadOnlyFile::read_forward(unsigned char* bytes, size_t size, uint64_t offset) {
  size_t done = 0;
  if (offset < consumed_) {
    // Bytes already passed: only the kept head can give them.
    const uint64_t kept = std::min<uint64_t>(consumed_, kKeptHead);
    const uint64_t end = offset + size;
    if (offset >= kept || (end > kept && consumed_ > kept)) {
      errno = ESPIPE;
      return -1;
    }
    done = static_cast<size_t>(std::min(end, kept) - offset);
    std::memcpy(bytes, head_.get() + offset, done);
  }
  unsigned char skipped[4096];
  while (consumed_ < offset) {
    const uint64_t step = std::min<uint64_t>(sizeof skipped, offset - consumed_);
    const std::ptrdiff_t got = read_next(skipped, static_cast<size_t>(step));
    if (got < 0) return -1;
    if (got == 0) return 0;
  }
  while (done < size) {
    const std::ptrdiff_t got = read_next(bytes + done, size - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(done);
}

void ReadOnlyFile::close() {
  if (fd_ >= 0) {
    const int saved = errno;  // closing must not hide the error a caller is about to log
    ::close(fd_);
    errno = saved;
    fd_ = -1;
  }
  forward_only_ = false;
  consumed_ = 0;
  head_.reset();
}

void set_last_error(int code) { errno = code; }

int open_read_only(const std::wstring& path) {
  const std::string native = native_path(path);
  int fd = -1;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t mappable_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  // mmap refuses a length of 0 with EINVAL; answer the same without asking it.
  if (info.st_size <= 0) {
    errno = EINVAL;
    return -1;
  }
  if (static_cast<uint64_t>(info.st_size) > std::numeric_limits<size_t>::max()) {
    errno = EFBIG;
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

const void* map_read_only(int fd, uint64_t size) {
  void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

bool unmap(const void* base, uint64_t size) {
  return ::munmap(const_cast<void*>(base), static_cast<size_t>(size)) == 0;
}

namespace {
constexpr size_t kHugePageBytes = size_t{2} << 20;
}

void* allocate_large(size_t bytes) {
  if (bytes == 0 || bytes > std::numeric_limits<size_t>::max() - kHugePageBytes) return nullptr;
  // Mapped one huge page longer and trimmed to a huge-page boundary: only whole aligned
  // huge pages can back it.
  const size_t mapped = bytes + kHugePageBytes;
  void* view = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (view == MAP_FAILED) return nullptr;
  char* const start = static_cast<char*>(view);
  const size_t lead =
      (kHugePageBytes - reinterpret_cast<uintptr_t>(view) % kHugePageBytes) % kHugePageBytes;
  char* const aligned = start + lead;
  if (lead != 0) ::munmap(start, lead);
  const size_t tail = mapped - lead - bytes;
  if (tail != 0) ::munmap(aligned + bytes, tail);
#ifdef MADV_HUGEPAGE
  // Advice only: without huge pages the memory works the same.
  ::madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
  return aligned;
}

void release_large(void* memory, size_t bytes) {
  if (memory != nullptr) ::munmap(memory, bytes);
}

// Linux releases the descriptor even when close fails, so repeating it could close a
// descriptor another thread has just been given.
bool close_file(int fd) { return ::close(fd) == 0; }

namespace {

// Plain data only: the handler reads them, and they must not need construction on a
// thread's first use inside the handler. Each thread's guarded_copy writes them before
// the copy starts.
thread_local sigjmp_buf t_guard_jump;
thread_local volatile sig_atomic_t t_guard_active = 0;

struct sigaction g_previous_bus {};
struct sigaction g_previous_segv {};
std::once_flag g_install_once;

void pass_on(int signal_number, siginfo_t* info, void* context) {
  const struct sigaction& previous = signal_number == SIGBUS ? g_previous_bus : g_previous_segv;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
      previous.sa_handler != nullptr) {
    previous.sa_handler(signal_number);
    return;
  }
  // Default action (an ignored fault would only repeat forever): restore it and return,
  // so that the faulting instruction runs again and ends the process as it would have.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal_number, &fallback, nullptr);
  // A fault raised by kill() or raise() would not repeat on its own.
  if (info == nullptr || info->si_code <= 0) ::raise(signal_number);
}

void on_fault(int signal_number, siginfo_t* info, void* context) {
  // Only faults the kernel raised for this thread's guarded copy are taken; one sent by
  // another process (si_code <= 0) is not the copy's.
  if (t_guard_active != 0 && info != nullptr && info->si_code > 0) {
    t_guard_active = 0;
    siglongjmp(t_guard_jump, signal_number);
  }
  pass_on(signal_number, info, context);
}

void install_fault_handler() {
  struct sigaction action {};
  action.sa_sigaction = on_fault;
  // SA_NODEFER leaves the signal unblocked after the jump out, so sigsetjmp need not save
  // and restore the signal mask (a system call on every copy).
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &g_previous_bus);
  ::sigaction(SIGSEGV, &action, &g_previous_segv);
}

}  // namespace

namespace {

struct CopyWork {
  void* destination;
  const void* source;
  size_t size;
};

void run_copy(void* context) {
  const auto* work = static_cast<const CopyWork*>(context);
  std::memcpy(work->destination, work->source, work->size);
}

}  // namespace

bool guarded_copy(void* destination, const void* source, size_t size, int* fault_code) {
  if (size == 0) return true;
  CopyWork work{destination, source, size};
  return guarded_call(run_copy, &work, fault_code);
}

bool guarded_call(void (*work)(void*), void* context, int* fault_code) {
  std::call_once(g_install_once, install_fault_handler);
  // Nothing with a destructor is alive here: siglongjmp would skip it.
  const int caught = sigsetjmp(t_guard_jump, 0);
  if (caught != 0) {
    if (fault_code != nullptr) *fault_code = caught;
    return false;
  }
  t_guard_active = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  work(context);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_guard_active = 0;
  return true;
}

bool set_current_thread_priority(ThreadPriority priority) {
  // On Linux a nice value set for a thread id applies to that thread alone.
  const auto thread = static_cast<id_t>(::gettid());
  errno = 0;
  const int process_nice = ::getpriority(PRIO_PROCESS, 0);
  if (process_nice == -1 && errno != 0) return false;
  const int step = priority == ThreadPriority::Lowest ? 2 : -2;
  const int wanted = std::clamp(process_nice + step, -20, 19);
  return ::setpriority(PRIO_PROCESS, thread, wanted) == 0;
}

}  // namespace QVX::Base::Platform
