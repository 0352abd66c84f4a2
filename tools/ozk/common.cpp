// Failure lines and the volume handle the commands share.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {

bool flush_output(int* code) {
  static int first_error = -1;  // -1: none yet
  errno = 0;
  std::cout.flush();
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout.good();
  if (failed && first_error < 0) first_error = errno;
  if (code != nullptr) *code = first_error < 0 ? 0 : first_error;
  return first_error < 0;
}

int fail(const std::string& message) {
  flush_output();
  std::cerr << "ozk: " << message << '\n';
  std::cerr.flush();
  return kExitFailure;
}

std::string describe_failure(const std::string& what, const std::string& path,
                             const std::string& cause) {
  return what + " '" + path + "': " + cause;
}

std::string out_of_range_cause(uint32_t slices) {
  if (slices == 0) return "out of range (the volume has no slices)";
  return "out of range (the volume has " + std::to_string(slices) + " slices, 0 to " +
         std::to_string(slices - 1) + ")";
}

std::string out_of_range_cause(uint32_t count, const Plane& plane) {
  if (plane.axis == 'y' && plane.level == 0) return out_of_range_cause(count);
  const std::string planes = std::string(1, plane.axis) + "-planes";
  if (count == 0) return "out of range (level " + std::to_string(plane.level) + " has none)";
  return "out of range (level " + std::to_string(plane.level) + " has " + std::to_string(count) +
         " " + planes + ", 0 to " + std::to_string(count - 1) + ")";
}

std::string missing_level_cause(const VolumeHandle& volume, const Plane& plane) {
  uint32_t levels = 0;
  if (volume.get() != nullptr) qvx_ozk_volume_num_levels(volume.get(), &levels);
  return "no level " + std::to_string(plane.level) + " (the volume has " + std::to_string(levels) +
         (levels == 1 ? " level, 0)" : " levels, 0 to " + std::to_string(levels - 1) + ")");
}

VolumeHandle::VolumeHandle() : volume_(qvx_ozk_volume_create()) {}

VolumeHandle::~VolumeHandle() {
  if (volume_ != nullptr) qvx_ozk_volume_close(volume_);
  qvx_ozk_volume_delete(volume_);
}

bool VolumeHandle::open(const std::string& path, std::string* error) {
  if (volume_ != nullptr && qvx_ozk_volume_open(volume_, path.c_str())) return true;
  const std::string cause = volume_ == nullptr ? "out of memory" : library_cause();
  if (error != nullptr) *error = describe_failure("cannot open", path, cause);
  return false;
}

uint32_t VolumeHandle::width() const {
  uint32_t value = 0;
  if (volume_ != nullptr) qvx_ozk_volume_slice_width(volume_, &value);
  return value;
}

uint32_t VolumeHandle::height() const {
  uint32_t value = 0;
  if (volume_ != nullptr) qvx_ozk_volume_slice_height(volume_, &value);
  return value;
}

uint32_t VolumeHandle::slices() const {
  uint32_t value = 0;
  if (volume_ != nullptr) qvx_ozk_volume_num_slices(volume_, &value);
  return value;
}

uint32_t VolumeHandle::kind() const {
  uint32_t value = QVX_OZK_KIND_NONE;
  if (volume_ != nullptr) qvx_ozk_volume_kind(volume_, &value);
  return value;
}

double VolumeHandle::data_min() const {
  double value = 1.0;
  if (volume_ != nullptr) qvx_ozk_volume_data_min(volume_, &value);
  return value;
}

double VolumeHandle::data_max() const {
  double value = 0.0;
  if (volume_ != nullptr) qvx_ozk_volume_data_max(volume_, &value);
  return value;
}

std::pair<double, double> VolumeHandle::window_or(
    const std::optional<std::pair<double, double>>& chosen) const {
  if (chosen) return *chosen;
  if (data_min() < data_max()) return {data_min(), data_max()};
  return {1.0, -1.0};
}

bool VolumeHandle::read_slice(uint32_t index, float* out) const {
  return volume_ != nullptr && qvx_ozk_volume_read_slice(volume_, out, index);
}

bool VolumeHandle::plane_shape(const Plane& plane, PlaneShape* shape) const {
  uint32_t width = 0, height = 0, slices = 0;
  if (volume_ == nullptr ||
      !qvx_ozk_volume_level_shape(volume_, plane.level, &width, &height, &slices)) {
    return false;
  }
  switch (plane.axis) {
    case 'x':
      *shape = {height, slices, width};
      return true;
    case 'z':
      *shape = {width, slices, height};
      return true;
    default:
      *shape = {slices, height, width};
      return true;
  }
}

bool VolumeHandle::read_plane(const Plane& plane, uint32_t index, float* out) const {
  // The slices themselves keep the path every earlier version of the tool read them by.
  if (plane.axis == 'y' && plane.level == 0) return read_slice(index, out);
  uint32_t n[3] = {};  // x, y, z
  if (volume_ == nullptr ||
      !qvx_ozk_volume_level_shape(volume_, plane.level, &n[2], &n[0], &n[1])) {
    return false;
  }
  uint32_t first[3] = {};
  const int axis = plane.axis - 'x';
  first[axis] = index;
  n[axis] = 1;
  return qvx_ozk_volume_read_region(volume_, plane.level, first[0], first[1], first[2], n[0], n[1],
                                    n[2], out);
}

std::string plane_name(const Plane& plane, uint32_t index) {
  if (plane.axis == 'y' && plane.level == 0) return "slice " + std::to_string(index);
  return std::string(1, plane.axis) + "-plane " + std::to_string(index) + " of level " +
         std::to_string(plane.level);
}

}  // namespace QVX::Ozk
