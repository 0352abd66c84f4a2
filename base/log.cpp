#include "base/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_file.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::Base {
namespace {

// Serialises whole entries (prefix, message, flush) and every change of the stream, so
// threads never interleave and a rotation's markers stay next to each other. Everything
// below marked "guarded" is read and written only with it held.
std::mutex g_log_mutex;
// Guarded. Null after a failed open or a close, which means standard output.
std::FILE* g_stream = stdout;
// Guarded. The configured log file; empty while a standard stream is the stream.
std::string g_file_path;
// Guarded. Rotations since the configured file was set.
uint32_t g_file_index = 0;
// Guarded.
uint32_t g_rotation_threshold = kLogRotationEntries;
// Guarded. When set, every entry goes to it instead of a stream.
LogCallback g_callback = nullptr;
void* g_callback_user = nullptr;
// Written with the lock held; atomic so it may be read without it.
std::atomic<uint32_t> g_line_count{0};
// Upper bound for one formatted wide entry; a longer one is logged as a notice instead.
constexpr size_t kMaxWideEntry = size_t{1} << 20;

std::FILE* current_stream() { return g_stream != nullptr ? g_stream : stdout; }

// The standard streams belong to the process: the log writes to them but never closes them.
bool is_standard_stream(const std::FILE* stream) { return stream == stdout || stream == stderr; }

std::string format_date(const Platform::LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

std::string format_time(const Platform::LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
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

std::string format_narrow(const char* format, va_list args) QVX_PRINTF_FORMAT(1, 0);
std::string format_narrow(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return "(entry could not be formatted)\n";
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.pop_back();
  return text;
}

// The calling thread's first failure since the last clear (see log.h). Trivial, so that
// touching it runs no constructor; it is only ever read and written by its own thread.
struct LastFailure {
  char text[1024];
  int code;     // the system error noted with the failure
  int pending;  // a system error noted before its failure's entry
  bool set;
};
thread_local LastFailure t_failure;

bool is_failure(std::string_view text) {
  return text.starts_with("FAILED") || text.starts_with("ERROR: ");
}

void keep_failure(std::string_view text, int code) {
  if (t_failure.set) return;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  size_t n = std::min(text.size(), sizeof t_failure.text - 1);
  // A cut never splits a UTF-8 sequence.
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  text.copy(t_failure.text, n);
  t_failure.text[n] = '\0';
  t_failure.code = code;
  t_failure.set = true;
}

// The functions below expect the lock to be held.

void write_locked(const std::string& text) {
  const Platform::LocalTime t = Platform::local_time();
  if (g_callback != nullptr) {
    const std::string entry = format_date(t) + " " + format_time(t) + ": " + text;
    g_callback(g_callback_user, entry.c_str());
  } else {
    std::FILE* stream = current_stream();
    std::fprintf(stream, "%s %s: %s", format_date(t).c_str(), format_time(t).c_str(), text.c_str());
    std::fflush(stream);
  }
  g_line_count.store(g_line_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// An entry that skips the rotation check, for the rotation's own markers.
void printf_locked(const char* format, ...) QVX_PRINTF_FORMAT(1, 2);
void printf_locked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_narrow(format, args);
  va_end(args);
  write_locked(text);
}

void close_file_locked() {
  if (g_stream == nullptr || is_standard_stream(g_stream)) return;
  const Platform::LocalTime t = Platform::local_time();
  std::fprintf(g_stream, "=== Log file closed: %s @ %s ===\n", format_date(t).c_str(),
               format_time(t).c_str());
  std::fclose(g_stream);
  g_stream = nullptr;
}

// A failed open leaves the stream null: entries go to standard output and, as the stream
// is not a file, nothing rotates.
void open_file_locked(const std::string& path) {
  close_file_locked();
  // If the directory cannot be made, the open fails and reports it that way.
  const std::optional<std::string> directory = path_directory_part(path);
  if (directory) ensure_directory(*directory);
  g_stream = Platform::open_for_append(path);
  g_line_count.store(0, std::memory_order_relaxed);
}

void rotate_if_full_locked() {
  if (g_line_count.load(std::memory_order_relaxed) < g_rotation_threshold) return;
  if (g_stream == nullptr) return;  // after a failed open the count just goes on
  g_line_count.store(0, std::memory_order_relaxed);
  // A standard stream has no name to number, so it never rotates.
  if (is_standard_stream(g_stream) || g_file_path.empty()) return;
  ++g_file_index;
  const std::string name = log_file_name_for_index(g_file_path, g_file_index);
  const std::string file_part = path_file_part(name, FilePart::Name).value_or("");
  const unsigned long number = static_cast<unsigned long>(g_file_index) + 1;
  printf_locked("=== Log continues in logfile %lu (%s) ===\n", number, file_part.c_str());
  open_file_locked(name);
  printf_locked("=== Beginning of logfile %lu (%s) ===\n", number, file_part.c_str());
  g_line_count.store(0, std::memory_order_relaxed);
}

void use_standard_stream(std::FILE* stream, LogCallback callback = nullptr, void* user = nullptr) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  close_file_locked();
  g_stream = stream;
  g_callback = callback;
  g_callback_user = user;
  g_file_path.clear();
  g_file_index = 0;
  g_line_count.store(0, std::memory_order_relaxed);
}

void write_entry(const std::string& text) {
  if (is_failure(text)) keep_failure(text, t_failure.pending);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  rotate_if_full_locked();
  write_locked(text);
}

}  // namespace

void log_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_narrow(format, args);
  va_end(args);
  write_entry(text);
}

void log_wprintf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_wide(format, args);
  va_end(args);
  write_entry(text);
}

