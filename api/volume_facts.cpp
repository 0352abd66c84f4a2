// Facts of the stored data that the geometry does not tell: sample width, HR version,
// compression, the slice files of a header volume and how many slices the files hold.
#include <algorithm>
#include <cstring>

#include "api/volume_impl.h"
#include "base/file/gz_index.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::ozK {
namespace {

namespace Platform = Base::Platform;

bool nothing_open(const char* what) {
  Base::log_printf("FAILED to tell %s: no volume is open\n", what);
  return false;
}

// What the start and size of a file say without reading its data: whether it is there,
// whether it is gzip-compressed, and its size in bytes.
struct FileLook {
  bool exists = false;
  bool gzip = false;
  uint64_t size = 0;
};

FileLook look_at(const std::wstring& path) {
  FileLook look;
  const int fd = Platform::open_read_only(path);
  if (fd < 0) return look;
  look.exists = true;
  uint8_t magic[2] = {};
  look.gzip = Platform::read_at(fd, magic, 2, 0) &&
              std::memcmp(magic, Base::File::kGzipMagic, sizeof magic) == 0;
  const int64_t size = Platform::descriptor_size(fd);
  look.size = size > 0 ? static_cast<uint64_t>(size) : 0;
  Platform::close_file(fd);
  return look;
}

}  // namespace

bool VolumeImpl::bits_per_sample(uint32_t* bits) const {
  switch (kind_) {
    case VolumeKind::Packed:
      *bits = static_cast<uint32_t>(std::max(packed_.bits_per_sample, 0));
      return true;
    case VolumeKind::Header:
    case VolumeKind::HR:
      *bits = 32;  // float slice files, float bricks
      return true;
    case VolumeKind::None:
      break;
  }
  return nothing_open("the bits per sample");
}

bool VolumeImpl::hr_version(uint32_t* version) const {
  if (kind_ == VolumeKind::HR) {
    *version = hr_volume_->version();
    return true;
  }
  if (kind_ == VolumeKind::None) return nothing_open("the HR version");
  Base::log_printf("FAILED to tell the HR version: the open volume is a %s volume\n",
                   qvx_ozk_kind_name(static_cast<uint32_t>(kind_)));
  return false;
}

bool VolumeImpl::compressed(bool* compressed) const {
  switch (kind_) {
    case VolumeKind::Packed:
      *compressed = packed_.file.is_gzip();
      return true;
    case VolumeKind::Header:
      *compressed =
          std::any_of(files_.begin(), files_.end(),
                      [](const VolumeFormats::FileEntry& f) { return look_at(f.path).gzip; });
      return true;
    case VolumeKind::HR:
      *compressed = false;
      return true;
    case VolumeKind::None:
      break;
  }
  return nothing_open("whether the data is compressed");
}

bool VolumeImpl::slice_file(uint32_t index, char* path, size_t capacity, size_t* needed,
                            uint32_t* num_slices) const {
  if (index >= files_.size()) {
    Base::log_printf("FAILED to give slice file %u: the volume has %zu\n", index, files_.size());
    return false;
  }
  const VolumeFormats::FileEntry& file = files_[index];
  const std::string utf8 = Base::wide_to_utf8(file.path);
  if (needed != nullptr) *needed = utf8.size() + 1;
  if (num_slices != nullptr) *num_slices = file.num_slices;
  if (path == nullptr && capacity == 0) return true;  // a question for the size alone
  if (path == nullptr || capacity < utf8.size() + 1) {
    if (path != nullptr && capacity > 0) {
      std::memcpy(path, utf8.data(), capacity - 1);
      path[capacity - 1] = '\0';
    }
    Base::log_printf("FAILED to give slice file %u: its path needs %zu bytes, %zu given\n", index,
                     utf8.size() + 1, capacity);
    return false;
  }
  std::memcpy(path, utf8.c_str(), utf8.size() + 1);
  return true;
}

// Judged by sizes alone: a gzip stream tells its length only when read, so its slices
// count as there.
bool VolumeImpl::slices_stored(uint32_t* slices) const {
  const uint64_t slice_bytes = uint64_t{fields_.width} * fields_.height * 4;
  switch (kind_) {
    case VolumeKind::Packed: {
      const FileLook look = look_at(packed_.path);
      const uint64_t bytes = slice_bytes / 4 * static_cast<uint64_t>(packed_.bits_per_sample) / 8;
      const uint64_t offset = static_cast<uint64_t>(packed_.data_offset);
      uint64_t whole = fields_.num_slices;
      if (!look.gzip && bytes > 0) whole = look.size > offset ? (look.size - offset) / bytes : 0;
      *slices = static_cast<uint32_t>(std::min<uint64_t>(whole, fields_.num_slices));
      return true;
    }
    case VolumeKind::Header: {
      uint64_t total = 0;
      for (const VolumeFormats::FileEntry& file : files_) {
        const FileLook look = look_at(file.path);
        uint64_t whole = look.exists ? file.num_slices : 0;
        if (look.exists && !look.gzip && slice_bytes > 0) whole = look.size / slice_bytes;
        total += std::min<uint64_t>(whole, file.num_slices);
      }
      *slices = static_cast<uint32_t>(std::min<uint64_t>(total, fields_.num_slices));
      return true;
    }
    case VolumeKind::HR:
      // Bricks reach slices through the tree, not by position: the open warns of bricks
      // beyond the end of the file, and the integrity check names the slices they hold.
      *slices = fields_.num_slices;
      return true;
    case VolumeKind::None:
      break;
  }
  return nothing_open("the slices stored");
}

}  // namespace QVX::ozK
