// The integrity check: each kind of volume checks what its files can vouch for.
#include "volume_formats/volume_verify.h"

#include "api/volume_impl.h"
#include "base/log.h"
#include "ct/hr_verify.h"

namespace QVX::ozK {

bool VolumeImpl::verify(void (*progress)(void* user, uint32_t percent), void* user) {
  switch (kind_) {
    case VolumeKind::Packed:
      return VolumeFormats::verify_packed_volume(packed_, fields_, progress, user);
    case VolumeKind::Header:
      return VolumeFormats::verify_header_volume(files_, fields_, progress, user);
    case VolumeKind::HR:
      return CT::verify_hr_volume(*hr_volume_, progress, user);
    case VolumeKind::None:
      break;
  }
  Base::log_printf("FAILED to verify: no volume is open\n");
  return false;
}

}  // namespace QVX::ozK
