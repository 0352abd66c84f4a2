#include "ct/slice_extract.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/endian.h"
#include "base/log.h"
#include "base/platform.h"
#include "math/matrix.h"

namespace QVX::CT {
namespace {

constexpr uint32_t kBlock = 8;  // edge of the square blocks of the transposed copy
constexpr uint64_t kBrickRowStride = uint64_t{kBrickEdge} * kBrickEdge;  // samples per z step

float load_sample(const uint8_t* brick, uint64_t index) {
  if constexpr (Base::kHostIsLittleEndian) {
    float value;
    std::memcpy(&value, brick + 4 * index, sizeof value);
    return value;
  } else {
    return Base::load_le_f32(brick + 4 * index);
  }
}

// Brick plane y = yb into rows x cols of `out` (row = brick x, column = brick z). The plane
// is a transpose: brick x runs along the source rows and along the destination columns.
// Whole tiles go through 8 x 8 blocks held in registers, so both sides are read and
// written a block row at a time instead of one 4 KiB-strided sample per element.
void copy_plane(const uint8_t* brick, uint32_t yb, uint32_t rows, uint32_t cols, float* out,
                uint64_t stride) {
  const uint64_t plane = uint64_t{kBrickEdge} * yb;
  if (Base::kHostIsLittleEndian && rows == kBrickEdge && cols == kBrickEdge) {
    for (uint32_t zb = 0; zb < kBrickEdge; zb += kBlock) {
      for (uint32_t xb = 0; xb < kBrickEdge; xb += kBlock) {
        float block[kBlock][kBlock];
        for (uint32_t i = 0; i < kBlock; ++i) {
          std::memcpy(block[i], brick + 4 * (plane + (zb + i) * kBrickRowStride + xb),
                      sizeof block[i]);
        }
        for (uint32_t j = 0; j < kBlock; ++j) {
          float* row = out + (xb + j) * stride + zb;
          for (uint32_t i = 0; i < kBlock; ++i) row[i] = block[i][j];
        }
      }
    }
    return;
  }
  for (uint32_t zi = 0; zi < cols; ++zi) {
    const uint64_t source = plane + zi * kBrickRowStride;
    for (uint32_t xi = 0; xi < rows; ++xi) out[xi * stride + zi] = load_sample(brick, source + xi);
  }
}

// The part of a coarser brick (depth `shift` levels above the wanted level) that covers a
// tile: every coarse sample stands for 2^shift wanted voxels per axis.
void upsample_plane(const uint8_t* brick, const uint32_t (&local)[3], uint32_t shift, uint32_t rows,
                    uint32_t cols, float* out, uint64_t stride) {
  const uint64_t plane = uint64_t{kBrickEdge} * (local[1] >> shift);
  for (uint32_t xi = 0; xi < rows; ++xi) {
    const uint64_t x = (local[0] + xi) >> shift;
    float* row = out + xi * stride;
    for (uint32_t zi = 0; zi < cols; ++zi) {
      const uint64_t z = (local[2] + zi) >> shift;
      row[zi] = load_sample(brick, plane + z * kBrickRowStride + x);
    }
  }
}

struct ExtractWork {
  const HRVolume* volume;
  float* out;
  uint64_t stride;
  HRVec3u origin;
  HRVec3u size;
  uint32_t level;
  // The brick being read, for the failure message; `beyond_file` when it does not fit.
  uint64_t offset;
  bool beyond_file;
};

// Runs under one fault guard for the whole region: nothing here owns a destructor.
void extract(void* context) {
  auto& work = *static_cast<ExtractWork*>(context);
  const HRVolume& volume = *work.volume;
  const uint8_t* base = volume.map_base();
  const uint64_t file_size = volume.file().map_size();
  const uint32_t scale_shift = volume.max_depth() - work.level;
  const uint32_t yb = work.origin.y % kBrickEdge;

  auto locate = [&](uint32_t xt, uint32_t zt) {
    const HRVec3u at{(work.origin.x + xt) << scale_shift, work.origin.y << scale_shift,
                     (work.origin.z + zt) << scale_shift};
    return locate_node(volume, at, work.level);
  };
  for (uint32_t xt = 0; xt < work.size.x; xt += kBrickEdge) {
    const uint32_t rows = std::min(kBrickEdge, work.size.x - xt);
    for (uint32_t zt = 0; zt < work.size.z; zt += kBrickEdge) {
      const uint32_t cols = std::min(kBrickEdge, work.size.z - zt);
      const NodeLocation found = locate(xt, zt);
      float* out = work.out + xt * work.stride + zt;
      const uint64_t offset = found.node->brick_offset;
      if (offset == 0) {
        for (uint32_t xi = 0; xi < rows; ++xi) std::fill_n(out + xi * work.stride, cols, 0.0f);
      } else {
        work.offset = offset;
        if (offset > file_size || kBrickDataBytes > file_size - offset) {
          work.beyond_file = true;
          return;
        }
        const uint8_t* brick = base + offset;
        if (found.depth == work.level) {
          copy_plane(brick, yb, rows, cols, out, work.stride);
        } else {
          // The tree stops above the wanted level: where this tile lies inside the coarser
          // node, in voxels of the wanted level.
          const uint32_t shift = work.level - found.depth;
          const uint64_t node_edge = uint64_t{kBrickEdge} << shift;
          const uint32_t local[3] = {
              static_cast<uint32_t>(work.origin.x + xt - found.code[0] * node_edge),
              static_cast<uint32_t>(work.origin.y - found.code[1] * node_edge),
              static_cast<uint32_t>(work.origin.z + zt - found.code[2] * node_edge)};
          upsample_plane(brick, local, shift, rows, cols, out, work.stride);
        }
      }
    }
  }
}

}  // namespace

NodeLocation locate_node(const HRVolume& volume, const HRVec3u& position, uint32_t level) {
  NodeLocation location;
  location.node = &volume.root();
  const uint32_t at[3] = {position.x, position.y, position.z};
  while (location.node->children != nullptr && location.depth != level &&
         location.depth < volume.max_depth()) {
    // Edge of a child in finest voxels.
    const uint32_t child_edge = kBrickEdge << (volume.max_depth() - (location.depth + 1));
    uint32_t bits[3];
    for (int a = 0; a < 3; ++a) {
      const uint32_t lower = 2 * location.code[a];
      bits[a] = at[a] >= (lower + 1) * child_edge ? 1 : 0;
      location.code[a] = lower + bits[a];
    }
    location.node = &location.node->children->nodes[child_index(bits[0], bits[1], bits[2])];
    ++location.depth;
  }
  return location;
}

bool extract_region(const HRVolume& volume, Math::Matrix_f& matrix, const HRVec3u& origin,
                    const HRVec3u& size, uint32_t level) {
  if (level > volume.max_depth()) {
    Base::log_printf("FAILED to extract region at level %u: the finest level is %u\n", level,
                     volume.max_depth());
    return false;
  }
  if (size.x == 0 || size.z == 0) return true;
  // Tiles start at brick boundaries and stay inside the root's cube, so every copy stays
  // inside the brick it reads.
  const uint64_t extent = uint64_t{kBrickEdge} << level;
  if (origin.x % kBrickEdge != 0 || origin.z % kBrickEdge != 0 ||
      uint64_t{origin.x} + size.x > extent || uint64_t{origin.z} + size.z > extent ||
      origin.y >= extent) {
    Base::log_printf("FAILED to extract region at %u,%u,%u of %u x %u at level %u\n", origin.x,
                     origin.y, origin.z, size.x, size.z, level);
    return false;
  }
  if (matrix.rows < size.x || matrix.cols < size.z || matrix.data == nullptr) {
    Base::log_printf("FAILED to extract region of %u x %u into a matrix of %u x %u\n", size.x,
                     size.z, matrix.rows, matrix.cols);
    return false;
  }
  ExtractWork work{&volume, matrix.data, matrix.cols, origin, size, level, 0, false};
  int code = 0;
  if (!Base::Platform::guarded_call(extract, &work, &code) || work.beyond_file) {
    Base::log_printf("FAILED to read brick at offset %llu (%X)\n",
                     static_cast<unsigned long long>(work.offset),
                     static_cast<unsigned>(work.beyond_file ? EFAULT : code));
    return false;
  }
  return true;
}

bool read_hr_slice(const HRVolume& volume, float* out, uint32_t index) {
  const HRVec3u& resolution = volume.resolution();
  if (index >= resolution.y) return false;
  Math::Matrix_f matrix(out, resolution.x, resolution.z);
  return extract_region(volume, matrix, {0, index, 0}, {resolution.x, 1, resolution.z},
                        volume.max_depth());
}

}  // namespace QVX::CT
