#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "base/checked_math.h"
#include "base/log.h"
#include "base/path.h"
#include "base/platform.h"
#include "image/tiff_format.h"
#include "image/tiff_internal.h"

namespace QVX::Image::Format {

namespace {

using Base::log_wprintf;
namespace Platform = Base::Platform;

// Reads exactly `size` bytes at `offset` when they lie inside the first `file_size` bytes.
bool read_at(int fd, uint64_t file_size, uint64_t offset, uint8_t* out, uint64_t size) {
  uint64_t end = 0;
  if (!Base::checked_add(offset, size, end) || end > file_size) return false;
  return Platform::read_at(fd, out, static_cast<size_t>(size), offset);
}

// Unsigned values of the file's byte order.
struct Decoder {
  bool big_endian = false;
  uint64_t get(const uint8_t* p, int size) const {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
      const int shift = 8 * (big_endian ? size - 1 - i : i);
      value |= uint64_t{p[i]} << shift;
    }
    return value;
  }
};

// libtiff's procedures over a plain descriptor; the handle carries the descriptor itself.
int fd_of(thandle_t handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

tmsize_t fd_read_proc(thandle_t handle, void* buffer, tmsize_t size) {
  return Platform::read_descriptor(fd_of(handle), buffer, static_cast<size_t>(size));
}

tmsize_t fd_write_proc(thandle_t handle, void* buffer, tmsize_t size) {
  return Platform::write_descriptor(fd_of(handle), buffer, static_cast<size_t>(size));
}

toff_t fd_seek_proc(thandle_t handle, toff_t offset, int whence) {
  return static_cast<toff_t>(
      Platform::seek_descriptor(fd_of(handle), static_cast<int64_t>(offset), whence));
}

int fd_close_proc(thandle_t handle) {
  Platform::close_descriptor(fd_of(handle));
  return 0;
}

toff_t fd_size_proc(thandle_t handle) {
  const int64_t size = Platform::descriptor_size(fd_of(handle));
  return size > 0 ? static_cast<toff_t>(size) : 0;
}

enum class InPlace { kDone, kFailed, kNoRoom };

InPlace write_block(int fd, const InfoEntry& entry, const Image& d) {
  const unsigned shown_offset = static_cast<unsigned>(entry.offset);
  if (entry.offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    log_wprintf(L"FAILED to locate tiff description at offset 0x%X of '%ls' for writing\n",
                shown_offset, d.file_name.c_str());
    return InPlace::kFailed;
  }
  const uint64_t length = d.info.length;
  std::vector<uint8_t> block(4);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  if (length > 0) block.insert(block.end(), d.info.data, d.info.data + length);
  if (!Platform::write_at(fd, block.data(), block.size(), entry.offset)) {
    log_wprintf(L"FAILED to write tiff description at offset 0x%X of '%ls'\n", shown_offset,
                d.file_name.c_str());
    return InPlace::kFailed;
  }
  return InPlace::kDone;
}

InPlace update_in_place(const Image& d, int fd) {
  const int copy = Platform::duplicate_descriptor(fd);
  if (copy < 0) {
    log_wprintf(
        L"FAILED to duplicate tiff image descriptor for updating the description in '%ls'\n",
        d.file_name.c_str());
    return InPlace::kFailed;
  }
  // libtiff's client handle is a pointer; ours carries the descriptor itself.
  ::TIFF* tif = tiff_internal::client_open(
      "QVX::Image::Format::TIFF::update",
      reinterpret_cast<thandle_t>(intptr_t{copy}),  // NOLINT(performance-no-int-to-ptr)
      fd_read_proc, fd_write_proc, fd_seek_proc, fd_close_proc, fd_size_proc);
  if (tif == nullptr) {
    Platform::close_descriptor(copy);
    log_wprintf(L"FAILED to open tiff for updating the description in '%ls'\n",
                d.file_name.c_str());
    return InPlace::kFailed;
  }
  InPlace result = InPlace::kNoRoom;
  const std::optional<InfoEntry> entry = find_info_entry(copy);
  if (entry && entry->count >= 4 && entry->count - 4 >= d.info.length &&
      d.info.length <= std::numeric_limits<uint32_t>::max()) {
    result = write_block(copy, *entry, d);
  }
  TIFFClose(tif);
  return result;
}

}  // namespace

std::optional<InfoEntry> find_info_entry(int fd) {
  const int64_t file_size = Platform::descriptor_size(fd);
  if (file_size <= 0) return std::nullopt;
  const uint64_t size = static_cast<uint64_t>(file_size);

  uint8_t header[16] = {};
  if (!read_at(fd, size, 0, header, 8)) return std::nullopt;
  Decoder d;
  if (header[0] == 'M' && header[1] == 'M') {
    d.big_endian = true;
  } else if (header[0] != 'I' || header[1] != 'I') {
    return std::nullopt;
  }
  const uint64_t version = d.get(header + 2, 2);
  const bool big = version == 43;
  if (!big && version != 42) return std::nullopt;
  uint64_t directory = d.get(header + 4, 4);
  if (big) {
    if (!read_at(fd, size, 0, header, 16) || d.get(header + 4, 2) != 8 ||
        d.get(header + 6, 2) != 0) {
      return std::nullopt;
    }
    directory = d.get(header + 8, 8);
  }
  const int count_size = big ? 8 : 2;
  const int entry_size = big ? 20 : 12;
  const int value_size = big ? 8 : 4;

  uint8_t entry[20] = {};
  if (!read_at(fd, size, directory, entry, count_size)) return std::nullopt;
  const uint64_t entries = d.get(entry, count_size);
  const uint64_t first = directory + count_size;  // inside the file: just read up to it
  if (entries > (size - first) / entry_size) return std::nullopt;

  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t at = first + i * entry_size;
    if (!read_at(fd, size, at, entry, entry_size)) return std::nullopt;
    if (d.get(entry, 2) != kTagQvxInfoV2) continue;
    // Only one-byte types have a byte count equal to their value count.
    const uint64_t type = d.get(entry + 2, 2);
    if (type != TIFF_BYTE && type != TIFF_ASCII && type != TIFF_SBYTE && type != TIFF_UNDEFINED) {
      return std::nullopt;
    }
    InfoEntry found;
    found.count = d.get(entry + 4, value_size);
    const uint64_t field = at + 4 + value_size;
    found.offset = found.count <= static_cast<uint64_t>(value_size)
                       ? field
                       : d.get(entry + 4 + value_size, value_size);
    uint64_t end = 0;
    if (!Base::checked_add(found.offset, found.count, end) || end > size) return std::nullopt;
    return found;
  }
  return std::nullopt;
}

