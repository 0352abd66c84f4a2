// Header volumes: a tagged text header (plain or gzipped) describing a volume whose
// samples lie in separate raw float32 slice files (each plain or gzipped).
//
//   <Brevant Quill Labs Volume Header>
//     <Voxels>512 400 512</Voxels>            height (x), slices (y), width (z)
//     <DataRange>-1000 3000</DataRange>
//     <Location>
//       <Min>0 0 0</Min>  <Max>51.2 40 51.2</Max>
//     </Location>
//     <Files>
//       <Name>part1.raw</Name>  <NbSlices>200</NbSlices>
//       <Name>part2.raw</Name>  <NbSlices>200</NbSlices>
//     </Files>
//   </Brevant Quill Labs Volume Header>
//
// Slice-file names are relative to the header's directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/file/tag_reader.h"
#include "volume_formats/volume_fields.h"

namespace QVX::VolumeFormats {

inline constexpr char kHeaderVolumeTag[] = "<Brevant Quill Labs Volume Header>";
inline constexpr char kHeaderVolumeEndTag[] = "</Brevant Quill Labs Volume Header>";

// One slice file: its full path and how many slices it holds.
struct FileEntry {
  std::wstring path;
  uint32_t num_slices = 0;
};

// True when the first line of the file, trimmed, is the header tag. Logs the tag
// reader's message when the file cannot be opened.
bool sniff_header_volume(const std::wstring& path);

// Reads the header at `path` into `fields` and `files`. Fails when the file cannot be
// opened, holds no complete voxels entry at the top level of a header block, or
// describes slice files larger than 64-bit offsets reach. Throws "bad conversion" for a
// slice-file name that is not UTF-8.
bool read_volume_header(const std::wstring& path, VolumeFields& fields,
                        std::vector<FileEntry>& files);

// The same on any tagged text; slice-file names are appended to `directory`. Returns
// whether a complete voxels entry was read.
bool parse_volume_header(Base::File::TagReader& reader, const std::wstring& directory,
                         VolumeFields& fields, std::vector<FileEntry>& files);

// Reads global slice `index` from the file that holds it. False when no file holds it,
// the file cannot be opened, or it is short or damaged.
bool read_header_slice(const std::vector<FileEntry>& files, const VolumeFields& fields,
                       uint32_t index, float* out);

}  // namespace QVX::VolumeFormats
