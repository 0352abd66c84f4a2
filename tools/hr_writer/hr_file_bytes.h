// What both HR writers share: the record sizes of the file, little-endian stores, and the
// 2x2x2 reduction of coarser bricks. One reduction for both, so they round alike and
// write identical bricks.
#pragma once

#include <bit>
#include <cstdint>

namespace QVX::Tools::HRBytes {

inline constexpr char kMagic[8] = {'Q', 'V', 'X', 'H', 'R', 'V', 'O', 'L'};
inline constexpr uint32_t kBrickEdge = 32;
inline constexpr uint32_t kBrickSamples = kBrickEdge * kBrickEdge * kBrickEdge;
inline constexpr uint64_t kBrickDataBytes = 4 * uint64_t{kBrickSamples};
inline constexpr uint64_t kBrickRecordBytes = kBrickDataBytes + 4;  // samples, checksum word
inline constexpr uint64_t kNodeRecordBytes = 20;  // child_flag u32, brick_offset u64, min, max f32
inline constexpr uint64_t kTileBytes = 12 + 8 * kNodeRecordBytes;  // parent code, 8 records

inline void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_f32(uint8_t* p, float v) { put_u32(p, std::bit_cast<uint32_t>(v)); }
inline void put_f64(uint8_t* p, double v) { put_u64(p, std::bit_cast<uint64_t>(v)); }

// Octant i of `parent` from the 32^3 samples of child i: each sample the mean of 8, summed
// in double in the order x fastest, then y, then z. The order is part of the file.
inline void reduce_into(const float* child, uint32_t i, float* parent) {
  constexpr uint32_t half = kBrickEdge / 2, row = kBrickEdge, plane = kBrickEdge * kBrickEdge;
  const uint32_t ox = (i & 1) * half, oy = ((i >> 1) & 1) * half, oz = ((i >> 2) & 1) * half;
  for (uint32_t z = 0; z < half; ++z) {
    for (uint32_t y = 0; y < half; ++y) {
      for (uint32_t x = 0; x < half; ++x) {
        const float* q = child + 2 * x + row * 2 * y + plane * 2 * z;
        double sum = q[0];
        sum += q[1];
        sum += q[row];
        sum += q[row + 1];
        sum += q[plane];
        sum += q[plane + 1];
        sum += q[plane + row];
        sum += q[plane + row + 1];
        parent[(ox + x) + row * (oy + y) + plane * (oz + z)] = static_cast<float>(sum / 8.0);
      }
    }
  }
}

}  // namespace QVX::Tools::HRBytes
