#include "bench/ct_data.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/ozk/phantom.h"

namespace QVX::Bench {
namespace {

constexpr double kNoiseSigma = 0.01;

double centre(uint32_t i, uint32_t count) {
  return (2.0 * i + 1.0 - static_cast<double>(count)) / static_cast<double>(count);
}

uint64_t mix(uint64_t v) {
  v += 0x9E3779B97F4A7C15ull;
  v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
  v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
  return v ^ (v >> 31);
}

// The sum of four uniform variates (Irwin-Hall), close enough to a normal distribution
// for data that should compress like a real scan.
double noise(uint32_t x, uint32_t y, uint32_t z) {
  const uint64_t h = mix(uint64_t{x} | (uint64_t{y} << 21) | (uint64_t{z} << 42));
  double sum = 0;
  for (int i = 0; i < 4; ++i) sum += static_cast<double>((h >> (16 * i)) & 0xFFFF);
  // Four uniforms on [0, 1) have mean 2 and standard deviation sqrt(1/3).
  return (sum / 65536.0 - 2.0) * (kNoiseSigma / std::sqrt(1.0 / 3.0));
}

}  // namespace

void ct_slice(const Geometry& g, uint32_t y, float* out) {
  const double pz = centre(y, g.ny);
  std::vector<double> px(g.nz);
  for (uint32_t z = 0; z < g.nz; ++z) px[z] = centre(z, g.nz);
  for (uint32_t x = 0; x < g.nx; ++x) {
    const double py = -centre(x, g.nx);
    float* row = out + uint64_t{x} * g.nz;
    for (uint32_t z = 0; z < g.nz; ++z) {
      if (px[z] * px[z] + py * py > 1.0) {
        row[z] = 0.0f;
        continue;
      }
      row[z] = static_cast<float>(Ozk::shepp_logan(px[z], py, pz) + noise(x, y, z));
    }
  }
}

uint16_t to_u16(float value) {
  return static_cast<uint16_t>(std::clamp(std::lround(value * 3000.0 + 1000.0), 0l, 65535l));
}

uint8_t to_u8(float value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value * 200.0 + 20.0), 0l, 255l));
}

Ring::Ring(const Geometry& g)
    : cx(g.nx / 2.0), cy(g.ny / 2.0), inner(0.4 * g.ny - 6.0), outer(0.4 * g.ny + 6.0) {}

float Ring::voxel(uint32_t x, uint32_t y, uint32_t z) const {
  const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
  const double r2 = dx * dx + dy * dy;
  if (r2 < inner * inner || r2 > outer * outer) return 0.0f;
  return static_cast<float>(0.2 + noise(x, y, z));
}

bool Ring::meets(uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1) const {
  // Nearest and farthest points of the box from the centre, over voxel centres.
  auto axis = [](double c, double lo, double hi, double* near, double* far) {
    *near = c < lo ? lo - c : (c > hi ? c - hi : 0.0);
    *far = std::max(std::abs(c - lo), std::abs(hi - c));
  };
  double nx, fx, ny, fy;
  axis(cx, x0 + 0.5, x1 - 0.5, &nx, &fx);
  axis(cy, y0 + 0.5, y1 - 0.5, &ny, &fy);
  return nx * nx + ny * ny <= outer * outer && fx * fx + fy * fy >= inner * inner;
}

}  // namespace QVX::Bench
