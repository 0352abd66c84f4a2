#include "volume_formats/region_read.h"

#include <algorithm>
#include <cstring>

#include "base/platform.h"

namespace QVX::VolumeFormats {
namespace {

// Runs of fewer bytes than this (a z-plane's one sample per row, an x-plane's one row per
// slice, a narrow box) are copied out of a view of a plain packed file rather than read one
// call each: a read call costs about what copying tens of KiB from the page cache does.
constexpr uint64_t kViewRunBytes = 64 * 1024;

// Where the box's samples lie in a file whose slice 0 starts at `data_offset`: runs of
// `samples` samples, each one read, for slices [first, first + count) numbered within
// the file. Rows that follow each other in the file (whole rows, whole slices) form one
// run. The open checked that every offset inside the data fits in 64 bits.
struct Runs {
  Runs(uint64_t data_offset, int bits_, const VolumeFields& fields, const RegionBox& box_,
       uint64_t first, uint32_t count_)
      : bits(bits_), box(box_), count(count_) {
    sample_bytes = static_cast<uint64_t>(bits) / 8;
    row_bytes = uint64_t{fields.width} * sample_bytes;
    slice_bytes = row_bytes * fields.height;
    const bool whole_rows = box.nz == fields.width;
    rows_per_run = whole_rows ? box.nx : 1;
    slices_per_run = whole_rows && box.nx == fields.height ? count : 1;
    samples = uint64_t{box.nz} * rows_per_run * slices_per_run;
    start =
        data_offset + first * slice_bytes + uint64_t{box.x0} * row_bytes + box.z0 * sample_bytes;
  }
  // Calls read(offset, samples, out) for each run in file order; false when one fails.
  template <typename Read>
  bool each(float* out, Read&& read) const {
    for (uint32_t s = 0; s < count; s += slices_per_run) {
      for (uint32_t r = 0; r < box.nx; r += rows_per_run) {
        if (!read(start + s * slice_bytes + r * row_bytes,
                  out + (uint64_t{s} * box.nx + r) * box.nz)) {
          return false;
        }
      }
    }
    return true;
  }
  // One past the last byte of the last run.
  uint64_t end() const {
    return start + (count - 1) * slice_bytes + (box.nx - 1) * row_bytes + box.nz * sample_bytes;
  }

  int bits;
  RegionBox box;
  uint32_t count;
  uint64_t sample_bytes, row_bytes, slice_bytes, start, samples;
  uint32_t rows_per_run, slices_per_run;
};

bool read_runs(Base::File::RandomAccessFile& file, const Runs& runs, float* out) {
  return runs.each(out, [&](uint64_t offset, float* at) {
    return read_packed_samples(file, offset, runs.bits, static_cast<size_t>(runs.samples), at);
  });
}

struct ViewCopy {
  const Runs* runs;
  const uint8_t* view;
  float* out;
};

// Runs under a fault guard (a file cut while mapped): nothing here owns a destructor.
void copy_runs(void* context) {
  const auto& copy = *static_cast<ViewCopy*>(context);
  const Runs& runs = *copy.runs;
  const size_t bytes = static_cast<size_t>(runs.samples * runs.sample_bytes);
  if (runs.samples == 1) {
    // One sample a run (a z-plane): the outputs follow each other, so the raw samples are
    // gathered below them and converted in one pass.
    const size_t n = size_t{runs.count} * runs.box.nx;
    uint8_t* raw = reinterpret_cast<uint8_t*>(copy.out) + n * 4 - n * bytes;
    // Sample sizes fixed at compile time, so that each copy is one load and one store.
    const auto gather = [&](auto sample) {
      runs.each(copy.out, [&](uint64_t offset, float* /*at*/) {
        std::memcpy(raw, copy.view + offset, sizeof sample);
        raw += sizeof sample;
        return true;
      });
    };
    if (bytes == 4) {
      gather(uint32_t{});
    } else if (bytes == 2) {
      gather(uint16_t{});
    } else {
      gather(uint8_t{});
    }
    convert_packed_samples(copy.out, n, runs.bits);
    return;
  }
  const size_t top = static_cast<size_t>(runs.samples) * 4 - bytes;
  runs.each(copy.out, [&](uint64_t offset, float* at) {
    std::memcpy(reinterpret_cast<uint8_t*>(at) + top, copy.view + offset, bytes);
    convert_packed_samples(at, static_cast<size_t>(runs.samples), runs.bits);
    return true;
  });
}

// Maps the plain file once; silent, as the reads fall back to read calls without it.
const uint8_t* view_of(PackedVolume& packed) {
  if (!packed.view_tried) {
    packed.view_tried = true;
    const int fd = Base::Platform::open_read_only(packed.path);
    if (fd < 0) return nullptr;
    const int64_t size = Base::Platform::mappable_size(fd);
    const void* view =
        size > 0 ? Base::Platform::map_read_only(fd, static_cast<uint64_t>(size)) : nullptr;
    Base::Platform::close_file(fd);
    if (view != nullptr) {
      packed.view = static_cast<const uint8_t*>(view);
      packed.view_size = static_cast<uint64_t>(size);
    }
  }
  return packed.view;
}

}  // namespace

bool read_packed_region(PackedVolume& packed, const VolumeFields& fields, const RegionBox& box,
                        float* out) {
  const int bits = packed.bits_per_sample;
  if (!packed.file.is_open() || (bits != 8 && bits != 16 && bits != 32)) return false;
  const Runs runs(static_cast<uint64_t>(packed.data_offset), bits, fields, box, box.y0, box.ny);
  if (!packed.file.is_gzip() && runs.samples * runs.sample_bytes < kViewRunBytes &&
      view_of(packed) != nullptr && runs.end() <= packed.view_size) {
    ViewCopy copy{&runs, packed.view, out};
    int fault = 0;
    return Base::Platform::guarded_call(copy_runs, &copy, &fault);
  }
  return read_runs(packed.file, runs, out);
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
      const Runs runs(0, 32, fields, box, next - first, static_cast<uint32_t>(stop - next));
      if (!read_runs(file, runs, out + (next - box.y0) * box.nx * box.nz)) return false;
      next = stop;
      if (next == end) return true;
    }
    first = entry_end;
  }
  return false;
}

}  // namespace QVX::VolumeFormats
