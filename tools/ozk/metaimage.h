// MetaImage export: one resolution level of an open volume as a text header (.mhd) beside
// its raw samples (.raw), the form that ITK, VTK and most desktop CT programs open.
//
// The raw file holds 32-bit little-endian floats in the order of our slices: slice after
// slice (y), each row after row (x), each row's values (z). MetaImage calls its fastest
// index axis x, so its x, y, z are our z, x, y. The header says so with
//   TransformMatrix = 0 0 1 1 0 0 0 1 0
// (row i is the world direction of index axis i: z, then x, then y; a proper rotation),
// gives ElementSpacing and DimSize per index axis (z, x, y), and Offset, the world position
// of the first sample's centre, in world order (x, y, z).
//
// Only the public interface is used here, so the tool and the benchmarks share this code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "qvx_ozk.h"

namespace QVX::Ozk {

struct MetaImageGeometry {
  std::array<uint32_t, 3> samples = {0, 0, 0};  // of the level, along x, y, z
  std::array<double, 3> spacing = {1, 1, 1};    // world distance of neighbouring samples
  std::array<double, 3> offset = {0, 0, 0};     // world position of sample (0, 0, 0)
};

// The geometry of `level`: the spacing is the volume's voxel size where it has one, else
// (vmax - vmin) / voxels along each axis, else 1, times 2^level; the offset is vmin plus
// half the spacing. False for a level the volume does not have.
bool metaimage_geometry(qvx_ozk_volume* volume, uint32_t level, MetaImageGeometry* geometry);

// The header text; `raw_name` (the raw file's name, without a directory) is its last line.
std::string metaimage_header(const MetaImageGeometry& geometry, const std::string& raw_name);

// The raw file beside a header: ".mhd" at the end (in any case) becomes ".raw"; any other
// name gets ".raw" appended.
std::string metaimage_raw_path(const std::string& header_path);

// Writes `level` of `volume` as `header_path` and its raw file, reading one plane of
// constant y at a time. Both are written under temporary names (".partial" appended) and
// renamed into place when complete, so a failure leaves neither. `after_plane` runs after
// each plane; returning false stops the export ("interrupted"). False with one line in
// `error` ("cannot write '<path>': <cause>", or the plane of `input_name` that could not be
// read).
bool write_metaimage(qvx_ozk_volume* volume, uint32_t level, const std::string& input_name,
                     const std::string& header_path, const std::function<bool()>& after_plane,
                     std::string* error);

}  // namespace QVX::Ozk
