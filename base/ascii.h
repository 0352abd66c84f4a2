// Letter case of ASCII text, independent of the process locale (a calling program may
// run under a locale in which 'I' does not lower to 'i').
#pragma once

namespace QVX::Base {

inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace QVX::Base
