#include "api/volume_impl.h"

namespace QVX::ozK {

bool VolumeImpl::read_slice(float* out, uint32_t index) {
  if (index >= fields_.num_slices) return false;
  switch (kind_) {
    case VolumeKind::Packed:
      return VolumeFormats::read_packed_slice(packed_, fields_, index, out);
    case VolumeKind::Header:
      return VolumeFormats::read_header_slice(files_, fields_, index, out);
    case VolumeKind::HR:
    case VolumeKind::None:
      break;
  }
  return false;
}

}  // namespace QVX::ozK
