#include "tools/hr_writer/hr_stream_writer.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "tools/hr_writer/hr_file_bytes.h"

namespace QVX::Tools {
namespace {

using namespace HRBytes;

constexpr uint32_t kVersion = 4;
constexpr uint8_t kChecksumCrc32 = 2;
constexpr uint64_t kHeaderBytes = 122;  // version 4
// Readers refuse a tree whose largest stored edge is this or less.
constexpr uint32_t kSmallestStoredEdge = 16;
constexpr uint32_t kLargestEdge = uint32_t{1} << 31;
constexpr uint32_t kPositiveZeroBits = 0;

uint32_t ceil_div(uint64_t a, uint64_t b) { return static_cast<uint32_t>((a + b - 1) / b); }

// What the writer keeps of a node until the node area is written.
struct NodeInfo {
  uint64_t brick_offset = 0;  // 0 while the brick waits (uniform) or was never needed
  float min = std::numeric_limits<float>::infinity();
  float max = -std::numeric_limits<float>::infinity();
  uint32_t uniform_bits = 0;
  bool uniform = false;   // every stored sample of the subtree has uniform_bits
  bool has_tile = false;  // its children are in the file
};

// The nodes of one depth that hold voxels of the volume, and the row of bricks being
// summed from the depth below.
struct Level {
  uint32_t count[3] = {0, 0, 0};  // nodes along x, y, z
  std::vector<NodeInfo> nodes;
  std::vector<float> partial;  // count x * count z bricks of the current row
  NodeInfo& node(uint32_t x, uint32_t y, uint32_t z) {
    return nodes[x + size_t{count[0]} * (y + size_t{count[1]} * z)];
  }
  float* partial_brick(uint32_t x, uint32_t z) {
    return partial.data() + kBrickSamples * (x + size_t{count[0]} * z);
  }
};

}  // namespace

struct HRStreamWriter::State {
  std::string path, partial_path;
  HRStreamOptions options;
  std::array<uint32_t, 3> hr_resolution{};
  uint32_t max_depth = 0;
  std::vector<Level> levels;  // by depth, the root's first
  uint64_t node_area_bytes = 0;
  std::FILE* file = nullptr;
  uint64_t next_offset = 0;  // where the next brick record goes
  uint32_t slabs_done = 0;
  uint32_t slabs_total = 0;
  uint64_t bricks = 0;
  uint64_t final_size = 0;
  bool finished = false;
  std::vector<float> finest;  // one brick of the finest level
  std::vector<float> constant;
  std::vector<uint8_t> record;
  std::string error;

