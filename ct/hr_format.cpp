#include "ct/hr_format.h"

#include <isa-l/crc.h>

#include <cstring>

#include "base/endian.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::CT {

uint64_t hr_header_end(uint32_t version) {
  switch (version) {
    case 1:
      return kHRHeaderEndV1;
    case 2:
    case 3:
      return kHRHeaderEndV2V3;
    case 4:
      return kHRHeaderEndV4;
    default:
      return 0;
  }
}

uint32_t implied_checksum_type(uint32_t version) {
  return version == 3 ? kChecksumCrc32 : kChecksumNone;
}

uint32_t brick_word_sum(const unsigned char* data) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kBrickSamples; ++i) sum += Base::load_le32(data + 4 * size_t{i});
  return sum;
}

uint32_t brick_crc32(uint32_t crc, const unsigned char* data, size_t size) {
  // The reflected CRC-32 of gzip and zlib's crc32, continued the same way, with a
  // carry-less multiply where the processor has one.
  return ::crc32_gzip_refl(crc, data, size);
}

bool checksum_passes(uint32_t type, uint32_t stored, uint32_t computed) {
  switch (type) {
    case kChecksumWordSum:
      return stored == computed;
    case kChecksumCrc32:
      return stored == 0 || stored == computed;
    default:
      return true;
  }
}

bool compute_max_depth(uint32_t largest, uint32_t* max_depth) {
  if (largest <= kBrickEdge / 2) return false;
  // The smallest d with 32 * 2^d >= largest, in integers: no rounding of a logarithm.
  uint32_t depth = 0;
  while ((uint64_t{kBrickEdge} << depth) < largest) ++depth;
  if (depth > kMaxSupportedDepth) return false;
  *max_depth = depth;
  return true;
}

uint32_t hr_header_version(const unsigned char* bytes) {
  if (std::memcmp(bytes, kHRMagic, sizeof kHRMagic) != 0) return 0;
  if (Base::load_le32(bytes + 12) != 0) return 0;
  const uint32_t version = Base::load_le32(bytes + 8);
  for (const uint32_t accepted : kHRAcceptedVersions) {
    if (version == accepted) return version;
  }
  return 0;
}

bool is_hr_header(const unsigned char* bytes) { return hr_header_version(bytes) != 0; }

bool is_hr_volume(const std::wstring& path) {
  // Built first, so nothing runs between a failure and the reading of its error code.
  const std::string shown = Base::wide_to_utf8_lossy(path);
  const std::string open_failed = "FAILED to open existing HR Volume '" + shown + "': ";
  const std::string read_failed = "FAILED to read HR Volume file magic '" + shown + "': ";

  Base::Platform::ReadOnlyFile file;
  if (!file.open(path)) {
    Base::log_last_error(open_failed.c_str());
    return false;
  }
  unsigned char bytes[kHRHeaderProbeSize] = {};
  if (!file.read_exact(bytes, sizeof bytes)) {
    Base::log_last_error(read_failed.c_str());
    return false;
  }
  return is_hr_header(bytes);
}

}  // namespace QVX::CT
