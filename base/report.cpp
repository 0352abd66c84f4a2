#include "base/report.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/log.h"

namespace QVX::Base {

void report_error(const char* source, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> message(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(message.data(), message.size(), format, args);
  va_end(args);
  log_printf("%s: %s: %d: %s\n", "ERROR", source, line, message.data());
}

void report_bug(const char* source, int line) { log_printf("%s: %s: %d\n", "BUG", source, line); }

}  // namespace QVX::Base
