// The 3D Shepp-Logan head phantom, the standard test object of CT: ten ellipsoids whose
// intensities add up, with the higher-contrast ("modified") intensities, so values lie in
// 0..1: 1 for the skull, 0.2 for the brain, 0 outside the head and in the ventricles.
//
// Phantom space is the cube [-1, 1]^3 with the head's axis along z. A volume of N^3 voxels
// samples it at voxel centres, (2i + 1 - N) / N along each axis, and maps it to the
// library's layout so that every slice is an axial cross-section that looks as the
// phantom is usually drawn: slice y (of N) lies at z = centre(y), bottom of the head
// first; row x at y = -centre(x), top row first; column z at x = centre(z), left first.
#pragma once

#include <cstdint>

namespace QVX::Ozk {

// The phantom's value at a point of phantom space, clamped to 0..1.
double shepp_logan(double x, double y, double z);

// Slice `index` (< size) of the size^3 phantom into `out`: size rows of size floats.
void phantom_slice(uint32_t size, uint32_t index, float* out);

}  // namespace QVX::Ozk
