// Copying planes and boxes of an HR volume straight out of the bricks of the mapped file:
// no lock, no allocation, only the bricks that meet the box are touched.
#pragma once

#include <cstdint>

#include "ct/hr_volume.h"

namespace QVX::Math {
class Matrix_f;
}

namespace QVX::CT {

struct NodeLocation {
  const HRNode* node = nullptr;
  uint32_t depth = 0;
  uint32_t code[3] = {0, 0, 0};  // the node's index along x, y, z among its depth
};

// Descends from the root towards `level` to the node that holds `position` (finest-level
// voxels); stops early where the tree ends. Never null: at worst the root. A position
// past a node's upper end goes to the upper child.
NodeLocation locate_node(const HRVolume& volume, const HRVec3u& position, uint32_t level);
inline const HRNode* find_node(const HRVolume& volume, const HRVec3u& position, uint32_t level) {
  return locate_node(volume, position, level).node;
}

// How the plane of a whole brick is transposed into the output. Every kernel gives the
// same bits; they differ only in speed. Best is the fastest one this processor runs; the
// others are there so that tests can hold each one against the portable Scalar kernel.
enum class PlaneKernel { Best, Scalar, Sse2, Avx2 };

// True when `kernel` was built in and this processor runs it (Best and Scalar always).
bool plane_kernel_available(PlaneKernel kernel);

// `level` and `depth` below are depths of the tree (0 the root); the public resolution
// levels count the other way (region_extract.h).
// How a sample of depth `level` is found (the rule of every read below): from the brick
// of the node of that depth that holds it; where the tree stops above that depth, from
// the leaf's brick, upsampled (nearest neighbour); where the node of that depth has no
// brick but has children, from the first node below it, on the way to the sample's
// first voxel, that has a brick; 0.0 where no brick holds it.

// Copies the plane y = origin.y of the box at `origin` with `size` (voxels of depth
// `level`; origin.x and origin.z multiples of 32; size.y ignored) into `matrix`: element
// (r, c) is voxel (origin.x + r, origin.y, origin.z + c). False, after a "FAILED to read
// brick at offset <offset> (<code>)" line, when a brick needed lies beyond the end of the
// file or the mapping faults; also, with a "FAILED to extract region" line, for a level
// deeper than max_depth, an origin off the brick grid, a box beyond the root's cube or a
// matrix smaller than the box. A kernel that is not available falls back to Scalar.
bool extract_region(const HRVolume& volume, Math::Matrix_f& matrix, const HRVec3u& origin,
                    const HRVec3u& size, uint32_t level, PlaneKernel kernel = PlaneKernel::Best);

// Copies the box at `origin` with `size` (voxels of depth `depth`, anywhere inside the
// root's cube) into `out`: voxel (x, y, z) at
// out[((y - origin.y) * size.x + (x - origin.x)) * size.z + (z - origin.z)]; the caller
// makes sure that size.x * size.y * size.z floats fit in memory. An empty box reads
// nothing. Fails as extract_region does, and for a null `out`.
bool extract_box(const HRVolume& volume, float* out, const HRVec3u& origin, const HRVec3u& size,
                 uint32_t depth, PlaneKernel kernel = PlaneKernel::Best);

// Slice `index` (the plane y = index) at the finest level into `out`, resolution.x rows
// of resolution.z floats. False for an index beyond the volume.
bool read_hr_slice(const HRVolume& volume, float* out, uint32_t index);

}  // namespace QVX::CT
