// Packed volumes: a line-oriented text header, then the raw 8-, 16- or 32-bit samples of
// all slices, the whole possibly gzip-compressed.
//
//   # QVX v2.0 Packed Volume
//   Voxels: 512 400 512          height (x), slices (y), width (z)
//   Min: 0 0 0 / Max: 51.2 40 51.2
//   BitsPerSample: 16
//   SweepDirection: 1            must be 1 for the file to open
//   DisplayRange: 0 1
//   3DView ... End3DView         tagged text; its colour table gives the data range
//   </content>
//   <samples, little-endian, slice after slice>
#pragma once

#include <cstdint>
#include <string>

#include "base/file/random_access.h"
#include "volume_formats/volume_fields.h"

namespace QVX::VolumeFormats {

inline constexpr char kPackedVolumeMagic[] = "# QVX Packed Volume";
inline constexpr char kPackedVolumeMagicV2[] = "# QVX v2.0 Packed Volume";
// Header lines are read with this limit (gzgets rules), so at most 2799 characters at once.
inline constexpr int kPackedLineLimit = 2800;

// Samples scale into 0..1 by multiplication: 255 and 65535 give exactly 1.0.
inline constexpr float kScale8 = 0.003921569f;     // nearest float to 1/255
inline constexpr float kScale16 = 1.5259022e-05f;  // nearest float to 1/65535

// What an open packed volume keeps for slice reading: a plain file is read with one
// positioned read per slice, a gzip file through its index of access points.
struct PackedVolume {
  PackedVolume() = default;
  ~PackedVolume() { close(); }
  PackedVolume(const PackedVolume&) = delete;
  PackedVolume& operator=(const PackedVolume&) = delete;

  Base::File::RandomAccessFile file;
  int32_t bits_per_sample = 0;  // 8, 16 or 32; anything else makes every read fail
  int64_t data_offset = 0;      // decompressed position of slice 0's first sample
  std::wstring path;            // of the open file
  // A read-only view of a plain file, made by the first region read that gathers short
  // runs (region_read.cpp) and kept until close; null when not made or not possible.
  const uint8_t* view = nullptr;
  uint64_t view_size = 0;
  bool view_tried = false;

  void close();
};

// Converts `count` samples of `bits` (8, 16 or 32) that lie, little-endian, in the last
// count * bits / 8 bytes of `out` into floats over the whole of `out`.
void convert_packed_samples(float* out, size_t count, int bits);

// True when the first line of the (plain or gzipped) file is one of the two magic lines,
// ignoring trailing carriage returns and line feeds.
bool sniff_packed_volume(const std::wstring& path);

// Reads the header into `fields` and leaves `packed` open at the data. The fields are
// written as entries are read, so a failed read leaves what it had found. Fails when the
// file ends before "</content>", lacks a complete voxels entry or a sweep direction of 1,
// or describes more data than 64-bit offsets reach.
bool read_packed_header(const std::wstring& path, VolumeFields& fields, PackedVolume& packed);

// Reads slice `index` (< fields.num_slices) as floats into `out` (width x height).
// False on a short or damaged data area or an unknown sample width.
bool read_packed_slice(PackedVolume& packed, const VolumeFields& fields, uint32_t index,
                       float* out);

// Reads `count` samples of `bits` (8, 16 or 32) from the data position `offset` as floats
// into `out`. False on a short or damaged data area or an unknown sample width.
bool read_packed_samples(Base::File::RandomAccessFile& file, uint64_t offset, int bits,
                         size_t count, float* out);

// The rules of the header entries, on text; read_packed_header feeds them line by line.
class PackedHeader {
 public:
  PackedHeader(VolumeFields& fields, int32_t& bits_per_sample)
      : fields_(fields), bits_per_sample_(bits_per_sample) {}

  // One trimmed header line holding a colon: "key: value".
  void apply_entry(const char* line);
  // The text of one 3D view section, one tagged line per line.
  void apply_3d_view(const std::string& text);
  // At "</content>": whether the header is complete; fills in the data range from the
  // display range when none is known.
  bool finish();

 private:
  VolumeFields& fields_;
  int32_t& bits_per_sample_;
  bool voxels_read_ = false;
  bool sweep_flag_ = false;
  double display_range_[2] = {0.0, 0.0};
};

}  // namespace QVX::VolumeFormats
