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

 private:
  bool open_path(const std::wstring& path);

  VolumeKind kind_ = VolumeKind::None;
  VolumeFormats::PackedVolume packed_;           // packed volumes only
  std::vector<VolumeFormats::FileEntry> files_;  // header volumes only
  std::unique_ptr<CT::HRVolume> hr_volume_;      // HR volumes only
  VolumeFormats::VolumeFields fields_;
};

}  // namespace QVX::ozK
