// Error and bug reports in the log: "ERROR: <source>: <line>: <message>" and
// "BUG: <source>: <line>". Each file names itself with a logical source name:
//   constexpr const char* kSource = "math/matrix";
//   QVX_REPORT_ERROR("FAILED to allocate %llu bytes", bytes);
#pragma once

#include "base/compiler.h"

namespace QVX::Base {

void report_error(const char* source, int line, const char* format, ...) QVX_PRINTF_FORMAT(3, 4);
void report_bug(const char* source, int line);

}  // namespace QVX::Base

#define QVX_REPORT_ERROR(...) ::QVX::Base::report_error(kSource, __LINE__, __VA_ARGS__)
#define QVX_REPORT_BUG() ::QVX::Base::report_bug(kSource, __LINE__)
