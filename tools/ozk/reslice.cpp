// `ozk reslice`: one plane at any angle to one image file.
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {

bool parse_triple(const std::string& text, std::array<double, 3>* out) {
  std::istringstream in(text);
  char comma1 = 0, comma2 = 0;
  std::array<double, 3> value{};
  if (!(in >> value[0] >> comma1 >> value[1] >> comma2 >> value[2]) || comma1 != ',' ||
      comma2 != ',' || !(in >> std::ws).eof()) {
    return false;
  }
  for (const double d : value) {
    if (!std::isfinite(d)) return false;
  }
  *out = value;
  return true;
}

bool plane_basis(const std::array<double, 3>& normal, std::array<double, 3>* u,
                 std::array<double, 3>* v) {
  const double length = std::hypot(normal[0], normal[1], normal[2]);
  if (!(length > 0.0) || !std::isfinite(length)) return false;
  const std::array<double, 3> n{normal[0] / length, normal[1] / length, normal[2] / length};
  const auto cross = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                 a[0] * b[1] - a[1] * b[0]};
  };
  // The x axis as the helper, unless the normal lies close to it.
  const std::array<double, 3> helper =
      std::fabs(n[0]) < 0.9 ? std::array<double, 3>{1, 0, 0} : std::array<double, 3>{0, 1, 0};
  *u = cross(n, helper);
  const double u_length = std::hypot((*u)[0], (*u)[1], (*u)[2]);
  for (double& c : *u) c /= u_length;
  *v = cross(n, *u);
  return true;
}

int run_reslice(const std::string& volume_path, const std::string& output, const Reslice& plane,
                std::optional<Window> window, const Settings& /*settings*/) {
  const std::optional<ImageFormat> format = image_format_of_path(output);
  if (!format) {
    return fail(describe_failure("cannot write", output,
                                 "unknown image format (use .tif, .tif.gz, .png or .bmp)"));
  }
  std::array<double, 3> u{}, v{};
  if (!plane_basis(plane.normal, &u, &v)) return fail("the normal must not be (0, 0, 0)");
  VolumeHandle volume;
  std::string error;
  if (!volume.open(volume_path, &error)) return fail(error);
  const std::string what = "cannot resample a plane of";
  PlaneShape shape;
  if (!volume.plane_shape(Plane{'y', plane.level}, &shape)) {
    return fail(
        describe_failure(what, volume_path, missing_level_cause(volume, Plane{'y', plane.level})));
  }
  // Level coordinates are voxel coordinates over 2^level.
  const double scale = std::ldexp(1.0, -static_cast<int>(plane.level));
  const double step = (plane.spacing > 0.0 ? plane.spacing : 1.0 / scale) * scale;
  const std::array<double, 3> centre =
      plane.center ? *plane.center
                   : std::array<double, 3>{(volume.height() - 1) / 2.0, (volume.slices() - 1) / 2.0,
                                           (volume.width() - 1) / 2.0};
  double origin[3], du[3], dv[3];
  for (int a = 0; a < 3; ++a) {
    du[a] = step * u[a];
    dv[a] = step * v[a];
    // The middle sample (the lower one of an even count) lies on the centre.
    const uint32_t half_width = plane.width / 2, half_height = plane.height / 2;
    origin[a] = centre[a] * scale - static_cast<double>(half_width) * du[a] -
                static_cast<double>(half_height) * dv[a];
  }
  std::vector<float> pixels(size_t{plane.width} * plane.height);
  if (!qvx_ozk_volume_sample_plane(volume.get(), plane.level, origin, du, dv, plane.width,
                                   plane.height, 0.0f, pixels.data())) {
    return fail(describe_failure(what, volume_path, library_cause()));
  }
  const Window shown = volume.window_or(window);
  if (!save_slice_image(output, *format, pixels.data(), plane.height, plane.width, shown.first,
                        shown.second, &error)) {
    return fail(error);
  }
  return kExitOk;
}

}  // namespace QVX::Ozk
