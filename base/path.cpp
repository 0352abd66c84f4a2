#include "base/path.h"

namespace QVX::Base {

std::wstring directory_prefix(const std::wstring& path) {
  const size_t last = path.rfind(kPathSeparator);
  if (last == std::wstring::npos) return std::wstring(L".") + kPathSeparator;
  // "/vol.hdr" lives in the root directory, not in the current one.
  if (last == 0) return std::wstring(1, kPathSeparator);
  return path.substr(0, last + 1);
}

}  // namespace QVX::Base
