// CT-like samples for the benchmark volumes: the head phantom of the ozk tool (values 0..1,
// skull 1, brain 0.2) sampled on any grid, with Gaussian-like noise inside the
// reconstruction circle and exact zeros outside it, as reconstructions deliver them.
// Every voxel is a pure function of its position, so a slice can be recomputed to check
// what a reader returns.
#pragma once

#include <cstdint>

#include "bench/data_sets.h"

namespace QVX::Bench {

// Slice y of a volume of geometry g, in the library's layout (nx rows of nz floats).
// Phantom space is mapped as the ozk tool maps it: slice y at phantom z, row x at
// phantom -y, column z at phantom x, each running over [-1, 1] at voxel centres.
void ct_slice(const Geometry& g, uint32_t y, float* out);

// The stored forms of a sample: 16-bit as a 12-bit-like scanner range (0 at 1000, 1 at
// 4000) and 8-bit (0 at 20, 1 at 220), rounded and clamped.
uint16_t to_u16(float value);
uint8_t to_u8(float value);

// The sparse volume (sparse_geometry): zero except a thin noisy ring in the x-y plane,
// through every z.
struct Ring {
  explicit Ring(const Geometry& g);
  float voxel(uint32_t x, uint32_t y, uint32_t z) const;
  // True when the box [x0, x1) x [y0, y1) (any z) holds a voxel of the ring.
  bool meets(uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1) const;

  double cx, cy, inner, outer;
};

}  // namespace QVX::Bench
