// The process-wide diagnostic log. Each call writes one entry
// "YYYY-MM-DD HH:MM:SS: <text>" to standard output, or to standard error or the log file
// when one of them is chosen (base/log_file.h, internal), and flushes it. Callers end their
// formats with "\n".
// Entries from different threads never interleave.
#pragma once

#include <cstdint>

#include "base/compiler.h"

namespace QVX::Base {

// A 64-bit count or offset as the argument of a "%llu" conversion: uint64_t is unsigned
// long on some platforms and unsigned long long on others.
inline unsigned long long as_ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// printf-style entry.
void log_printf(const char* format, ...) QVX_PRINTF_FORMAT(1, 2);

// Wide printf-style entry (wide strings as %ls); written to the narrow stream as UTF-8.
void log_wprintf(const wchar_t* format, ...);

// The level an entry of log_wprintf_level must reach to be written. Nothing changes it, and
// every caller in the library passes level 1 (the image loaders' progress lines), so in
// practice no entry is filtered: the level marks those lines as detail for a threshold
// that is not offered to callers.
inline constexpr int32_t kLogLevelThreshold = 0;

// As log_wprintf, but only when `level` is at least kLogLevelThreshold; otherwise nothing
// happens at all, not even counting.
void log_wprintf_level(int32_t level, const wchar_t* format, ...);

// Logs "<prefix><system text> (0x<code>)\n" for the calling thread's last system error
// (errno). `prefix` may be null.
void log_last_error(const char* prefix);

// The calling thread's first failure since clear_last_failure(): the text of its first
// entry that starts with "FAILED" (or is an "ERROR: " report), without time stamp and
// final newline, cut at 1 KiB; and the system error noted for it (0 for none). Thread-
// local: no lock, no allocation. The text stays valid until the thread's next clear or
// failure.
void clear_last_failure();
const char* last_failure_text();  // "" when there was none
int last_failure_code();
// Notes the system error behind the failure the calling thread is about to log.
// log_last_error notes its own.
void note_error_code(int code);
// Records a failure for the calling thread without logging it, unless one is recorded.
void note_failure(const char* text, int code);

// Entries written since the current log file was opened, or since start-up while standard
// output is the stream. The entry after the 100000th (the rotation threshold) starts again
// from 1, and a change of stream resets the count to 0.
uint32_t log_line_count();

}  // namespace QVX::Base
