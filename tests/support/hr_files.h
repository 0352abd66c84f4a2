// Writing HR fixtures for the HR tests: a volume with distinct values along every axis,
// written with the HR writer and read back through the library.
#pragma once

#include <cstdint>
#include <string>

#include "tools/hr_writer/hr_writer.h"

namespace QVX::TestSupport {

// Differs along every axis, so a voxel read from the wrong place shows.
inline float hr_voxel(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x) + 1000.0f * static_cast<float>(y) +
         0.001953125f * static_cast<float>(z);
}

inline QVX::Tools::HRWriteOptions hr_options(uint32_t nx, uint32_t ny, uint32_t nz,
                                             uint32_t version = 4) {
  QVX::Tools::HRWriteOptions options;
  options.version = version;
  options.resolution = {nx, ny, nz};
  options.voxel = hr_voxel;
  return options;
}

}  // namespace QVX::TestSupport
