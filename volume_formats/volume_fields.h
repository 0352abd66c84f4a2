// The description of an open volume that every reader fills and the volume handle
// reports.
#pragma once

#include <cstdint>
#include <string>

namespace QVX::VolumeFormats {

struct VolumeFields {
  uint32_t width = 0;       // samples per slice row (z)
  uint32_t height = 0;      // rows per slice (x)
  uint32_t num_slices = 0;  // slices (y)
  double vmin[3] = {};      // minimum corner (x, y, z)
  double vmax[3] = {};      // maximum corner
  double voxel_size[3] = {};
  // A range with data_min above data_max (as at start) means that none is known.
  double data_min = 1.0;
  double data_max = 0.0;

  // Back to the closed state; the data range survives, as callers rely on.
  void clear_geometry();
};

// Refuses (with a "FAILED" log entry naming `path`) a volume whose slices of
// `bytes_per_sample` bytes, `slices` of them after `base_offset`, cannot be addressed with
// 64-bit file offsets.
bool check_addressable(const VolumeFields& fields, uint64_t bytes_per_sample, uint64_t slices,
                       uint64_t base_offset, const std::wstring& path);

}  // namespace QVX::VolumeFormats
