// The one implementation of QVX::ozK::Volume.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ct/hr_volume.h"
#include "qvx_ozk.h"
#include "volume_formats/header_volume.h"
#include "volume_formats/packed_volume.h"
#include "volume_formats/volume_fields.h"

namespace QVX::ozK {

enum class VolumeKind : uint32_t { Packed = 0, Header = 1, HR = 2, None = 3 };

class VolumeImpl final : public Volume {
 public:
  VolumeImpl() = default;
  ~VolumeImpl() override;
  VolumeImpl(const VolumeImpl&) = delete;
  VolumeImpl& operator=(const VolumeImpl&) = delete;

  uint32_t slice_width() override { return fields_.width; }
  uint32_t slice_height() override { return fields_.height; }
  uint32_t num_slices() override { return fields_.num_slices; }
  Vec3_d vmin() override;
  Vec3_d vmax() override;
  Vec3_d voxel_size() override;
  double data_min() override { return fields_.data_min; }
  double data_max() override { return fields_.data_max; }

  bool open(const wchar_t* path) override;               // volume_open.cpp
  bool open(const char* path) override;                  // volume_open.cpp
  bool read_slice(float* out, uint32_t index) override;  // slice_read.cpp
  bool close() override;

  VolumeKind kind() const { return kind_; }

  // Facts of the stored data for the C interface's getters (volume_facts.cpp); each fails
  // with a "FAILED" entry when nothing (or no volume of the kind it asks about) is open.
  bool bits_per_sample(uint32_t* bits) const;
  bool hr_version(uint32_t* version) const;
  bool compressed(bool* compressed) const;
  uint32_t num_slice_files() const { return static_cast<uint32_t>(files_.size()); }
  bool slice_file(uint32_t index, char* path, size_t capacity, size_t* needed,
                  uint32_t* num_slices) const;
  bool slices_stored(uint32_t* slices) const;

  // The integrity check of the open volume (volume_verify.cpp).
  bool verify(void (*progress)(void* user, uint32_t percent), void* user);

  // The resolution levels and region reads of the C interface (region_read.cpp); the
  // shape is width (z), height (x), slices (y).
  uint32_t num_levels() const;
  bool level_shape(uint32_t level, uint32_t* width, uint32_t* height, uint32_t* num_slices) const;
  bool read_region(uint32_t level, const uint32_t (&origin)[3], const uint32_t (&size)[3],
                   float* out);
  // Planes through a level (plane_sample.cpp): the C interface's sample_plane and
  // set_cache_size.
  bool sample_plane(uint32_t level, const double* origin, const double* u, const double* v,
                    uint32_t width, uint32_t height, float outside, float* out);
  bool set_cache_size(uint64_t bytes);

 private:
  bool open_path(const std::wstring& path);
  bool read_slice_of_kind(float* out, uint32_t index);
  // Samples of a level along x, y, z; the level exists.
  void level_extent(uint32_t level, uint32_t (&extent)[3]) const;

  VolumeKind kind_ = VolumeKind::None;
  std::wstring path_;                            // of the open volume
  VolumeFormats::PackedVolume packed_;           // packed volumes only
  std::vector<VolumeFormats::FileEntry> files_;  // header volumes only
  std::unique_ptr<CT::HRVolume> hr_volume_;      // HR volumes only
  VolumeFormats::VolumeFields fields_;
  bool sampled_ = false;  // a plane has been sampled since the open
};

}  // namespace QVX::ozK
