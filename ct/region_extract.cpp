#include "ct/region_extract.h"

#include "base/log.h"
#include "ct/slice_extract.h"

namespace QVX::CT {

HRVec3u hr_level_shape(const HRVolume& volume, uint32_t level) {
  const HRVec3u& r = volume.resolution();
  const auto samples = [level](uint32_t n) {
    return static_cast<uint32_t>((uint64_t{n} + (uint64_t{1} << level) - 1) >> level);
  };
  return {samples(r.x), samples(r.y), samples(r.z)};
}

bool read_hr_region(const HRVolume& volume, uint32_t level, const HRVec3u& origin,
                    const HRVec3u& size, float* out) {
  if (level >= hr_level_count(volume)) {
    Base::log_printf("FAILED to read region at level %u: the coarsest level is %u\n", level,
                     volume.max_depth());
    return false;
  }
  return extract_box(volume, out, origin, size, volume.max_depth() - level);
}

}  // namespace QVX::CT
