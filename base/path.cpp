#include "base/path.h"

namespace QVX::Base {

std::wstring directory_prefix(const std::wstring& path) {
  const size_t last = path.rfind(kPathSeparator);
  if (last == std::wstring::npos) return std::wstring(L".") + kPathSeparator;
  // "/vol.hdr" lives in the root directory, not in the current one.
  if (last == 0) return std::wstring(1, kPathSeparator);
  return path.substr(0, last + 1);
}

bool has_gz_suffix(const std::wstring& path) {
  const size_t n = path.size();
  return n >= 3 && path[n - 3] == L'.' && (path[n - 2] == L'g' || path[n - 2] == L'G') &&
         (path[n - 1] == L'z' || path[n - 1] == L'Z');
}

}  // namespace QVX::Base
