#include "api/volume_impl.h"
#include "ct/slice_extract.h"

namespace QVX::ozK {

bool VolumeImpl::read_slice(float* out, uint32_t index) {
  if (index >= fields_.num_slices) return false;
  switch (kind_) {
    case VolumeKind::Packed:
      return VolumeFormats::read_packed_slice(packed_, fields_, index, out);
    case VolumeKind::Header:
      return VolumeFormats::read_header_slice(files_, fields_, index, out);
    case VolumeKind::HR:
      return CT::read_hr_slice(*hr_volume_, out, index);
    case VolumeKind::None:
      break;
  }
  return false;
}

}  // namespace QVX::ozK
