#include "volume_formats/volume_fields.h"

#include <cstdint>
#include <limits>

#include "base/checked_math.h"
#include "base/log.h"

namespace QVX::VolumeFormats {

void VolumeFields::clear_geometry() {
  width = height = num_slices = 0;
  for (int i = 0; i < 3; ++i) vmin[i] = vmax[i] = voxel_size[i] = 0.0;
}

bool check_addressable(const VolumeFields& fields, uint64_t bytes_per_sample, uint64_t slices,
                       uint64_t base_offset, const std::wstring& path) {
  using Base::checked_add;
  using Base::checked_mul;
  uint64_t bytes = 0;
  const bool fits = checked_mul(uint64_t{fields.width}, fields.height, bytes) &&
                    checked_mul(bytes, bytes_per_sample, bytes) &&
                    checked_mul(bytes, slices, bytes) && checked_add(bytes, base_offset, bytes) &&
                    bytes <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (!fits) {
    Base::log_wprintf(
        L"FAILED to open volume '%ls': %u x %u x %llu samples of %llu bytes "
        L"exceed the largest file offset\n",
        path.c_str(), fields.height, fields.width, static_cast<unsigned long long>(slices),
        static_cast<unsigned long long>(bytes_per_sample));
  }
  return fits;
}

}  // namespace QVX::VolumeFormats
