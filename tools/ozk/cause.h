// Why the library's last call on this thread failed, as the cause of a failure line.
#pragma once

#include <cstring>
#include <string>

#include "qvx_ozk.h"

namespace QVX::Ozk {

// From qvx_ozk_last_error: the system's text where a system error lay behind the failure,
// else what the entry gives after its quoted path (the tool's line names the path itself).
inline std::string library_cause() {
  if (const int code = qvx_ozk_last_error_errno(); code != 0) return std::strerror(code);
  const std::string text = qvx_ozk_last_error();
  if (const size_t quote = text.rfind("': "); quote != std::string::npos) {
    return text.substr(quote + 3);
  }
  return text.rfind("FAILED ", 0) == 0 ? text.substr(7) : text;
}

}  // namespace QVX::Ozk
