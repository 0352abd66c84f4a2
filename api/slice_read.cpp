#include <string>

#include "api/volume_impl.h"
#include "base/log.h"
#include "base/utf.h"
#include "ct/slice_extract.h"

namespace QVX::ozK {

// Slice reads have always kept quiet in the log about why they fail; the caller still
// learns it through the last error.
bool VolumeImpl::read_slice(float* out, uint32_t index) {
  if (read_slice_of_kind(out, index)) return true;
  std::string text = "FAILED to read slice " + std::to_string(index);
  if (kind_ == VolumeKind::None) {
    text += ": no volume is open";
  } else {
    text += " of '" + Base::wide_to_utf8_lossy(path_) + "': ";
    text += index >= fields_.num_slices
                ? "out of range (" + std::to_string(fields_.num_slices) + " slices)"
                : "short or damaged data";
  }
  Base::note_failure(text.c_str(), 0);
  return false;
}

bool VolumeImpl::read_slice_of_kind(float* out, uint32_t index) {
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
