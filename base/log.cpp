#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/utf.h"

namespace QVX::Base {
namespace {

// Serialises whole entries (prefix, message, flush) so threads never interleave.
std::mutex g_log_mutex;
// Entries written; atomic so it may be read without the lock.
std::atomic<uint32_t> g_line_count{0};
// Entries below this level are dropped by log_wprintf_level.
constexpr int32_t kLevelThreshold = 0;
// Upper bound for one formatted wide entry; a longer one is logged as a notice instead.
constexpr size_t kMaxWideEntry = size_t{1} << 20;

FILE* log_stream() { return stdout; }

void write_prefix(FILE* stream) {
  const Platform::LocalTime t = Platform::local_time();
  std::fprintf(stream, "%04d-%02d-%02d %02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
               t.second);
}

// Formats a wide entry into UTF-8. vswprintf reports "too small" and "cannot encode"
// alike, so the buffer grows up to a bound and the text is cut there.
std::string format_wide(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0) return wide_to_utf8_lossy(std::wstring_view(buffer.data(), static_cast<size_t>(n)));
    if (buffer.size() >= kMaxWideEntry) break;
    buffer.assign(buffer.size() * 4, L'\0');
  }
  return "(entry could not be formatted)\n";
}

void write_entry(const char* text) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  FILE* stream = log_stream();
  write_prefix(stream);
  std::fputs(text, stream);
  std::fflush(stream);
  g_line_count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void log_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    FILE* stream = log_stream();
    write_prefix(stream);
    std::vfprintf(stream, format, args);
    std::fflush(stream);
    g_line_count.fetch_add(1, std::memory_order_relaxed);
  }
  va_end(args);
}

void log_wprintf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_wide(format, args);
  va_end(args);
  write_entry(text.c_str());
}

void log_wprintf_level(int32_t level, const wchar_t* format, ...) {
  if (level < kLevelThreshold) return;
  va_list args;
  va_start(args, format);
  const std::string text = format_wide(format, args);
  va_end(args);
  write_entry(text.c_str());
}

void log_last_error(const char* prefix) {
  const int code = Platform::last_error();
  const std::string text = Platform::error_text(code);
  if (prefix != nullptr) {
    log_printf("%s%s (0x%X)\n", prefix, text.c_str(), static_cast<unsigned>(code));
  } else {
    log_printf("%s (0x%X)\n", text.c_str(), static_cast<unsigned>(code));
  }
}

uint32_t log_line_count() { return g_line_count.load(std::memory_order_relaxed); }

}  // namespace QVX::Base