void log_wprintf_level(int32_t level, const wchar_t* format, ...) {
  if (level < kLogLevelThreshold) return;
  va_list args;
  va_start(args, format);
  const std::string text = format_wide(format, args);
  va_end(args);
  write_entry(text);
}

void log_last_error(const char* prefix) {
  const int code = Platform::last_error();
  note_error_code(code);
  const std::string text = Platform::error_text(code);
  if (prefix != nullptr) {
    log_printf("%s%s (0x%X)\n", prefix, text.c_str(), static_cast<unsigned>(code));
  } else {
    log_printf("%s (0x%X)\n", text.c_str(), static_cast<unsigned>(code));
  }
}

void clear_last_failure() {
  t_failure.set = false;
  t_failure.pending = 0;
}

void note_error_code(int code) {
  if (!t_failure.set) t_failure.pending = code;
}

void note_failure(const char* text, int code) {
  if (text != nullptr) keep_failure(text, code);
}

const char* last_failure_text() { return t_failure.set ? t_failure.text : ""; }

int last_failure_code() { return t_failure.set ? t_failure.code : 0; }

uint32_t log_line_count() { return g_line_count.load(std::memory_order_relaxed); }

bool log_set_file(const std::string& path) {
  if (path.empty()) {
    log_use_standard_output();
    return false;
  }
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_callback = nullptr;
  g_file_path = path;
  g_file_index = 0;
  open_file_locked(path);
  if (g_stream != nullptr) return true;
  // The entries go to standard output now; the caller still learns why.
  const int code = Platform::last_error();
  const std::string text = "FAILED to open log file '" + path + "': " + Platform::error_text(code);
  note_failure(text.c_str(), code);
  return false;
}

void log_use_standard_output() { use_standard_stream(stdout); }

void log_use_standard_error() { use_standard_stream(stderr); }

void log_use_callback(LogCallback callback, void* user) {
  use_standard_stream(stdout, callback, user);
}

void log_set_rotation_threshold(uint32_t entries) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_rotation_threshold = entries > 0 ? entries : 1;
}

}  // namespace QVX::Base
