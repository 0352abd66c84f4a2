// The one place that knows the platform's directory separator.
#pragma once

#include <string>

namespace QVX::Base {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// The directory part of `path` followed by the separator, ready for a file name to be
// appended: "/data/vol.hdr" gives "/data/", "vol.hdr" gives "./" and "/vol.hdr" the
// root "/".
std::wstring directory_prefix(const std::wstring& path);

// True when the path ends in ".gz" (either letter case), the mark of a gzip-compressed
// file for the image formats and the writers.
bool has_gz_suffix(const std::wstring& path);

}  // namespace QVX::Base
