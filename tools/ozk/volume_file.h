// What the tool reads from a volume file itself: the facts `ozk info` shows that the
// public interface does not give, and the kind of a file the library refused. Each reader
// looks only at the beginning of the file (decompressed where it is gzipped) and answers
// "nothing" for a file that does not have what it seeks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QVX::Ozk {

enum class FileKind { Unknown, Packed, HR, Header };

// By the first bytes, in the library's order: the packed magic line, the HR magic, the
// header-volume tag on the first line.
FileKind sniff_file_kind(const std::string& path);

// The version of an HR file: the little-endian u32 after the 8-byte magic.
std::optional<uint32_t> hr_file_version(const std::string& path);

// The "BitsPerSample:" entry of a packed volume's text header.
std::optional<uint32_t> packed_bits_per_sample(const std::string& path);

// The slice files a header volume lists, in order, as written in its <Name> entries.
std::vector<std::string> header_volume_files(const std::string& path);

}  // namespace QVX::Ozk
