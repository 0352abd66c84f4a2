// The HR volume file: a fixed header, node records in breadth-first tiles, and 32^3
// float bricks with checksums. All numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace QVX::CT {

// The first 16 bytes: the magic, the version (u32) and four zero bytes.
inline constexpr size_t kHRHeaderProbeSize = 16;
inline constexpr char kHRMagic[8] = {'Q', 'V', 'X', 'H', 'R', 'V', 'O', 'L'};
// The versions read, in the order of the table of accepted headers.
inline constexpr uint32_t kHRAcceptedVersions[] = {4, 3, 1, 2};

// True when `bytes` (16 of them) are one of the accepted headers.
bool is_hr_header(const unsigned char* bytes);

// True when the file at `path` starts with an accepted header. Logs a "FAILED" entry when
// the file cannot be opened or holds fewer than 16 bytes; a mismatch is not logged.
bool is_hr_volume(const std::wstring& path);

}  // namespace QVX::CT
