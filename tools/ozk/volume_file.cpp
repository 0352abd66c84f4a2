#include "tools/ozk/volume_file.h"

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace QVX::Ozk {
namespace {

// The tool reads these files on its own, beside the library, so it keeps its own copy of
// the few marks it looks for.
constexpr std::string_view kPackedMagic = "# QVX Packed Volume";
constexpr std::string_view kPackedMagicV2 = "# QVX v2.0 Packed Volume";
constexpr std::string_view kPackedHeaderEnd = "</content>";
constexpr std::string_view kBitsKey = "BitsPerSample";
constexpr char kHRMagic[8] = {'Q', 'V', 'X', 'H', 'R', 'V', 'O', 'L'};
constexpr std::string_view kHeaderVolumeTag = "<Brevant Quill Labs Volume Header>";
constexpr std::string_view kNameOpen = "<Name>";
constexpr std::string_view kNameClose = "</Name>";
// Headers are small; a file that has not said what is sought by then never will.
constexpr size_t kMaxHeaderBytes = size_t{4} << 20;
constexpr int kMaxLine = 4096;

std::string_view trimmed(std::string_view s) {
  const char* space = " \t\r\n";
  const size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Lines of a plain or gzipped text file, up to kMaxHeaderBytes in all; zlib reads a plain
// file as it is.
class TextLines {
 public:
  explicit TextLines(const std::string& path) : file_(gzopen(path.c_str(), "rb")) {}
  ~TextLines() {
    if (file_ != nullptr) gzclose(file_);
  }
  TextLines(const TextLines&) = delete;
  TextLines& operator=(const TextLines&) = delete;

  bool next(std::string_view* line) {
    if (file_ == nullptr || consumed_ >= kMaxHeaderBytes) return false;
    if (gzgets(file_, buffer_, kMaxLine) == nullptr) return false;
    const size_t n = std::strlen(buffer_);
    consumed_ += n;
    *line = std::string_view(buffer_, n);
    return true;
  }

 private:
  gzFile file_;
  size_t consumed_ = 0;
  char buffer_[kMaxLine];
};

bool first_line_is_packed_magic(const std::string& path) {
  TextLines lines(path);
  std::string_view line;
  if (!lines.next(&line)) return false;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line == kPackedMagic || line == kPackedMagicV2;
}

bool starts_with_hr_magic(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char head[sizeof kHRMagic] = {};
  const bool read = std::fread(head, 1, sizeof head, file) == sizeof head;
  std::fclose(file);
  return read && std::memcmp(head, kHRMagic, sizeof head) == 0;
}

bool first_line_is_header_tag(const std::string& path) {
  TextLines lines(path);
  std::string_view line;
  return lines.next(&line) && trimmed(line) == kHeaderVolumeTag;
}

}  // namespace

FileKind sniff_file_kind(const std::string& path) {
  if (first_line_is_packed_magic(path)) return FileKind::Packed;
  if (starts_with_hr_magic(path)) return FileKind::HR;
  if (first_line_is_header_tag(path)) return FileKind::Header;
  return FileKind::Unknown;
}

std::optional<uint32_t> hr_file_version(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  unsigned char head[12] = {};
  const bool read = std::fread(head, 1, sizeof head, file) == sizeof head;
  std::fclose(file);
  if (!read || std::memcmp(head, kHRMagic, sizeof kHRMagic) != 0) return std::nullopt;
  return uint32_t{head[8]} | uint32_t{head[9]} << 8 | uint32_t{head[10]} << 16 |
         uint32_t{head[11]} << 24;
}

std::optional<uint32_t> packed_bits_per_sample(const std::string& path) {
  TextLines lines(path);
  std::string_view line;
  while (lines.next(&line)) {
    if (trimmed(line) == kPackedHeaderEnd) break;
    // As the library reads it: the key in any case, untrimmed, then the number.
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !same_ignoring_case(line.substr(0, colon), kBitsKey)) {
      continue;
    }
    const std::string value(trimmed(line.substr(colon + 1)));
    char* end = nullptr;
    errno = 0;
    const unsigned long bits = std::strtoul(value.c_str(), &end, 10);
    if (end == value.c_str() || errno != 0 || bits > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(bits);
  }
  return std::nullopt;
}

std::vector<std::string> header_volume_files(const std::string& path) {
  std::vector<std::string> files;
  TextLines lines(path);
  std::string_view line;
  while (lines.next(&line)) {
    const size_t open = line.find(kNameOpen);
    if (open == std::string_view::npos) continue;
    const size_t start = open + kNameOpen.size();
    const size_t close = line.find(kNameClose, start);
    if (close == std::string_view::npos) continue;
    files.emplace_back(trimmed(line.substr(start, close - start)));
  }
  return files;
}

}  // namespace QVX::Ozk
