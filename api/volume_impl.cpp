#include "api/volume_impl.h"

namespace QVX::ozK {
namespace {

Vec3_d to_vec3(const double (&v)[3]) { return Vec3_d(v[0], v[1], v[2]); }

}  // namespace

Vec3_d::Vec3_d() : x(0.0), y(0.0), z(0.0) {}
Vec3_d::Vec3_d(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
Vec3_d& Vec3_d::operator=(const Vec3_d& other) {
  x = other.x;
  y = other.y;
  z = other.z;
  return *this;
}
Vec3_d& Vec3_d::operator=(Vec3_d&& other) noexcept {
  x = other.x;
  y = other.y;
  z = other.z;
  return *this;
}

Volume* Volume::Create() { return new VolumeImpl(); }
Volume::Volume() = default;
Volume::Volume(const Volume&) {}
Volume& Volume::operator=(const Volume&) { return *this; }
Volume::~Volume() = default;

VolumeImpl::~VolumeImpl() { close(); }

Vec3_d VolumeImpl::vmin() { return to_vec3(fields_.vmin); }
Vec3_d VolumeImpl::vmax() { return to_vec3(fields_.vmax); }
Vec3_d VolumeImpl::voxel_size() { return to_vec3(fields_.voxel_size); }

bool VolumeImpl::close() {
  if (hr_volume_) {
    hr_volume_->hr_close();
    hr_volume_.reset();
  }
  packed_.close();
  files_.clear();
  kind_ = VolumeKind::None;
  sampled_ = false;
  fields_.clear_geometry();
  return true;
}

}  // namespace QVX::ozK
