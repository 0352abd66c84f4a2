// The C face of the library: each function forwards to the volume object, and no
// exception crosses into the calling program.
#include "api/c_boundary.h"
#include "api/volume_impl.h"
#include "base/log_file.h"

namespace {

using QVX::ozK::guarded;
using QVX::ozK::guarded_void;
using QVX::ozK::Volume;
using QVX::ozK::VolumeImpl;

void store(const QVX::ozK::Vec3_d& v, double* x, double* y, double* z) {
  *x = v.x;
  *y = v.y;
  *z = v.z;
}

}  // namespace

extern "C" {

qvx_ozk_volume* qvx_ozk_volume_create(void) {
  return guarded("qvx_ozk_volume_create", static_cast<Volume*>(nullptr),
                 [] { return Volume::Create(); });
}

void qvx_ozk_volume_delete(qvx_ozk_volume* volume) {
  guarded_void("qvx_ozk_volume_delete", [&] { delete volume; });
}

// Opening closes first; doing it before the path is converted leaves the handle closed
// when the conversion fails, as after any other failed open.
bool qvx_ozk_volume_open(qvx_ozk_volume* volume, const char* path) {
  return guarded("qvx_ozk_volume_open", false, [&] {
    volume->close();
    return volume->open(path);
  });
}

bool qvx_ozk_volume_wopen(qvx_ozk_volume* volume, const wchar_t* path) {
  return guarded("qvx_ozk_volume_wopen", false, [&] { return volume->open(path); });
}

void qvx_ozk_volume_slice_width(qvx_ozk_volume* volume, uint32_t* width) {
  guarded_void("qvx_ozk_volume_slice_width", [&] { *width = volume->slice_width(); });
}

void qvx_ozk_volume_slice_height(qvx_ozk_volume* volume, uint32_t* height) {
  guarded_void("qvx_ozk_volume_slice_height", [&] { *height = volume->slice_height(); });
}

void qvx_ozk_volume_num_slices(qvx_ozk_volume* volume, uint32_t* num_slices) {
  guarded_void("qvx_ozk_volume_num_slices", [&] { *num_slices = volume->num_slices(); });
}

void qvx_ozk_volume_vmin(qvx_ozk_volume* volume, double* x, double* y, double* z) {
  guarded_void("qvx_ozk_volume_vmin", [&] { store(volume->vmin(), x, y, z); });
}

void qvx_ozk_volume_vmax(qvx_ozk_volume* volume, double* x, double* y, double* z) {
  guarded_void("qvx_ozk_volume_vmax", [&] { store(volume->vmax(), x, y, z); });
}

void qvx_ozk_volume_voxel_size(qvx_ozk_volume* volume, double* x, double* y, double* z) {
  guarded_void("qvx_ozk_volume_voxel_size", [&] { store(volume->voxel_size(), x, y, z); });
}

void qvx_ozk_volume_data_min(qvx_ozk_volume* volume, double* data_min) {
  guarded_void("qvx_ozk_volume_data_min", [&] { *data_min = volume->data_min(); });
}

void qvx_ozk_volume_data_max(qvx_ozk_volume* volume, double* data_max) {
  guarded_void("qvx_ozk_volume_data_max", [&] { *data_max = volume->data_max(); });
}

bool qvx_ozk_volume_read_slice(qvx_ozk_volume* volume, float* out, uint32_t index) {
  return guarded("qvx_ozk_volume_read_slice", false,
                 [&] { return volume->read_slice(out, index); });
}

bool qvx_ozk_volume_close(qvx_ozk_volume* volume) {
  return guarded("qvx_ozk_volume_close", false, [&] { return volume->close(); });
}

// Every handle the library gives out is a VolumeImpl, which also answers the extensions
// that follow.
void qvx_ozk_volume_kind(qvx_ozk_volume* volume, uint32_t* kind) {
  guarded_void("qvx_ozk_volume_kind",
               [&] { *kind = static_cast<uint32_t>(static_cast<VolumeImpl*>(volume)->kind()); });
}

const char* qvx_ozk_kind_name(uint32_t kind) {
  switch (kind) {
    case QVX_OZK_KIND_PACKED:
      return "packed";
    case QVX_OZK_KIND_HEADER:
      return "header";
    case QVX_OZK_KIND_HR:
      return "hr";
    default:
      return "none";
  }
}

bool qvx_ozk_volume_bits_per_sample(qvx_ozk_volume* volume, uint32_t* bits) {
  return guarded("qvx_ozk_volume_bits_per_sample", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->bits_per_sample(bits); });
}

bool qvx_ozk_volume_hr_version(qvx_ozk_volume* volume, uint32_t* version) {
  return guarded("qvx_ozk_volume_hr_version", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->hr_version(version); });
}

