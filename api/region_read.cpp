// Resolution levels and boxes: the checks every kind of volume shares, then the reader of
// the open kind.
#include "volume_formats/region_read.h"

#include <cstdint>

#include "api/volume_impl.h"
#include "base/checked_math.h"
#include "base/log.h"
#include "ct/region_extract.h"

namespace QVX::ozK {

uint32_t VolumeImpl::num_levels() const {
  switch (kind_) {
    case VolumeKind::Packed:
    case VolumeKind::Header:
      return 1;
    case VolumeKind::HR:
      return CT::hr_level_count(*hr_volume_);
    case VolumeKind::None:
      break;
  }
  return 0;
}

void VolumeImpl::level_extent(uint32_t level, uint32_t (&extent)[3]) const {
  if (kind_ == VolumeKind::HR) {
    const CT::HRVec3u shape = CT::hr_level_shape(*hr_volume_, level);
    extent[0] = shape.x;
    extent[1] = shape.y;
    extent[2] = shape.z;
    return;
  }
  extent[0] = fields_.height;
  extent[1] = fields_.num_slices;
  extent[2] = fields_.width;
}

bool VolumeImpl::level_shape(uint32_t level, uint32_t* width, uint32_t* height,
                             uint32_t* num_slices) const {
  const uint32_t levels = num_levels();
  if (level >= levels) {
    Base::log_printf("FAILED to get the shape of level %u: the volume has %u levels\n", level,
                     levels);
    return false;
  }
  uint32_t extent[3];
  level_extent(level, extent);
  *height = extent[0];
  *num_slices = extent[1];
  *width = extent[2];
  return true;
}

bool VolumeImpl::read_region(uint32_t level, const uint32_t (&origin)[3], const uint32_t (&size)[3],
                             float* out) {
  const uint32_t levels = num_levels();
  if (level >= levels) {
    Base::log_printf("FAILED to read region at level %u: the volume has %u levels\n", level,
                     levels);
    return false;
  }
  // An empty box reaches nothing, wherever it stands.
  if (size[0] == 0 || size[1] == 0 || size[2] == 0) return true;
  uint32_t extent[3];
  level_extent(level, extent);
  for (int a = 0; a < 3; ++a) {
    if (uint64_t{origin[a]} + size[a] > extent[a]) {
      Base::log_printf(
          "FAILED to read region at %u,%u,%u of %u x %u x %u: level %u holds %u x %u x %u\n",
          origin[0], origin[1], origin[2], size[0], size[1], size[2], level, extent[0], extent[1],
          extent[2]);
      return false;
    }
  }
  if (out == nullptr) {
    Base::log_printf("FAILED to read region of %u x %u x %u: no output buffer\n", size[0], size[1],
                     size[2]);
    return false;
  }
  // Offsets into `out` are computed in 64 bits and must address memory.
  uint64_t floats = 0, bytes = 0;
  if (!Base::checked_mul(uint64_t{size[0]} * size[1], size[2], floats) ||
      !Base::checked_mul(floats, sizeof(float), bytes) || bytes > SIZE_MAX) {
    Base::log_printf("FAILED to read region of %u x %u x %u: more than memory holds\n", size[0],
                     size[1], size[2]);
    return false;
  }
  if (kind_ == VolumeKind::HR) {
    // The brick reader logs its own failure.
    return CT::read_hr_region(*hr_volume_, level, {origin[0], origin[1], origin[2]},
                              {size[0], size[1], size[2]}, out);
  }
  const VolumeFormats::RegionBox box{origin[0], origin[1], origin[2], size[0], size[1], size[2]};
  const bool read = kind_ == VolumeKind::Packed
                        ? VolumeFormats::read_packed_region(packed_, fields_, box, out)
                        : VolumeFormats::read_header_region(files_, fields_, box, out);
  if (!read) {
    Base::log_printf("FAILED to read region at %u,%u,%u of %u x %u x %u: short or damaged data\n",
                     origin[0], origin[1], origin[2], size[0], size[1], size[2]);
  }
  return read;
}

}  // namespace QVX::ozK
