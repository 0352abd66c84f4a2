// The integrity checks of open packed and header volumes: each file read once, whole.
#pragma once

#include <vector>

#include "base/file/stream_check.h"
#include "volume_formats/header_volume.h"
#include "volume_formats/packed_volume.h"
#include "volume_formats/volume_fields.h"

namespace QVX::VolumeFormats {

// A packed volume: its gzip stream whole (every member's CRC-32 and length) and long
// enough for every slice, or a plain file long enough. One "FAILED" entry per problem,
// naming the slices it affects; false when there is one.
bool verify_packed_volume(const PackedVolume& packed, const VolumeFields& fields,
                          Base::File::Progress::Function function, void* user);

// A header volume: every slice file there, long enough for its slices, and its gzip
// stream whole when it is compressed. One "FAILED" entry per damaged file.
bool verify_header_volume(const std::vector<FileEntry>& files, const VolumeFields& fields,
                          Base::File::Progress::Function function, void* user);

}  // namespace QVX::VolumeFormats