bool qvx_ozk_volume_compressed(qvx_ozk_volume* volume, bool* compressed) {
  return guarded("qvx_ozk_volume_compressed", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->compressed(compressed); });
}

void qvx_ozk_volume_num_slice_files(qvx_ozk_volume* volume, uint32_t* count) {
  guarded_void("qvx_ozk_volume_num_slice_files",
               [&] { *count = static_cast<VolumeImpl*>(volume)->num_slice_files(); });
}

bool qvx_ozk_volume_slice_file(qvx_ozk_volume* volume, uint32_t index, char* path, size_t capacity,
                               size_t* needed, uint32_t* num_slices) {
  return guarded("qvx_ozk_volume_slice_file", false, [&] {
    return static_cast<VolumeImpl*>(volume)->slice_file(index, path, capacity, needed, num_slices);
  });
}

bool qvx_ozk_volume_slices_stored(qvx_ozk_volume* volume, uint32_t* slices) {
  return guarded("qvx_ozk_volume_slices_stored", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->slices_stored(slices); });
}

void qvx_ozk_volume_num_levels(qvx_ozk_volume* volume, uint32_t* num_levels) {
  guarded_void("qvx_ozk_volume_num_levels",
               [&] { *num_levels = static_cast<VolumeImpl*>(volume)->num_levels(); });
}

bool qvx_ozk_volume_level_shape(qvx_ozk_volume* volume, uint32_t level, uint32_t* width,
                                uint32_t* height, uint32_t* num_slices) {
  return guarded("qvx_ozk_volume_level_shape", false, [&] {
    return static_cast<VolumeImpl*>(volume)->level_shape(level, width, height, num_slices);
  });
}

bool qvx_ozk_volume_read_region(qvx_ozk_volume* volume, uint32_t level, uint32_t x0, uint32_t y0,
                                uint32_t z0, uint32_t nx, uint32_t ny, uint32_t nz, float* out) {
  return guarded("qvx_ozk_volume_read_region", false, [&] {
    return static_cast<VolumeImpl*>(volume)->read_region(level, {x0, y0, z0}, {nx, ny, nz}, out);
  });
}

bool qvx_ozk_volume_verify(qvx_ozk_volume* volume, void (*progress)(void* user, uint32_t percent),
                           void* user) {
  return guarded("qvx_ozk_volume_verify", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->verify(progress, user); });
}

bool qvx_ozk_volume_sample_plane(qvx_ozk_volume* volume, uint32_t level, const double origin[3],
                                 const double u[3], const double v[3], uint32_t width,
                                 uint32_t height, float outside, float* out) {
  return guarded("qvx_ozk_volume_sample_plane", false, [&] {
    return static_cast<VolumeImpl*>(volume)->sample_plane(level, origin, u, v, width, height,
                                                          outside, out);
  });
}

bool qvx_ozk_volume_set_cache_size(qvx_ozk_volume* volume, uint64_t bytes) {
  return guarded("qvx_ozk_volume_set_cache_size", false,
                 [&] { return static_cast<VolumeImpl*>(volume)->set_cache_size(bytes); });
}

void qvx_ozk_log_to_stdout(void) {
  guarded_void("qvx_ozk_log_to_stdout", [] { QVX::Base::log_use_standard_output(); });
}

void qvx_ozk_log_to_stderr(void) {
  guarded_void("qvx_ozk_log_to_stderr", [] { QVX::Base::log_use_standard_error(); });
}

// A null path is a request for no file, which the log treats like the empty one: the
// default stream and false.
bool qvx_ozk_log_to_file(const char* path) {
  return guarded("qvx_ozk_log_to_file", false,
                 [&] { return QVX::Base::log_set_file(path != nullptr ? path : ""); });
}

void qvx_ozk_log_to_callback(void (*fn)(void* user, const char* entry), void* user) {
  guarded_void("qvx_ozk_log_to_callback", [&] { QVX::Base::log_use_callback(fn, user); });
}

const char* qvx_ozk_last_error(void) { return QVX::Base::last_failure_text(); }

int qvx_ozk_last_error_errno(void) { return QVX::Base::last_failure_code(); }

#define QVX_OZK_STRINGIFY2(x) #x
#define QVX_OZK_STRINGIFY(x) QVX_OZK_STRINGIFY2(x)

const char* qvx_ozk_version(void) {
  return QVX_OZK_STRINGIFY(QVX_OZK_VERSION_MAJOR) "." QVX_OZK_STRINGIFY(
      QVX_OZK_VERSION_MINOR) "." QVX_OZK_STRINGIFY(QVX_OZK_VERSION_PATCH);
}

}  // extern "C"