  bool fail(const std::string& message) {
    error = message;
    return false;
  }
  bool fail_errno(const std::string& what) {
    return fail(what + " '" + path + "': " + std::strerror(errno));
  }
  bool write(const void* bytes, size_t size);
  bool write_brick(const float* samples, uint64_t* offset);
  bool write_constant_brick(uint32_t bits, uint64_t* offset);
  bool finish_node(uint32_t depth, uint32_t x, uint32_t y, uint32_t z, const float* samples);
  bool finish_row(uint32_t depth, uint32_t y);
  bool finest_row(const float* slab, uint32_t slices);
  std::vector<uint8_t> header_and_nodes(uint64_t info_address);
  void close_and_remove();
};

bool HRStreamWriter::State::write(const void* bytes, size_t size) {
  if (std::fwrite(bytes, 1, size, file) != size) return fail_errno("cannot write");
  return true;
}

bool HRStreamWriter::State::write_brick(const float* samples, uint64_t* offset) {
  for (uint32_t s = 0; s < kBrickSamples; ++s) put_f32(record.data() + 4 * s, samples[s]);
  const auto crc =
      static_cast<uint32_t>(crc32(0L, record.data(), static_cast<uInt>(kBrickDataBytes)));
  put_u32(record.data() + kBrickDataBytes, crc);
  if (!write(record.data(), record.size())) return false;
  *offset = next_offset;
  next_offset += kBrickRecordBytes;
  ++bricks;
  return true;
}

bool HRStreamWriter::State::write_constant_brick(uint32_t bits, uint64_t* offset) {
  std::fill(constant.begin(), constant.end(), std::bit_cast<float>(bits));
  return write_brick(constant.data(), offset);
}

// A node is complete: decide whether its subtree ends here, write what must be written,
// and add its samples to its parent's partial brick. A uniform brick is held back until
// the parent knows whether it ends the subtree itself, so bricks below an early end are
// never written.
bool HRStreamWriter::State::finish_node(uint32_t depth, uint32_t x, uint32_t y, uint32_t z,
                                        const float* samples) {
  Level& level = levels[depth];
  NodeInfo& info = level.node(x, y, z);
  if (depth == max_depth) {
    const uint32_t first = std::bit_cast<uint32_t>(samples[0]);
    info.uniform = options.stop_uniform && !std::isnan(samples[0]) &&
                   std::all_of(samples, samples + kBrickSamples,
                               [first](float v) { return std::bit_cast<uint32_t>(v) == first; });
    info.uniform_bits = first;
  } else {
    Level& below = levels[depth + 1];
    bool uniform = options.stop_uniform;
    uint32_t bits = kPositiveZeroBits;
    bool first_child = true;
    for (uint32_t c = 0; c < 8; ++c) {
      const uint32_t cx = 2 * x + (c & 1), cy = 2 * y + ((c >> 1) & 1), cz = 2 * z + ((c >> 2) & 1);
      // A child without voxels is all padding: 0.0f.
      uint32_t child_bits = kPositiveZeroBits;
      bool child_uniform = true;
      if (cx < below.count[0] && cy < below.count[1] && cz < below.count[2]) {
        const NodeInfo& child = below.node(cx, cy, cz);
        info.min = std::min(info.min, child.min);
        info.max = std::max(info.max, child.max);
        child_uniform = child.uniform;
        child_bits = child.uniform_bits;
      }
      if (!child_uniform || (!first_child && child_bits != bits)) uniform = false;
      bits = first_child ? child_bits : bits;
      first_child = false;
    }
    info.uniform = uniform;
    info.uniform_bits = bits;
    info.has_tile = !uniform;
    if (info.has_tile) {
      for (uint32_t c = 0; c < 8; ++c) {
        const uint32_t cx = 2 * x + (c & 1), cy = 2 * y + ((c >> 1) & 1),
                       cz = 2 * z + ((c >> 2) & 1);
        if (cx >= below.count[0] || cy >= below.count[1] || cz >= below.count[2]) continue;
        NodeInfo& child = below.node(cx, cy, cz);
        if (child.uniform && !write_constant_brick(child.uniform_bits, &child.brick_offset)) {
          return false;
        }
      }
    }
  }
  if (!info.uniform && !write_brick(samples, &info.brick_offset)) return false;
  if (depth > 0) {
    const uint32_t octant = (x & 1) | ((y & 1) << 1) | ((z & 1) << 2);
    reduce_into(samples, octant, levels[depth - 1].partial_brick(x / 2, z / 2));
  }
  return true;
}

// Row y of `depth` is complete (both rows below it, or the last one there is).
bool HRStreamWriter::State::finish_row(uint32_t depth, uint32_t y) {
  Level& level = levels[depth];
  for (uint32_t z = 0; z < level.count[2]; ++z) {
    for (uint32_t x = 0; x < level.count[0]; ++x) {
      if (!finish_node(depth, x, y, z, level.partial_brick(x, z))) return false;
    }
  }
  std::fill(level.partial.begin(), level.partial.end(), 0.0f);
  return true;
}

bool HRStreamWriter::State::finest_row(const float* slab, uint32_t slices) {
  Level& level = levels[max_depth];
  const uint32_t nx = options.resolution[0], nz = options.resolution[2];
  const uint32_t y = slabs_done;
  for (uint32_t bz = 0; bz < level.count[2]; ++bz) {
    for (uint32_t bx = 0; bx < level.count[0]; ++bx) {
      const uint32_t x0 = bx * kBrickEdge, z0 = bz * kBrickEdge;
      const uint32_t cx = std::min(kBrickEdge, nx - x0), cz = std::min(kBrickEdge, nz - z0);
      std::fill(finest.begin(), finest.end(), 0.0f);
      NodeInfo& info = level.node(bx, y, bz);
      for (uint32_t s = 0; s < slices; ++s) {
        const float* slice = slab + size_t{s} * nx * nz;
        for (uint32_t x = 0; x < cx; ++x) {
          const float* row = slice + size_t{x0 + x} * nz + z0;
          float* out = finest.data() + x + kBrickEdge * s;
          for (uint32_t z = 0; z < cz; ++z) {
            const float v = row[z];
            out[kBrickEdge * kBrickEdge * z] = v;
            info.min = std::min(info.min, v);
            info.max = std::max(info.max, v);
          }
        }
      }
      if (!finish_node(max_depth, bx, y, bz, finest.data())) return false;
    }
  }
  // Each completed row may complete the row above it, up to the root.
  uint32_t row = y;
  for (uint32_t depth = max_depth; depth > 0; --depth) {
    if (row % 2 == 0 && row + 1 < levels[depth].count[1]) break;
    row /= 2;
    if (!finish_row(depth - 1, row)) return false;
  }
  return true;
}

std::vector<uint8_t> HRStreamWriter::State::header_and_nodes(uint64_t info_address) {
  std::vector<uint8_t> bytes(kHeaderBytes + node_area_bytes, 0);
  uint8_t* p = bytes.data();
  std::memcpy(p, kMagic, sizeof kMagic);
  put_u32(p + 8, kVersion);
  p[16] = kChecksumCrc32;
  put_u64(p + 17, info_address);
  p[25] = static_cast<uint8_t>(kBrickEdge);
  uint8_t* field = p + 26;
  for (uint32_t v : options.resolution) put_u32(std::exchange(field, field + 4), v);
  for (uint32_t v : hr_resolution) put_u32(std::exchange(field, field + 4), v);
  const double root_edge = static_cast<double>(uint64_t{kBrickEdge} << max_depth);
  std::array<double, 3> hr_vmax{};
  for (int a = 0; a < 3; ++a) {
    const double voxel_size = (options.vmax[a] - options.vmin[a]) / options.resolution[a];
    hr_vmax[a] = options.vmin[a] + root_edge * voxel_size;
  }
  for (double v : options.vmin) put_f64(std::exchange(field, field + 8), v);
  for (double v : options.vmax) put_f64(std::exchange(field, field + 8), v);
  for (double v : hr_vmax) put_f64(std::exchange(field, field + 8), v);

  auto put_node = [](uint8_t* r, const NodeInfo* node) {
    if (node == nullptr) return;  // no voxels: no brick, no children, range 0
    put_u32(r, node->has_tile ? 1 : 0);
    put_u64(r + 4, node->brick_offset);
    put_f32(r + 12, node->min);
    put_f32(r + 16, node->max);
  };
  put_node(p + kHeaderBytes, &levels[0].node(0, 0, 0));
  // Breadth first: a queue of the nodes whose tiles follow, in file order.
  struct Key {
    uint32_t depth, x, y, z;
  };
  std::vector<Key> queue;
  if (levels[0].node(0, 0, 0).has_tile) queue.push_back({0, 0, 0, 0});
  uint8_t* tile = p + kHeaderBytes + kNodeRecordBytes;
  for (size_t i = 0; i < queue.size(); ++i, tile += kTileBytes) {
    const Key parent = queue[i];
    put_u32(tile, parent.x);
    put_u32(tile + 4, parent.y);
    put_u32(tile + 8, parent.z);
    Level& below = levels[parent.depth + 1];
    for (uint32_t c = 0; c < 8; ++c) {
      const Key child = {parent.depth + 1, 2 * parent.x + (c & 1), 2 * parent.y + ((c >> 1) & 1),
                         2 * parent.z + ((c >> 2) & 1)};
      const bool inside =
          child.x < below.count[0] && child.y < below.count[1] && child.z < below.count[2];
      const NodeInfo* node = inside ? &below.node(child.x, child.y, child.z) : nullptr;
      put_node(tile + 12 + kNodeRecordBytes * c, node);
      if (node != nullptr && node->has_tile) queue.push_back(child);
    }
  }
  return bytes;
}

void HRStreamWriter::State::close_and_remove() {
  if (file != nullptr) std::fclose(file);
  file = nullptr;
  if (!partial_path.empty() && !finished) std::remove(partial_path.c_str());
}

HRStreamWriter::HRStreamWriter() = default;

HRStreamWriter::~HRStreamWriter() { discard(); }

void HRStreamWriter::discard() {
  if (state_) state_->close_and_remove();
  state_.reset();
}

bool HRStreamWriter::open(const std::string& path, const HRStreamOptions& options,
                          std::string* error) {
  discard();
  auto state = std::make_unique<State>();
  State& s = *state;
  auto refuse = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  for (uint32_t n : options.resolution) {
    if (n == 0) return refuse("a volume for '" + path + "' needs at least one voxel per axis");
    if (n > kLargestEdge) return refuse("a volume for '" + path + "' is too large");
  }
  s.path = path;
  s.partial_path = path + ".partial";
  s.options = options;
  s.hr_resolution = options.resolution;
  auto largest = std::max_element(s.hr_resolution.begin(), s.hr_resolution.end());
  if (*largest <= kSmallestStoredEdge) *largest = kBrickEdge;
  while ((uint64_t{kBrickEdge} << s.max_depth) < *largest) ++s.max_depth;

  s.levels.resize(s.max_depth + 1);
  uint64_t tiles = 0;
  for (uint32_t depth = 0; depth <= s.max_depth; ++depth) {
    Level& level = s.levels[depth];
    const uint64_t edge = uint64_t{kBrickEdge} << (s.max_depth - depth);
    for (int a = 0; a < 3; ++a) level.count[a] = ceil_div(options.resolution[a], edge);
    const uint64_t count = uint64_t{level.count[0]} * level.count[1] * level.count[2];
    level.nodes.resize(count);
    if (depth < s.max_depth) {
      tiles += count;
      level.partial.assign(kBrickSamples * size_t{level.count[0]} * level.count[2], 0.0f);
    }
  }
  s.node_area_bytes = kNodeRecordBytes + kTileBytes * tiles;
  s.slabs_total = ceil_div(options.resolution[1], kHRSlabSlices);
  s.finest.assign(kBrickSamples, 0.0f);
  s.constant.assign(kBrickSamples, 0.0f);
  s.record.assign(kBrickRecordBytes, 0);

  s.file = std::fopen(s.partial_path.c_str(), "wb");
  if (s.file == nullptr) return refuse("cannot create '" + path + "': " + std::strerror(errno));
  state_ = std::move(state);
  // The header and the node area are filled in by finish(); the bricks follow them.
  const std::vector<uint8_t> zeros(kHeaderBytes + s.node_area_bytes, 0);
  if (!s.write(zeros.data(), zeros.size())) {
    if (error != nullptr) *error = s.error;
    discard();
    return false;
  }
  s.next_offset = zeros.size();
  return true;
}

uint32_t HRStreamWriter::next_slab_slices() const {
  if (!state_ || state_->file == nullptr || state_->slabs_done == state_->slabs_total) return 0;
  const uint32_t first = state_->slabs_done * kHRSlabSlices;
  return std::min(kHRSlabSlices, state_->options.resolution[1] - first);
}

bool HRStreamWriter::write_slab(const float* slab, std::string* error) {
  const uint32_t slices = next_slab_slices();
  if (slices == 0) {
    if (error != nullptr) *error = "no slab is due";
    return false;
  }
  State& s = *state_;
  if (!s.finest_row(slab, slices)) {
    if (error != nullptr) *error = s.error;
    discard();
    return false;
  }
  ++s.slabs_done;
  return true;
}

bool HRStreamWriter::finish(std::string* error) {
  auto failed = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    discard();
    return false;
  };
  if (!state_ || state_->file == nullptr) return failed("nothing is open");
  State& s = *state_;
  if (s.slabs_done != s.slabs_total) {
    return failed("'" + s.path + "' is missing " + std::to_string(s.slabs_total - s.slabs_done) +
                  " of its " + std::to_string(s.slabs_total) + " slabs");
  }
  NodeInfo& root = s.levels[0].node(0, 0, 0);
  if (root.uniform && !s.write_constant_brick(root.uniform_bits, &root.brick_offset)) {
    return failed(s.error);
  }
  // An empty info block: its size field and nothing more.
  const uint64_t info_address = s.next_offset;
  uint8_t info[4] = {0, 0, 0, 0};
  if (!s.write(info, sizeof info)) return failed(s.error);
  const std::vector<uint8_t> head = s.header_and_nodes(info_address);
  if (std::fseek(s.file, 0, SEEK_SET) != 0)
    return failed("cannot write '" + s.path + "': seek failed");
  if (!s.write(head.data(), head.size())) return failed(s.error);
  const int flushed = std::fflush(s.file);
  const int closed = std::fclose(s.file);
  s.file = nullptr;
  if (flushed != 0 || closed != 0) {
    s.fail_errno("cannot write");
    return failed(s.error);
  }
  std::error_code ec;
  std::filesystem::rename(s.partial_path, s.path, ec);
  if (ec)
    return failed("cannot rename '" + s.partial_path + "' to '" + s.path + "': " + ec.message());
  s.finished = true;
  s.final_size = info_address + sizeof info;
  return true;
}

uint64_t HRStreamWriter::file_size() const { return state_ ? state_->final_size : 0; }
uint64_t HRStreamWriter::bricks_written() const { return state_ ? state_->bricks : 0; }

}  // namespace QVX::Tools
