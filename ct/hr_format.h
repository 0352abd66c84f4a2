// The HR volume file: a fixed header, node records in breadth-first tiles, and 32^3
// float bricks with checksums. All numbers little-endian; fields are packed without
// padding, so multi-byte fields may be unaligned.
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

// Where the root node record starts (the header's end), by version.
inline constexpr uint64_t kHRHeaderEndV1 = 113;
inline constexpr uint64_t kHRHeaderEndV2V3 = 121;
inline constexpr uint64_t kHRHeaderEndV4 = 122;
uint64_t hr_header_end(uint32_t version);  // 0 for a version that is not read

// A brick: 32 samples per axis, sample (x, y, z) at x + 32 y + 1024 z.
inline constexpr uint32_t kBrickEdge = 32;
inline constexpr uint32_t kBrickEdgeShift = 5;  // log2(kBrickEdge)
inline constexpr uint32_t kBrickSamples = kBrickEdge * kBrickEdge * kBrickEdge;
inline constexpr uint64_t kBrickDataBytes = uint64_t{kBrickSamples} * 4;
// The checksum word after the samples; read only for the checksum types that verify.
inline constexpr uint64_t kBrickChecksumBytes = 4;

// Node record: u32 child_flag, u64 brick_offset, f32 min, f32 max.
inline constexpr uint64_t kNodeRecordBytes = 20;
// Node tile: the parent's location code (3 x u32), then its eight children's records.
inline constexpr uint64_t kNodeTileBytes = 12 + 8 * kNodeRecordBytes;

// Brick checksum kinds; every other value means "none".
inline constexpr uint32_t kChecksumNone = 0;
inline constexpr uint32_t kChecksumWordSum = 1;
inline constexpr uint32_t kChecksumCrc32 = 2;

// The checksum kind implied by versions whose header has no checksum field.
uint32_t implied_checksum_type(uint32_t version);
// True for the kinds whose stored word is read and compared.
inline bool checksum_reads_word(uint32_t type) {
  return type == kChecksumWordSum || type == kChecksumCrc32;
}
// Bytes of a brick record that a reader of this checksum kind touches.
inline uint64_t brick_record_bytes(uint32_t checksum_type) {
  return kBrickDataBytes + (checksum_reads_word(checksum_type) ? kBrickChecksumBytes : 0);
}

// Checksums of `kBrickDataBytes` bytes of samples in file order. The CRC continues from
// `crc` (start from 0), so it can be computed piece by piece.
uint32_t brick_word_sum(const unsigned char* data);
uint32_t brick_crc32(uint32_t crc, const unsigned char* data, size_t size);
// Whether a stored word passes for the computed sum (word sum) or CRC: a CRC word of 0
// always passes; kinds that do not verify always pass.
bool checksum_passes(uint32_t type, uint32_t stored, uint32_t computed);

// The deepest level a reader addresses: the root's extent, 32 * 2^depth voxels per axis,
// must fit in a signed 32-bit position so no product of positions overflows.
inline constexpr uint32_t kMaxSupportedDepth = 26;

// The depth of the finest level for a largest stored dimension `largest`: the smallest
// integer not below log2(largest / 32). False for 16 or less (the depth would be
// negative) and for depths beyond kMaxSupportedDepth.
bool compute_max_depth(uint32_t largest, uint32_t* max_depth);

// True when `bytes` (16 of them) are one of the accepted headers.
bool is_hr_header(const unsigned char* bytes);
// The version of an accepted header, 0 for anything else.
uint32_t hr_header_version(const unsigned char* bytes);

// True when the file at `path` starts with an accepted header. Logs a "FAILED" entry when
// the file cannot be opened or holds fewer than 16 bytes; a mismatch is not logged.
bool is_hr_volume(const std::wstring& path);

}  // namespace QVX::CT
