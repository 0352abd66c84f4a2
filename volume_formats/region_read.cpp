#include "volume_formats/region_read.h"

#include <algorithm>

namespace QVX::VolumeFormats {
namespace {

// Slices [first, first + count) of the file, numbered within it, whose slice 0 starts at
// `data_offset`, into `out` (the box's layout, starting at the first of those slices).
bool read_slices(Base::File::RandomAccessFile& file, uint64_t data_offset, int bits,
                 const VolumeFields& fields, const RegionBox& box, uint64_t first, uint32_t count,
                 float* out) {
  // The open checked that every offset inside the data fits in 64 bits.
  const uint64_t sample_bytes = static_cast<uint64_t>(bits) / 8;
  const uint64_t row_bytes = uint64_t{fields.width} * sample_bytes;
  const uint64_t slice_bytes = row_bytes * fields.height;
  const bool whole_rows = box.nz == fields.width;
  const bool whole_slices = whole_rows && box.nx == fields.height;
  const uint32_t rows_per_read = whole_rows ? box.nx : 1;
  const uint32_t slices_per_read = whole_slices ? count : 1;
  const uint64_t samples = uint64_t{box.nz} * rows_per_read * slices_per_read;
  for (uint32_t s = 0; s < count; s += slices_per_read) {
    for (uint32_t r = 0; r < box.nx; r += rows_per_read) {
      const uint64_t offset = data_offset + (first + s) * slice_bytes +
                              (uint64_t{box.x0} + r) * row_bytes + box.z0 * sample_bytes;
      float* at = out + (uint64_t{s} * box.nx + r) * box.nz;
      if (!read_packed_samples(file, offset, bits, static_cast<size_t>(samples), at)) return false;
    }
  }
  return true;
}

}  // namespace

bool read_packed_region(PackedVolume& packed, const VolumeFields& fields, const RegionBox& box,
                        float* out) {
  const int bits = packed.bits_per_sample;
  if (bits != 8 && bits != 16 && bits != 32) return false;
  return read_slices(packed.file, static_cast<uint64_t>(packed.data_offset), bits, fields, box,
                     box.y0, box.ny, out);
}

bool read_header_region(const std::vector<FileEntry>& files, const VolumeFields& fields,
                        const RegionBox& box, float* out) {
  const uint64_t end = uint64_t{box.y0} + box.ny;
  uint64_t first = 0;      // global index of the entry's first slice
  uint64_t next = box.y0;  // first slice of the box not read yet
  for (const FileEntry& entry : files) {
    const uint64_t entry_end = first + entry.num_slices;
    if (next < entry_end && next >= first) {
      const uint64_t stop = std::min(end, entry_end);
      // Opened only when the box meets it; a gzip file is inflated from its start.
      Base::File::RandomAccessFile file;
      if (!file.open(entry.path)) return false;
      const uint64_t offset = (next - box.y0) * box.nx * box.nz;
      if (!read_slices(file, 0, 32, fields, box, next - first, static_cast<uint32_t>(stop - next),
                       out + offset)) {
        return false;
      }
      next = stop;
      if (next == end) return true;
    }
    first = entry_end;
  }
  return false;
}

}  // namespace QVX::VolumeFormats
