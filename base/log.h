// The process-wide diagnostic log. Each call writes one entry
// "YYYY-MM-DD HH:MM:SS: <text>" to standard output, or to standard error or the log file
// when one of them is chosen (base/log_file.h, internal), and flushes it. Callers end their
// formats with "\n".
// Entries from different threads never interleave.
#pragma once

#include <cstdint>

#include "base/compiler.h"

namespace QVX::Base {

// printf-style entry.
void log_printf(const char* format, ...) QVX_PRINTF_FORMAT(1, 2);

// Wide printf-style entry (wide strings as %ls); written to the narrow stream as UTF-8.
void log_wprintf(const wchar_t* format, ...);

// As log_wprintf, but only when `level` reaches the threshold (0); otherwise nothing
// happens at all, not even counting.
void log_wprintf_level(int32_t level, const wchar_t* format, ...);

// Logs "<prefix><system text> (0x<code>)\n" for the calling thread's last system error
// (errno). `prefix` may be null.
void log_last_error(const char* prefix);

// Entries written since the current log file was opened, or since start-up while standard
// output is the stream. The entry after the 100000th (the rotation threshold) starts again
// from 1, and a change of stream resets the count to 0.
uint32_t log_line_count();

}  // namespace QVX::Base