bool TIFF::update_description(const Image& d, int& fd) {
  if (!Base::has_gz_suffix(d.file_name)) {
    const InPlace result = update_in_place(d, fd);
    if (result == InPlace::kFailed) return false;
    if (result == InPlace::kDone) {
      log_wprintf(L"Updated image description '%ls' (info_len=%u')\n", d.file_name.c_str(),
                  static_cast<uint32_t>(d.info.length));
      return true;
    }
  }
  if (Platform::seek_descriptor(fd, 0, SEEK_SET) < 0) {
    log_wprintf(L"FAILED to rewind image for updating description of '%ls'\n", d.file_name.c_str());
    return false;
  }
  Image_f image;
  image.file_name = d.file_name;
  if (!load_f(image, fd)) return false;
  if (image.width() != d.width() || image.height() != d.height()) {
    log_wprintf(
        L"FAILED to write tiff description: Inconsistent image size (img w=%u h=%u, desc w=%u "
        L"h=%u)\n",
        image.width(), image.height(), d.width(), d.height());
    return false;
  }
  if (!image.assign_description(d)) return false;
  Platform::close_descriptor(fd);
  fd = -1;
  if (!save_f(image, image.file_name, image.format_name, 1.0f, -1.0f)) return false;
  log_wprintf(L"Updated image description '%ls' (info_len=%u')\n", d.file_name.c_str(),
              static_cast<uint32_t>(d.info.length));
  return true;
}

}  // namespace QVX::Image::Format
