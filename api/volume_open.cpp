#include <cerrno>
#include <memory>
#include <string>

#include "api/volume_impl.h"
#include "base/log.h"
#include "base/utf.h"
#include "ct/hr_format.h"
#include "ct/hr_volume.h"

namespace QVX::ozK {
namespace {

void copy_vec3(const CT::HRVec3d& from, double (&to)[3]) {
  to[0] = from.x;
  to[1] = from.y;
  to[2] = from.z;
}

}  // namespace

bool VolumeImpl::open(const char* path) {
  const std::wstring wide = Base::utf8_to_wide(path);
  return open(wide.c_str());
}

bool VolumeImpl::open(const wchar_t* path) { return open_path(path); }

// Probes in a fixed order, and a file that one probe accepts is never tried by the next:
// a packed first line wins over everything, then the HR header, then the header tag.
bool VolumeImpl::open_path(const std::wstring& path) {
  close();
  path_ = path;
  if (VolumeFormats::sniff_packed_volume(path)) {
    if (!VolumeFormats::read_packed_header(path, fields_, packed_)) return false;
    kind_ = VolumeKind::Packed;
    return true;
  }
  if (CT::is_hr_volume(path)) {
    auto volume = std::make_unique<CT::HRVolume>();
    if (!volume->open_existing(path)) return false;
    const CT::HRVec3u& resolution = volume->resolution();
    fields_.height = resolution.x;
    fields_.num_slices = resolution.y;
    fields_.width = resolution.z;
    copy_vec3(volume->vmin(), fields_.vmin);
    copy_vec3(volume->vmax(), fields_.vmax);
    copy_vec3(volume->voxel_size(), fields_.voxel_size);
    fields_.data_min = volume->root().min;
    fields_.data_max = volume->root().max;
    hr_volume_ = std::move(volume);
    kind_ = VolumeKind::HR;
    return true;
  }
  if (VolumeFormats::sniff_header_volume(path)) {
    if (!VolumeFormats::read_volume_header(path, fields_, files_)) {
      files_.clear();
      return false;
    }
    kind_ = VolumeKind::Header;
    return true;
  }
  // No probe accepted the file; the log has always kept quiet about that, the caller
  // still learns it. A file too short for the HR probe's read is no volume either, which
  // says more than the read's "no data available".
  if (Base::last_failure_code() == ENODATA) Base::clear_last_failure();
  const std::string text = "FAILED to open volume '" + Base::wide_to_utf8_lossy(path) +
                           "': not a volume of a known kind";
  Base::note_failure(text.c_str(), 0);
  return false;
}

}  // namespace QVX::ozK
