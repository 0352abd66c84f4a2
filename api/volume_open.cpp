#include "api/volume_impl.h"
#include "base/log.h"
#include "base/utf.h"
#include "ct/hr_format.h"

namespace QVX::ozK {

bool VolumeImpl::open(const char* path) {
  const std::wstring wide = Base::utf8_to_wide(path);
  return open(wide.c_str());
}

bool VolumeImpl::open(const wchar_t* path) { return open_path(path); }

// Probes in a fixed order, and a file that one probe accepts is never tried by the next:
// a packed first line wins over everything, then the HR header, then the header tag.
bool VolumeImpl::open_path(const std::wstring& path) {
  close();
  if (VolumeFormats::sniff_packed_volume(path)) {
    if (!VolumeFormats::read_packed_header(path, fields_, packed_)) return false;
    kind_ = VolumeKind::Packed;
    return true;
  }
  if (CT::is_hr_volume(path)) {
    Base::log_wprintf(L"FAILED to open HR Volume '%ls': this build does not read HR volumes\n",
                      path.c_str());
    return false;
  }
  if (VolumeFormats::sniff_header_volume(path)) {
    if (!VolumeFormats::read_volume_header(path, fields_, files_)) {
      files_.clear();
      return false;
    }
    kind_ = VolumeKind::Header;
    return true;
  }
  return false;
}

}  // namespace QVX::ozK
