#include "ct/slice_extract.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/compiler.h"
#include "base/endian.h"
#include "base/log.h"
#include "base/platform.h"
#include "math/matrix.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QVX_SLICE_SSE2 1
#else
#define QVX_SLICE_SSE2 0
#endif
#if QVX_SLICE_SSE2 && (defined(__GNUC__) || defined(__clang__))
#define QVX_SLICE_AVX2 1
#define QVX_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define QVX_SLICE_AVX2 0
#endif

namespace QVX::CT {
namespace {

// Bytes from one z to the next inside a brick: the rows of a brick's plane lie this far
// apart in the file, one 4 KiB page each.
constexpr uint64_t kRowBytes = uint64_t{4} * kBrickEdge * kBrickEdge;
constexpr uint64_t kPlaneRowBytes = uint64_t{4} * kBrickEdge;  // the samples of one row

float load_sample(const uint8_t* at) {
  if constexpr (Base::kHostIsLittleEndian) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
  } else {
    return Base::load_le_f32(at);
  }
}

// The copy of one brick's plane into the output: `plane` is the brick's first sample of
// the plane (row zi at plane + zi * kRowBytes holds brick x = 0..31 of z = zi), `out` the
// tile's first element, rows x cols of it filled (row = brick x, column = brick z). The
// plane is a transpose: brick x runs along the source rows and along the destination
// columns.
//
// The kernels transpose into a 4 KiB tile on the stack and then copy its rows out whole.
// Stored straight into the output, each block would write 16 or 32 bytes into each of 32
// output rows 2 or 4 KiB apart, lines that share a few first-level cache sets with each
// other and with the source rows; measured, that costs more than the reads from memory.
// The part of a brick's plane that the next step copies, `cols` rows of the brick (one
// per z) of `rows` samples from `plane` (up to 128 bytes on up to three cache lines
// each), into the second-level cache while the step before it copies. Every row of a
// plane starts at the same offset within its page, so the rows of a few planes already
// fill the few sets of the first-level cache they map to: prefetched there, they would
// evict rows before use.
inline void prefetch_plane_part(const uint8_t* plane, uint32_t rows, uint32_t cols) {
  const uint64_t last = 4 * uint64_t{rows} - 1;
  for (uint32_t zi = 0; zi < cols; ++zi) {
    const uint8_t* row = plane + zi * kRowBytes;
    Base::prefetch_l2(row);
    if (last >= 64) Base::prefetch_l2(row + 64);
    Base::prefetch_l2(row + last);
  }
}

// The plane part that the step after a kernel's copies, fetched by the kernel a few rows
// at a time between its blocks: issued all at once, the page walks of its rows (one page
// each) stalled the copy instead of overlapping it.
struct Ahead {
  const uint8_t* plane = nullptr;
  uint32_t rows = 0, cols = 0;
};

// Rows [from, to) of the part ahead.
inline void prefetch_ahead(const Ahead& ahead, uint32_t from, uint32_t to) {
  if (ahead.plane == nullptr || from >= ahead.cols) return;
  prefetch_plane_part(ahead.plane + from * kRowBytes, ahead.rows, std::min(to, ahead.cols) - from);
}

using CopyPlane = void (*)(const uint8_t* plane, uint32_t rows, uint32_t cols, float* out,
                           uint64_t stride, const Ahead& ahead);

struct alignas(64) PlaneTile {
  float at[kBrickEdge][kBrickEdge];  // [brick x][brick z]
};

// The tile's first rows x cols into the output.
inline void store_tile(const PlaneTile& tile, uint32_t rows, uint32_t cols, float* out,
                       uint64_t stride) {
  if (cols == kBrickEdge) {
    for (uint32_t xi = 0; xi < rows; ++xi) {
      std::memcpy(out + xi * stride, tile.at[xi], sizeof tile.at[xi]);
    }
    return;
  }
  for (uint32_t xi = 0; xi < rows; ++xi) std::copy_n(tile.at[xi], cols, out + xi * stride);
}

// The samples that the blocks of a kernel leave over (none in a whole tile): rows from
// `first_row` on in the columns below `first_col`, and every row in the columns from
// `first_col` on.
void transpose_rest(const uint8_t* plane, uint32_t first_row, uint32_t rows, uint32_t first_col,
                    uint32_t cols, PlaneTile& tile) {
  for (uint32_t zi = 0; zi < cols; ++zi) {
    const uint8_t* source = plane + zi * kRowBytes;
    for (uint32_t xi = zi < first_col ? first_row : 0; xi < rows; ++xi) {
      tile.at[xi][zi] = load_sample(source + 4 * xi);
    }
  }
}

// Portable: 8 x 8 blocks held in registers, so the source is read a block row at a time
// instead of one 4 KiB-strided sample per element.
void copy_plane_scalar(const uint8_t* plane, uint32_t rows, uint32_t cols, float* out,
                       uint64_t stride, const Ahead& ahead) {
  prefetch_ahead(ahead, 0, kBrickEdge);
  constexpr uint32_t kBlock = 8;
  const uint32_t rows8 = Base::kHostIsLittleEndian ? rows & ~(kBlock - 1) : 0;
  const uint32_t cols8 = Base::kHostIsLittleEndian ? cols & ~(kBlock - 1) : 0;
  PlaneTile tile;
  for (uint32_t zb = 0; zb < cols8; zb += kBlock) {
    for (uint32_t xb = 0; xb < rows8; xb += kBlock) {
      float block[kBlock][kBlock];
      for (uint32_t i = 0; i < kBlock; ++i) {
        std::memcpy(block[i], plane + (zb + i) * kRowBytes + 4 * xb, sizeof block[i]);
      }
      for (uint32_t j = 0; j < kBlock; ++j) {
        for (uint32_t i = 0; i < kBlock; ++i) tile.at[xb + j][zb + i] = block[i][j];
      }
    }
  }
  transpose_rest(plane, rows8, rows, cols8, cols, tile);
  store_tile(tile, rows, cols, out, stride);
}

#if QVX_SLICE_SSE2
inline __m128 load4(const uint8_t* at) {
  return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

// 4 x 4 blocks: four rows of the plane are read whole, 16 bytes at a time, and
// transposed in registers.
void copy_plane_sse2(const uint8_t* plane, uint32_t rows, uint32_t cols, float* out,
                     uint64_t stride, const Ahead& ahead) {
  prefetch_ahead(ahead, 0, kBrickEdge);
  const uint32_t rows4 = rows & ~3u;
  const uint32_t cols4 = cols & ~3u;
  PlaneTile tile;
  for (uint32_t zb = 0; zb < cols4; zb += 4) {
    const uint8_t* r0 = plane + zb * kRowBytes;
    const uint8_t* r1 = r0 + kRowBytes;
    const uint8_t* r2 = r1 + kRowBytes;
    const uint8_t* r3 = r2 + kRowBytes;
    for (uint32_t xb = 0; xb < rows4; xb += 4) {
      __m128 a = load4(r0 + 4 * xb);
      __m128 b = load4(r1 + 4 * xb);
      __m128 c = load4(r2 + 4 * xb);
      __m128 d = load4(r3 + 4 * xb);
      _MM_TRANSPOSE4_PS(a, b, c, d);
      _mm_store_ps(&tile.at[xb][zb], a);
      _mm_store_ps(&tile.at[xb + 1][zb], b);
      _mm_store_ps(&tile.at[xb + 2][zb], c);
      _mm_store_ps(&tile.at[xb + 3][zb], d);
    }
  }
  transpose_rest(plane, rows4, rows, cols4, cols, tile);
  store_tile(tile, rows, cols, out, stride);
}
#endif

#if QVX_SLICE_AVX2
QVX_TARGET_AVX2 inline __m256 load8(const uint8_t* at) {
  return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
}

// 8 x 8 blocks: half the loads of the 4 x 4 blocks for the same bytes.
QVX_TARGET_AVX2 void copy_plane_avx2(const uint8_t* plane, uint32_t rows, uint32_t cols, float* out,
                                     uint64_t stride, const Ahead& ahead) {
  const uint32_t rows8 = rows & ~7u;
  const uint32_t cols8 = cols & ~7u;
  PlaneTile tile;
  for (uint32_t zb = 0; zb < cols8; zb += 8) {
    prefetch_ahead(ahead, zb, zb + 8);
    const uint8_t* source = plane + zb * kRowBytes;
    for (uint32_t xb = 0; xb < rows8; xb += 8) {
      __m256 r[8];
      for (uint32_t i = 0; i < 8; ++i) r[i] = load8(source + i * kRowBytes + 4 * xb);
      const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
      const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
      const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
      const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
      const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
      const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
      const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
      const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
      const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
      const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
      const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
      const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
      const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
      const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
      const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
      const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
      _mm256_store_ps(&tile.at[xb][zb], _mm256_permute2f128_ps(u0, u4, 0x20));
      _mm256_store_ps(&tile.at[xb + 1][zb], _mm256_permute2f128_ps(u1, u5, 0x20));
      _mm256_store_ps(&tile.at[xb + 2][zb], _mm256_permute2f128_ps(u2, u6, 0x20));
      _mm256_store_ps(&tile.at[xb + 3][zb], _mm256_permute2f128_ps(u3, u7, 0x20));
      _mm256_store_ps(&tile.at[xb + 4][zb], _mm256_permute2f128_ps(u0, u4, 0x31));
      _mm256_store_ps(&tile.at[xb + 5][zb], _mm256_permute2f128_ps(u1, u5, 0x31));
      _mm256_store_ps(&tile.at[xb + 6][zb], _mm256_permute2f128_ps(u2, u6, 0x31));
      _mm256_store_ps(&tile.at[xb + 7][zb], _mm256_permute2f128_ps(u3, u7, 0x31));
    }
  }
  prefetch_ahead(ahead, cols8, kBrickEdge);
  transpose_rest(plane, rows8, rows, cols8, cols, tile);
  store_tile(tile, rows, cols, out, stride);
}

bool cpu_has_avx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
#endif

CopyPlane choose_kernel(PlaneKernel kernel) {
  switch (kernel) {
    case PlaneKernel::Scalar:
      return copy_plane_scalar;
    case PlaneKernel::Sse2:
#if QVX_SLICE_SSE2
      return copy_plane_sse2;
#else
      return copy_plane_scalar;
#endif
    case PlaneKernel::Avx2:
#if QVX_SLICE_AVX2
      if (cpu_has_avx2()) return copy_plane_avx2;
#endif
      return copy_plane_scalar;
    case PlaneKernel::Best:
      break;
  }
    // AVX2 measured 3 to 10 % faster than SSE2 on slices 512 and 1024 samples wide.
#if QVX_SLICE_AVX2
  if (cpu_has_avx2()) return copy_plane_avx2;
#endif
#if QVX_SLICE_SSE2
  return copy_plane_sse2;
#else
  return copy_plane_scalar;
#endif
}

// The part of a coarser brick (depth `shift` levels above the wanted level) that covers a
// tile: every coarse sample stands for 2^shift wanted voxels per axis.
void upsample_plane(const uint8_t* brick, const uint32_t (&local)[3], uint32_t shift, uint32_t rows,
                    uint32_t cols, float* out, uint64_t stride) {
  const uint8_t* plane = brick + kPlaneRowBytes * (local[1] >> shift);
  for (uint32_t xi = 0; xi < rows; ++xi) {
    const uint64_t x = (local[0] + xi) >> shift;
    float* row = out + xi * stride;
    for (uint32_t zi = 0; zi < cols; ++zi) {
      const uint64_t z = (local[2] + zi) >> shift;
      row[zi] = load_sample(plane + z * kRowBytes + 4 * x);
    }
  }
}

// A z-plane's column: samples that lie side by side in the brick.
void copy_column(const uint8_t* plane, uint32_t rows, float* out, uint64_t stride) {
  if (Base::kHostIsLittleEndian && stride == 1) {
    std::memcpy(out, plane, 4 * size_t{rows});
    return;
  }
  for (uint32_t xi = 0; xi < rows; ++xi) out[xi * stride] = load_sample(plane + 4 * xi);
}

// All planes of a z-plane's tile at once: `planes` columns of `rows` samples, one after
// the other in the brick, into output rows `stride` floats apart. The brick's part is one
// run of up to 4 KiB that the hardware prefetcher cannot reach across the page boundary
// before it, so the next tile's run (`ahead`, `ahead_bytes`) is fetched two lines per
// column while this one is copied: a page walk and a memory latency per brick otherwise.
void copy_columns(const uint8_t* first, uint32_t planes, uint32_t rows, float* out, uint64_t stride,
                  const uint8_t* ahead, uint64_t ahead_bytes) {
  for (uint32_t p = 0; p < planes; ++p) {
    const uint64_t next = uint64_t{p} * kPlaneRowBytes;
    if (next < ahead_bytes) {
      Base::prefetch(ahead + next);
      Base::prefetch(ahead + std::min(next + 64, ahead_bytes - 1));
    }
    const uint8_t* column = first + next;
    float* to = out + p * stride;
    if (rows == kBrickEdge) {
      std::memcpy(to, column, kPlaneRowBytes);
    } else {
      std::memcpy(to, column, 4 * size_t{rows});
    }
  }
}

// An x-plane's row: one sample from each of `cols` rows of the brick.
void copy_row(const uint8_t* plane, uint32_t cols, float* out) {
  for (uint32_t zi = 0; zi < cols; ++zi) out[zi] = load_sample(plane + zi * kRowBytes);
}

// What one tile of the box takes: the part of the box inside one node of the wanted
// depth, every plane of it.
struct Tile {
  enum class Kind { Zeros, Copy, Upsample, Below, BeyondFile } kind = Kind::Zeros;
  HRVec3u at;               // first sample, in samples of the wanted depth
  uint32_t planes_end = 0;  // one past the last plane (y)
  float* out = nullptr;     // element (at.x, origin.y, at.z)
  uint32_t rows = 0, cols = 0;
  uint64_t offset = 0;             // of the brick, for the failure message
  const uint8_t* brick = nullptr;  // Copy: the tile's first sample in plane 0; Upsample: the brick
  NodeLocation found;              // the node that locate_node stops at
  uint32_t local[3] = {0, 0, 0};   // Upsample: the tile's place in the coarser node (y unused)
  uint32_t shift = 0;              // Upsample: levels between that node and the wanted one
};

struct ExtractWork {
  const HRVolume* volume;
  float* out;
  uint64_t row_stride;    // from one x to the next in `out`
  uint64_t plane_stride;  // from one y to the next
  HRVec3u origin;
  HRVec3u end;  // origin + size
  uint32_t level;
  CopyPlane copy;
  // The brick being read, for the failure message; `beyond_file` when it does not fit.
  uint64_t offset;
  bool beyond_file;
};

// Where the brick-aligned tile that starts at `start` ends, clipped to `end`.
uint32_t tile_end(uint32_t start, uint32_t end) {
  return static_cast<uint32_t>(std::min<uint64_t>(end, (uint64_t{start} | (kBrickEdge - 1)) + 1));
}

// From the tile at `at` to the next one: along z, then x, then the next layer of planes.
// False after the last.
bool next_tile(const ExtractWork& work, HRVec3u& at) {
  at.z = tile_end(at.z, work.end.z);
  if (at.z < work.end.z) return true;
  at.z = work.origin.z;
  at.x = tile_end(at.x, work.end.x);
  if (at.x < work.end.x) return true;
  at.x = work.origin.x;
  at.y = tile_end(at.y, work.end.y);
  return at.y < work.end.y;
}

bool brick_fits(const HRVolume& volume, uint64_t offset) {
  const uint64_t file_size = volume.file().map_size();
  return offset <= file_size && kBrickDataBytes <= file_size - offset;
}

// One step from `location` towards the child that holds `position` (finest voxels).
void step_down(const HRVolume& volume, NodeLocation& location, const uint32_t (&position)[3]) {
  // Edge of a child in finest voxels.
  const uint32_t child_edge = kBrickEdge << (volume.max_depth() - (location.depth + 1));
  uint32_t bits[3];
  for (int a = 0; a < 3; ++a) {
    const uint32_t lower = 2 * location.code[a];
    bits[a] = position[a] >= (lower + 1) * child_edge ? 1 : 0;
    location.code[a] = lower + bits[a];
  }
  location.node = &location.node->children->nodes[child_index(bits[0], bits[1], bits[2])];
  ++location.depth;
}

Tile plan_tile(const ExtractWork& work, const HRVec3u& at) {
  const HRVolume& volume = *work.volume;
  const uint32_t scale_shift = volume.max_depth() - work.level;
  Tile tile;
  tile.at = at;
  tile.planes_end = tile_end(at.y, work.end.y);
  tile.rows = tile_end(at.x, work.end.x) - at.x;
  tile.cols = tile_end(at.z, work.end.z) - at.z;
  tile.out = work.out + (at.x - work.origin.x) * work.row_stride + (at.z - work.origin.z);
  tile.found = locate_node(volume, {at.x << scale_shift, at.y << scale_shift, at.z << scale_shift},
                           work.level);
  const HRNode& node = *tile.found.node;
  tile.offset = node.brick_offset;
  if (tile.offset == 0) {
    // Stopping early means a leaf, so a node with children is one of the wanted depth.
    if (node.children != nullptr && tile.found.depth < volume.max_depth()) {
      tile.kind = Tile::Kind::Below;
    }
    return tile;
  }
  if (!brick_fits(volume, tile.offset)) {
    tile.kind = Tile::Kind::BeyondFile;
    return tile;
  }
  tile.brick = volume.map_base() + tile.offset;
  if (tile.found.depth == work.level) {
    tile.kind = Tile::Kind::Copy;
    tile.brick += kRowBytes * (at.z % kBrickEdge) + 4 * (at.x % kBrickEdge);
    return tile;
  }
  // The tree stops above the wanted level: where this tile lies inside the coarser node,
  // in voxels of the wanted level.
  tile.kind = Tile::Kind::Upsample;
  tile.shift = work.level - tile.found.depth;
  const uint64_t node_edge = uint64_t{kBrickEdge} << tile.shift;
  tile.local[0] = static_cast<uint32_t>(at.x - tile.found.code[0] * node_edge);
  tile.local[2] = static_cast<uint32_t>(at.z - tile.found.code[2] * node_edge);
  return tile;
}

// The samples of plane `y` of a tile whose node has no brick of its own: each from the
// first node below it, on the way to the sample's voxel, that has one; 0.0 where that
// way ends first.
bool fill_from_below(ExtractWork& work, const Tile& tile, uint32_t y, float* out) {
  const HRVolume& volume = *work.volume;
  const uint32_t max_depth = volume.max_depth();
  const uint32_t scale_shift = max_depth - work.level;
  for (uint32_t xi = 0; xi < tile.rows; ++xi) {
    for (uint32_t zi = 0; zi < tile.cols; ++zi) {
      const uint32_t voxel[3] = {(tile.at.x + xi) << scale_shift, y << scale_shift,
                                 (tile.at.z + zi) << scale_shift};
      float value = 0.0f;
      for (NodeLocation at = tile.found; at.node->children != nullptr && at.depth < max_depth;) {
        step_down(volume, at, voxel);
        const uint64_t offset = at.node->brick_offset;
        if (offset == 0) continue;
        work.offset = offset;
        if (!brick_fits(volume, offset)) {
          work.beyond_file = true;
          return false;
        }
        const uint32_t k = max_depth - at.depth;
        uint64_t index = 0;
        for (int a = 2; a >= 0; --a) {
          index = index * kBrickEdge + ((voxel[a] >> k) - at.code[a] * kBrickEdge);
        }
        value = load_sample(volume.map_base() + offset + 4 * index);
        break;
      }
      out[xi * work.row_stride + zi] = value;
    }
  }
  return true;
}

// Plane `y` of a tile into the output.
bool copy_tile_plane(ExtractWork& work, const Tile& tile, uint32_t y, const Ahead& ahead) {
  float* out = tile.out + (y - work.origin.y) * work.plane_stride;
  switch (tile.kind) {
    case Tile::Kind::Zeros:
      for (uint32_t xi = 0; xi < tile.rows; ++xi) {
        std::fill_n(out + xi * work.row_stride, tile.cols, 0.0f);
      }
      return true;
    case Tile::Kind::BeyondFile:
      work.offset = tile.offset;
      work.beyond_file = true;
      return false;
    case Tile::Kind::Copy: {
      work.offset = tile.offset;
      const uint8_t* plane = tile.brick + kPlaneRowBytes * (y % kBrickEdge);
      if (tile.cols == 1) {
        copy_column(plane, tile.rows, out, work.row_stride);
      } else if (tile.rows == 1) {
        copy_row(plane, tile.cols, out);
      } else {
        work.copy(plane, tile.rows, tile.cols, out, work.row_stride, ahead);
        return true;
      }
      prefetch_ahead(ahead, 0, kBrickEdge);
      return true;
    }
    case Tile::Kind::Upsample: {
      work.offset = tile.offset;
      const uint64_t node_edge = uint64_t{kBrickEdge} << tile.shift;
      const uint32_t local[3] = {
          tile.local[0], static_cast<uint32_t>(y - tile.found.code[1] * node_edge), tile.local[2]};
      upsample_plane(tile.brick, local, tile.shift, tile.rows, tile.cols, out, work.row_stride);
      return true;
    }
    case Tile::Kind::Below:
      return fill_from_below(work, tile, y, out);
  }
  return true;
}

// A tile of a z-plane: one sample along z, rows next to each other in the output, so its
// planes copy as one run of the brick.
bool is_column_run(const ExtractWork& work, const Tile& tile) {
  return Base::kHostIsLittleEndian && tile.kind == Tile::Kind::Copy && tile.cols == 1 &&
         work.row_stride == 1;
}

Ahead tile_plane_ahead(const Tile& tile, uint32_t y) {
  if (tile.kind != Tile::Kind::Copy) return {};
  return {tile.brick + kPlaneRowBytes * (y % kBrickEdge), tile.rows, tile.cols};
}

// Runs under one fault guard for the whole box: nothing here owns a destructor.
void extract(void* context) {
  auto& work = *static_cast<ExtractWork*>(context);
  // Each tile is planned two tiles before it is copied: the plane after the current one
  // is prefetched while it is copied, and a z-plane's tiles, one short run each, fetch the
  // next tile's run and the first and last lines of the one after it (its page walks)
  // meanwhile.
  HRVec3u at = work.origin;
  Tile tile = plan_tile(work, at);
  HRVec3u after = at;
  bool more = next_tile(work, after);
  Tile next;
  if (more) next = plan_tile(work, after);
  for (;;) {
    HRVec3u beyond = after;
    const bool further = more && next_tile(work, beyond);
    Tile last;
    if (further) last = plan_tile(work, beyond);
    if (is_column_run(work, tile)) {
      work.offset = tile.offset;
      const uint8_t* ahead = nullptr;
      uint64_t ahead_bytes = 0;
      if (more && is_column_run(work, next)) {
        ahead = next.brick + kPlaneRowBytes * (after.y % kBrickEdge);
        ahead_bytes = uint64_t{next.planes_end - after.y} * kPlaneRowBytes;
      }
      if (further && is_column_run(work, last)) {
        const uint8_t* run = last.brick + kPlaneRowBytes * (beyond.y % kBrickEdge);
        Base::prefetch_l2(run);
        Base::prefetch_l2(run + uint64_t{last.planes_end - beyond.y} * kPlaneRowBytes - 1);
      }
      copy_columns(tile.brick + kPlaneRowBytes * (at.y % kBrickEdge), tile.planes_end - at.y,
                   tile.rows, tile.out + (at.y - work.origin.y) * work.plane_stride,
                   work.plane_stride, ahead, ahead_bytes);
    } else {
      for (uint32_t y = at.y; y < tile.planes_end; ++y) {
        Ahead ahead;
        if (y + 1 < tile.planes_end) {
          ahead = tile_plane_ahead(tile, y + 1);
        } else if (more) {
          ahead = tile_plane_ahead(next, after.y);
        }
        if (tile.kind != Tile::Kind::Copy) prefetch_ahead(ahead, 0, kBrickEdge);
        if (!copy_tile_plane(work, tile, y, ahead)) return;
      }
    }
    if (!more) return;
    tile = next;
    at = after;
    next = last;
    after = beyond;
    more = further;
  }
}

// The box at `origin` of `size` (all nonzero, inside the root's cube at `level`) into
// `out`, rows `row_stride` and planes `plane_stride` apart.
bool run_extract(const HRVolume& volume, float* out, uint64_t row_stride, uint64_t plane_stride,
                 const HRVec3u& origin, const HRVec3u& size, uint32_t level, PlaneKernel kernel) {
  ExtractWork work{&volume,    out,
                   row_stride, plane_stride,
                   origin,     {origin.x + size.x, origin.y + size.y, origin.z + size.z},
                   level,      choose_kernel(kernel),
                   0,          false};
  int code = 0;
  if (!Base::Platform::guarded_call(extract, &work, &code) || work.beyond_file) {
    Base::log_printf("FAILED to read brick at offset %llu (%X)\n",
                     static_cast<unsigned long long>(work.offset),
                     static_cast<unsigned>(work.beyond_file ? EFAULT : code));
    return false;
  }
  return true;
}

}  // namespace

bool plane_kernel_available(PlaneKernel kernel) {
  switch (kernel) {
    case PlaneKernel::Best:
    case PlaneKernel::Scalar:
      return true;
    case PlaneKernel::Sse2:
      return QVX_SLICE_SSE2 != 0;
    case PlaneKernel::Avx2:
#if QVX_SLICE_AVX2
      return cpu_has_avx2();
#else
      return false;
#endif
  }
  return false;
}

NodeLocation locate_node(const HRVolume& volume, const HRVec3u& position, uint32_t level) {
  NodeLocation location;
  location.node = &volume.root();
  const uint32_t at[3] = {position.x, position.y, position.z};
  while (location.node->children != nullptr && location.depth != level &&
         location.depth < volume.max_depth()) {
    step_down(volume, location, at);
  }
  return location;
}

bool extract_region(const HRVolume& volume, Math::Matrix_f& matrix, const HRVec3u& origin,
                    const HRVec3u& size, uint32_t level, PlaneKernel kernel) {
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
  return run_extract(volume, matrix.data, matrix.cols, 0, origin, {size.x, 1, size.z}, level,
                     kernel);
}

bool extract_box(const HRVolume& volume, float* out, const HRVec3u& origin, const HRVec3u& size,
                 uint32_t depth, PlaneKernel kernel) {
  if (depth > volume.max_depth()) {
    Base::log_printf("FAILED to extract region at level %u: the finest level is %u\n", depth,
                     volume.max_depth());
    return false;
  }
  if (size.x == 0 || size.y == 0 || size.z == 0) return true;
  const uint64_t extent = uint64_t{kBrickEdge} << depth;
  if (uint64_t{origin.x} + size.x > extent || uint64_t{origin.y} + size.y > extent ||
      uint64_t{origin.z} + size.z > extent || out == nullptr) {
    Base::log_printf("FAILED to extract region at %u,%u,%u of %u x %u x %u at level %u\n", origin.x,
                     origin.y, origin.z, size.x, size.y, size.z, depth);
    return false;
  }
  return run_extract(volume, out, size.z, uint64_t{size.x} * size.z, origin, size, depth, kernel);
}

bool read_hr_slice(const HRVolume& volume, float* out, uint32_t index) {
  const HRVec3u& resolution = volume.resolution();
  if (index >= resolution.y) return false;
  Math::Matrix_f matrix(out, resolution.x, resolution.z);
  return extract_region(volume, matrix, {0, index, 0}, {resolution.x, 1, resolution.z},
                        volume.max_depth());
}

}  // namespace QVX::CT
