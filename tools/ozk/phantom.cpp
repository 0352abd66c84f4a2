#include "tools/ozk/phantom.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace QVX::Ozk {
namespace {

struct Ellipsoid {
  double intensity;
  double a, b, c;          // semi-axes
  double x0, y0, z0;       // centre
  double phi, theta, psi;  // Euler angles in degrees, z-x-z
};

// The published 3D form with the modified intensities.
constexpr std::array<Ellipsoid, 10> kEllipsoids = {{
    {1.0, 0.6900, 0.920, 0.810, 0.00, 0.0000, 0.00, 0, 0, 0},
    {-0.8, 0.6624, 0.874, 0.780, 0.00, -0.0184, 0.00, 0, 0, 0},
    {-0.2, 0.1100, 0.310, 0.220, 0.22, 0.0000, 0.00, -18, 0, 10},
    {-0.2, 0.1600, 0.410, 0.280, -0.22, 0.0000, 0.00, 18, 0, 10},
    {0.1, 0.2100, 0.250, 0.410, 0.00, 0.3500, -0.15, 0, 0, 0},
    {0.1, 0.0460, 0.046, 0.050, 0.00, 0.1000, 0.25, 0, 0, 0},
    {0.1, 0.0460, 0.046, 0.050, 0.00, -0.1000, 0.25, 0, 0, 0},
    {0.1, 0.0460, 0.023, 0.050, -0.08, -0.6050, 0.00, 0, 0, 0},
    {0.1, 0.0230, 0.023, 0.020, 0.00, -0.6060, 0.00, 0, 0, 0},
    {0.1, 0.0230, 0.046, 0.020, 0.06, -0.6050, 0.00, 0, 0, 0},
}};

// An ellipsoid ready for tests: the rows of `axis` are its axes in phantom space, scaled by
// the inverse semi-axes, so a point p is inside when |axis (p - centre)| <= 1; `extent`
// bounds it per axis, to skip whole rows and slices.
struct Prepared {
  double intensity;
  double centre[3];
  double axis[3][3];
  double extent[3];
};

std::array<Prepared, 10> prepare() {
  std::array<Prepared, 10> out{};
  for (size_t k = 0; k < kEllipsoids.size(); ++k) {
    const Ellipsoid& e = kEllipsoids[k];
    const double to_rad = std::numbers::pi / 180.0;
    const double cf = std::cos(e.phi * to_rad), sf = std::sin(e.phi * to_rad);
    const double ct = std::cos(e.theta * to_rad), st = std::sin(e.theta * to_rad);
    const double cp = std::cos(e.psi * to_rad), sp = std::sin(e.psi * to_rad);
    const double rotation[3][3] = {{cp * cf - ct * sf * sp, cp * sf + ct * cf * sp, sp * st},
                                   {-sp * cf - ct * sf * cp, -sp * sf + ct * cf * cp, cp * st},
                                   {st * sf, -st * cf, ct}};
    const double semi[3] = {e.a, e.b, e.c};
    Prepared& p = out[k];
    p.intensity = e.intensity;
    p.centre[0] = e.x0;
    p.centre[1] = e.y0;
    p.centre[2] = e.z0;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) p.axis[i][j] = rotation[i][j] / semi[i];
    }
    for (int j = 0; j < 3; ++j) {
      double sum = 0;
      for (int i = 0; i < 3; ++i) sum += (rotation[i][j] * semi[i]) * (rotation[i][j] * semi[i]);
      p.extent[j] = std::sqrt(sum);
    }
  }
  return out;
}

const std::array<Prepared, 10>& ellipsoids() {
  static const std::array<Prepared, 10> prepared = prepare();
  return prepared;
}

bool inside(const Prepared& e, double x, double y, double z) {
  const double d[3] = {x - e.centre[0], y - e.centre[1], z - e.centre[2]};
  double sum = 0;
  for (const auto& row : e.axis) {
    const double u = row[0] * d[0] + row[1] * d[1] + row[2] * d[2];
    sum += u * u;
  }
  return sum <= 1.0;
}

// Symmetric about 0 exactly: the integer's sign flips, the division rounds alike.
double centre(uint32_t i, uint32_t size) {
  return (2.0 * i + 1.0 - static_cast<double>(size)) / static_cast<double>(size);
}

}  // namespace

double shepp_logan(double x, double y, double z) {
  double value = 0;
  for (const Prepared& e : ellipsoids()) {
    if (inside(e, x, y, z)) value += e.intensity;
  }
  return std::clamp(value, 0.0, 1.0);
}

void phantom_slice(uint32_t size, uint32_t index, float* out) {
  const double z = centre(index, size);
  // Summed in double as shepp_logan() does, so a voxel equals the point's value.
  std::vector<double> line(size);
  std::array<const Prepared*, 10> meeting{};
  size_t count = 0;
  for (const Prepared& e : ellipsoids()) {
    if (std::abs(z - e.centre[2]) <= e.extent[2]) meeting[count++] = &e;
  }
  for (uint32_t row = 0; row < size; ++row) {
    const double y = -centre(row, size);
    std::fill(line.begin(), line.end(), 0.0);
    for (size_t k = 0; k < count; ++k) {
      const Prepared& e = *meeting[k];
      if (std::abs(y - e.centre[1]) > e.extent[1]) continue;
      for (uint32_t column = 0; column < size; ++column) {
        const double x = centre(column, size);
        if (inside(e, x, y, z)) line[column] += e.intensity;
      }
    }
    float* target = out + size_t{row} * size;
    for (uint32_t column = 0; column < size; ++column) {
      target[column] = static_cast<float>(std::clamp(line[column], 0.0, 1.0));
    }
  }
}

}  // namespace QVX::Ozk
