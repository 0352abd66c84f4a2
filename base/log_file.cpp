#include "base/log_file.h"

#include "base/path.h"
#include "base/platform.h"

namespace QVX::Base {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The last separator at or after `first`, or npos.
size_t last_separator(const std::string& path, size_t first) {
  for (size_t i = path.size(); i > first; --i) {
    if (is_separator(path[i - 1])) return i - 1;
  }
  return std::string::npos;
}

struct NameParts {
  std::string base, extension;
};

// A dot-free name has no extension; treating the whole name as the extension would
// repeat it in every rotated name.
NameParts split_extension(std::string name) {
  const size_t n = name.size();
  if (n >= 3 && name[n - 3] == '.' && name[n - 2] == 'g' &&
      (name[n - 1] == 'z' || name[n - 1] == 'Z'))
    name.resize(n - 3);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {name, ""};
  return {name.substr(0, dot), name.substr(dot)};
}

}  // namespace

std::optional<std::string> path_file_part(const std::string& path, FilePart part) {
  if (path.size() < 2 || is_separator(path.back())) return std::nullopt;
  const size_t separator = last_separator(path, 1);
  const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
  if (part == FilePart::Name) return name;
  const NameParts parts = split_extension(name);
  if (parts.extension.empty()) return parts.base;
  return part == FilePart::Stem ? parts.base : parts.extension;
}

std::optional<std::string> path_directory_part(const std::string& path) {
  if (path.size() < 2) return std::nullopt;
  const size_t separator = last_separator(path, 1);
  if (separator == std::string::npos) return std::nullopt;
  return path.substr(0, separator);
}

std::string log_file_name_for_index(const std::string& path, uint32_t index) {
  // Unlike path_directory_part, a separator in the first position counts here: "/sdk.log"
  // lives in the root directory, and a name without any separator stays relative rather
  // than being joined onto an empty directory (which would mean the root).
  const size_t separator = last_separator(path, 0);
  std::string name;
  if (separator != std::string::npos) {
    name = path.substr(0, separator) + static_cast<char>(kPathSeparator);
  }
  const NameParts parts =
      split_extension(separator == std::string::npos ? path : path.substr(separator + 1));
  name += parts.base;
  if (index > 0) {
    name += '-';
    name += std::to_string(static_cast<unsigned long>(index) + 1);
  }
  return name + parts.extension;
}

bool ensure_directory(const std::string& dir) {
  if (dir.empty()) return false;
  if (Platform::directory_exists(dir)) return true;
  // Without a parent the directory is relative to the current one or sits in the root,
  // both of which exist.
  const std::optional<std::string> parent = path_directory_part(dir);
  if (!parent || ensure_directory(*parent)) Platform::make_directory(dir);
  return Platform::directory_exists(dir);
}

}  // namespace QVX::Base
