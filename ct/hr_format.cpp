#include "ct/hr_format.h"

#include <cstring>

#include "base/endian.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::CT {

bool is_hr_header(const unsigned char* bytes) {
  if (std::memcmp(bytes, kHRMagic, sizeof kHRMagic) != 0) return false;
  if (Base::load_le32(bytes + 12) != 0) return false;
  const uint32_t version = Base::load_le32(bytes + 8);
  for (const uint32_t accepted : kHRAcceptedVersions) {
    if (version == accepted) return true;
  }
  return false;
}

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
