#include "volume_formats/volume_verify.h"

#include <algorithm>
#include <string>

#include "base/log.h"
#include "base/platform.h"
#include "base/utf.h"

namespace QVX::VolumeFormats {
namespace {

using Base::File::StreamCheck;

unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// Checks one file holding `slices` slices of `slice_bytes` from `data_offset` on (slice
// numbers from `first_slice`); logs one entry for what it finds wrong.
bool verify_file(const std::wstring& path, uint64_t data_offset, uint64_t slice_bytes,
                 uint64_t first_slice, uint64_t slices, Base::File::Progress& progress) {
  const std::string name = Base::wide_to_utf8_lossy(path);
  const uint64_t last = first_slice + slices - 1;
  StreamCheck check;
  if (!Base::File::check_stream(path, progress, &check)) {
    const int code = Base::Platform::last_error();
    Base::note_error_code(code);
    Base::log_printf("FAILED to read '%s' (%s): %s missing\n", name.c_str(),
                     Base::Platform::error_text(code).c_str(),
                     Base::File::slice_range(first_slice, last).c_str());
    return false;
  }
  // The first slice that the byte at `offset` of the data belongs to.
  const auto slice_at = [&](uint64_t offset) {
    const uint64_t in_data = offset > data_offset ? offset - data_offset : 0;
    return first_slice + (slice_bytes == 0 ? 0 : std::min<uint64_t>(in_data / slice_bytes, slices));
  };
  if (check.damaged_from != UINT64_MAX) {
    Base::log_printf(
        "FAILED gzip data of '%s' is damaged (%s) from byte %llu of the stream on: "
        "%s damaged\n",
        name.c_str(), check.problem.c_str(), ull(check.damaged_from),
        Base::File::slice_range(slice_at(check.damaged_from), last).c_str());
    return false;
  }
  const uint64_t needed = data_offset + slice_bytes * slices;
  if (check.data_bytes < needed) {
    Base::log_printf("FAILED '%s' holds %llu of the %llu bytes its volume needs: %s missing\n",
                     name.c_str(), ull(check.data_bytes), ull(needed),
                     Base::File::slice_range(slice_at(check.data_bytes), last).c_str());
    return false;
  }
  return true;
}

}  // namespace

bool verify_packed_volume(const PackedVolume& packed, const VolumeFields& fields,
                          Base::File::Progress::Function function, void* user) {
  Base::File::Progress progress(function, user, Base::File::stream_size(packed.path));
  const uint64_t slice_bytes =
      uint64_t{fields.width} * fields.height * static_cast<uint64_t>(packed.bits_per_sample / 8);
  const bool whole = verify_file(packed.path, static_cast<uint64_t>(packed.data_offset),
                                 slice_bytes, 0, fields.num_slices, progress);
  progress.finish();
  return whole;
}

bool verify_header_volume(const std::vector<FileEntry>& files, const VolumeFields& fields,
                          Base::File::Progress::Function function, void* user) {
  uint64_t total = 0;
  for (const FileEntry& entry : files) total += Base::File::stream_size(entry.path);
  Base::File::Progress progress(function, user, total);
  const uint64_t slice_bytes = uint64_t{fields.width} * fields.height * 4;
  bool whole = true;
  uint64_t first = 0;
  // Only the slices of the volume count; a file listed beyond them is never read.
  for (const FileEntry& entry : files) {
    const uint64_t slices = std::min<uint64_t>(
        entry.num_slices, fields.num_slices - std::min<uint64_t>(first, fields.num_slices));
    if (slices > 0)
      whole = verify_file(entry.path, 0, slice_bytes, first, slices, progress) && whole;
    first += entry.num_slices;
  }
  progress.finish();
  return whole;
}

}  // namespace QVX::VolumeFormats
