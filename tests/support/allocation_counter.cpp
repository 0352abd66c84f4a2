#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QVX_OZK_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QVX_OZK_SANITIZER_HOOKS 1
#endif
#endif

#ifdef QVX_OZK_SANITIZER_HOOKS
// The sanitizer runtimes' allocator interface (g++ installs no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*on_malloc)(const volatile void*, size_t),
                                              void (*on_free)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#else
#include <malloc.h>
#endif

namespace {

std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_peak{0};

void add(int64_t bytes) {
  const int64_t now = g_held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void subtract(int64_t bytes) { g_held.fetch_sub(bytes, std::memory_order_relaxed); }

}  // namespace

#ifdef QVX_OZK_SANITIZER_HOOKS

namespace {

void on_malloc(const volatile void* /*pointer*/, size_t size) { add(static_cast<int64_t>(size)); }

void on_free(const volatile void* pointer) {
  if (pointer != nullptr) subtract(static_cast<int64_t>(__sanitizer_get_allocated_size(pointer)));
}

[[maybe_unused]] const int g_installed =
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

}  // namespace

#else

// glibc's own allocator, under the names it exports for replacements to call.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

int64_t usable(void* pointer) {
  return pointer == nullptr ? 0 : static_cast<int64_t>(malloc_usable_size(pointer));
}

void* counted(void* pointer) {
  add(usable(pointer));
  return pointer;
}

}  // namespace

extern "C" {

void* malloc(size_t size) { return counted(__libc_malloc(size)); }

void* calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }

void free(void* pointer) {
  subtract(usable(pointer));
  __libc_free(pointer);
}

void* realloc(void* pointer, size_t size) {
  const int64_t before = usable(pointer);
  void* moved = __libc_realloc(pointer, size);
  if (moved != nullptr) {
    subtract(before);
    add(usable(moved));
  } else if (size == 0) {
    subtract(before);  // realloc(p, 0) frees
  }
  return moved;
}

void* memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
  void* pointer = memalign(alignment, size);
  if (pointer == nullptr && size != 0) return 12;  // ENOMEM
  *out = pointer;
  return 0;
}

}  // extern "C"

#endif

namespace QVX::TestSupport {

AllocationPeak::AllocationPeak() : start_(g_held.load()) { g_peak.store(start_); }

uint64_t AllocationPeak::bytes() const {
  const int64_t peak = g_peak.load();
  return peak > start_ ? static_cast<uint64_t>(peak - start_) : 0;
}

}  // namespace QVX::TestSupport
