#include "tools/hr_writer/hr_writer.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <utility>

#include "tools/hr_writer/hr_file_bytes.h"

namespace QVX::Tools {
namespace {

using namespace HRBytes;

// Any word differs from itself xor this, and the fallback below is never 0.
constexpr uint32_t kWrongWordMask = 0xA5A5A5A5u;

// Where the fields after the 16-byte probe start, by version.
struct HeaderLayout {
  int checksum_type;  // -1: not stored
  int info_address;   // -1: not stored
  int brick_size;
  uint64_t end;  // the root's node record
};

HeaderLayout header_layout(uint32_t version) {
  switch (version) {
    case 1:
      return {-1, -1, 16, 113};
    case 2:
    case 3:
      return {-1, 16, 24, 121};
    default:
      return {16, 17, 25, 122};
  }
}

uint8_t effective_checksum_type(const HRWriteOptions& options) {
  switch (options.version) {
    case 1:
    case 2:
      return 0;
    case 3:
      return 2;
    default:
      return options.checksum_type;
  }
}

bool ask(const std::function<bool(const HRNodeKey&)>& predicate, const HRNodeKey& key) {
  return predicate && predicate(key);
}

HRNodeKey child_key(const HRNodeKey& parent, uint32_t i) {
  return {parent.depth + 1, 2 * parent.x + (i & 1), 2 * parent.y + ((i >> 1) & 1),
          2 * parent.z + ((i >> 2) & 1)};
}

// A node record of the file, in breadth-first (file) order.
struct PlannedNode {
  HRNodeKey key;
  size_t first_child = 0;  // index of child 0 when has_tile; the 8 children are adjacent
  bool has_tile = false;
  bool beyond_finest = false;  // in a tile of depth max_depth + 1
  bool has_brick = false;
  bool past_end = false;
  uint32_t child_flag = 0;
  uint64_t brick_offset = 0;
  float min = 0.0f, max = 0.0f;
};

class Writer {
 public:
  Writer(const std::string& path, const HRWriteOptions& options, std::string* error)
      : path_(path), options_(options), error_(error) {}

  bool run(HRWriteResult* result);

 private:
  bool fail(const std::string& message) {
    if (error_ != nullptr) *error_ = message;
    return false;
  }
  bool check_options();
  void plan_tree();
  bool plan_layout();
  void children_first(size_t index, std::vector<size_t>* order) const;
  bool write_at(uint64_t offset, const void* bytes, uint64_t size);
  bool compute(const HRNodeKey& key, size_t index, bool in_tree);
  void fill_finest(const HRNodeKey& key, float* samples) const;
  bool finish_node(size_t index, const float* samples);
  void fill_expected(const HRNodeKey& key, const PlannedNode& node, const float* samples);
  std::vector<uint8_t> header_and_nodes() const;

  const std::string& path_;
  const HRWriteOptions& options_;
  std::string* error_;

  std::array<uint32_t, 3> resolution_{};
  std::array<uint32_t, 3> hr_resolution_{};
  uint32_t max_depth_ = 0;
  uint8_t checksum_type_ = 0;
  HeaderLayout layout_{};
  uint64_t node_area_end_ = 0;
  uint64_t info_address_ = 0;
  bool write_info_ = false;
  uint64_t file_size_ = 0;
  std::vector<PlannedNode> nodes_;
  std::vector<std::vector<float>> level_samples_;  // one brick per depth while computing
  std::vector<uint8_t> record_;                    // a brick record's bytes
  std::vector<float> expected_;
  std::ofstream out_;
};

bool Writer::check_options() {
  const HRWriteOptions& o = options_;
  if (o.version < 1 || o.version > 4) {
    return fail("version " + std::to_string(o.version) + " is not 1 to 4");
  }
  if (!o.voxel) return fail("no voxel function");
  resolution_ = o.resolution;
  hr_resolution_ = o.hr_resolution;
  if (hr_resolution_ == std::array<uint32_t, 3>{0, 0, 0}) hr_resolution_ = resolution_;
  for (int a = 0; a < 3; ++a) {
    if (resolution_[a] == 0) return fail("resolution has a zero component");
    if (hr_resolution_[a] < resolution_[a]) return fail("hr_resolution below resolution");
  }
  // Compared before any node is planned: a full tree grows by 8 per level.
  const uint32_t largest = std::max({hr_resolution_[0], hr_resolution_[1], hr_resolution_[2]});
  if (largest > (kBrickEdge << kHRWriterMaxDepth)) {
    return fail("hr_resolution needs a depth above " + std::to_string(kHRWriterMaxDepth));
  }
  max_depth_ = hr_max_depth(hr_resolution_);
  checksum_type_ = effective_checksum_type(o);
  if (o.pack_without_checksum_word && (checksum_type_ == 1 || checksum_type_ == 2)) {
    return fail("bricks without checksum words need a checksum type that is never verified");
  }
  layout_ = header_layout(o.version);
  return true;
}

// Appending each tile while walking the list in order gives the file's breadth-first
// order: a level's tiles follow their parents' order and node order within a tile.
void Writer::plan_tree() {
  nodes_.push_back({});
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const HRNodeKey key = nodes_[i].key;
    bool tile = false;
    if (nodes_[i].beyond_finest) {
      nodes_[i].child_flag = options_.beyond_finest_child_flag;
    } else {
      nodes_[i].has_brick = !ask(options_.no_brick, key);
      nodes_[i].past_end = nodes_[i].has_brick && ask(options_.brick_past_end, key);
      tile =
          key.depth < max_depth_ ? !ask(options_.stop_here, key) : ask(options_.finest_tile, key);
    }
    if (!tile) continue;
    nodes_[i].has_tile = true;
    nodes_[i].child_flag = options_.child_flag;
    nodes_[i].first_child = nodes_.size();
    const bool beyond = key.depth == max_depth_;
    for (uint32_t c = 0; c < 8; ++c) {
      PlannedNode child;
      child.key = child_key(key, c);
      child.beyond_finest = beyond;
      nodes_.push_back(child);
    }
  }
}

void Writer::children_first(size_t index, std::vector<size_t>* order) const {
  const PlannedNode& node = nodes_[index];
  if (node.has_tile && node.key.depth < max_depth_) {
    for (size_t c = 0; c < 8; ++c) children_first(node.first_child + c, order);
  }
  if (node.has_brick && !node.past_end) order->push_back(index);
}

bool Writer::plan_layout() {
  const HRWriteOptions& o = options_;
  node_area_end_ = layout_.end + kNodeRecordBytes + kTileBytes * ((nodes_.size() - 1) / 8);
  const bool has_info = o.version >= 2;
  const uint64_t info_bytes = 4 + o.info_payload.size();

  uint64_t area = node_area_end_;
  if (has_info && o.info_placement == HRInfoPlacement::BeforeBricks) {
    info_address_ = node_area_end_;
    area += info_bytes;
  }
  if (o.brick_area_offset) {
    if (*o.brick_area_offset < area) {
      return fail("brick area at " + std::to_string(*o.brick_area_offset) +
                  " overlaps what precedes it (ends at " + std::to_string(area) + ")");
    }
    area = *o.brick_area_offset;
  }

  std::vector<size_t> order;
  if (o.brick_order == HRBrickOrder::ChildrenFirst) {
    children_first(0, &order);
  } else {
    for (size_t i = 0; i < nodes_.size(); ++i) {
      if (nodes_[i].has_brick && !nodes_[i].past_end) order.push_back(i);
    }
    if (o.brick_order == HRBrickOrder::ReverseBreadthFirst) {
      std::reverse(order.begin(), order.end());
    }
  }
  const uint64_t record = o.pack_without_checksum_word ? kBrickDataBytes : kBrickRecordBytes;
  uint64_t next = area;
  for (size_t index : order) {
    next += o.brick_gap;
    nodes_[index].brick_offset = next;
    next += record;
  }
  file_size_ = next;

  if (has_info) {
    switch (o.info_placement) {
      case HRInfoPlacement::BeforeBricks:
        write_info_ = true;
        break;
      case HRInfoPlacement::AfterBricks:
        info_address_ = next;
        write_info_ = true;
        file_size_ += info_bytes;
        break;
      case HRInfoPlacement::AtAddress:
        if (o.info_address < node_area_end_) {
          return fail("info block at " + std::to_string(o.info_address) +
                      " overlaps the header or the node area");
        }
        info_address_ = o.info_address;
        write_info_ = true;
        file_size_ = std::max(file_size_, info_address_ + info_bytes);
        break;
      case HRInfoPlacement::AddressOnly:
        info_address_ = o.info_address;
        break;
    }
  }
  for (PlannedNode& node : nodes_) {
    if (node.past_end) node.brick_offset = file_size_;
  }
  return true;
}

bool Writer::write_at(uint64_t offset, const void* bytes, uint64_t size) {
  out_.seekp(static_cast<std::streamoff>(offset));
  out_.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  if (!out_) return fail("cannot write " + path_ + " at offset " + std::to_string(offset));
  return true;
}

void Writer::fill_finest(const HRNodeKey& key, float* samples) const {
  const uint64_t start[3] = {uint64_t{key.x} * kBrickEdge, uint64_t{key.y} * kBrickEdge,
                             uint64_t{key.z} * kBrickEdge};
  uint32_t count[3];
  for (int a = 0; a < 3; ++a) {
    count[a] =
        start[a] >= resolution_[a]
            ? 0
            : static_cast<uint32_t>(std::min<uint64_t>(kBrickEdge, resolution_[a] - start[a]));
  }
  std::fill(samples, samples + kBrickSamples, 0.0f);
  for (uint32_t z = 0; z < count[2]; ++z) {
    for (uint32_t y = 0; y < count[1]; ++y) {
      float* row = samples + kBrickEdge * y + kBrickEdge * kBrickEdge * z;
      const auto vy = static_cast<uint32_t>(start[1] + y);
      const auto vz = static_cast<uint32_t>(start[2] + z);
      for (uint32_t x = 0; x < count[0]; ++x) {
        row[x] = options_.voxel(static_cast<uint32_t>(start[0] + x), vy, vz);
      }
    }
  }
}

// Children first, so each brick is complete when its node's turn comes and only one
// brick per level is held. Nodes outside the tree (below a pruned leaf) are computed for
// their ancestors' sake; nodes entirely beyond `resolution` are zero and only visited
// when the tree has records for them.
bool Writer::compute(const HRNodeKey& key, size_t index, bool in_tree) {
  float* samples = level_samples_[key.depth].data();
  const bool outside = hr_node_is_padding(key, resolution_, max_depth_);
  const PlannedNode* node = in_tree ? &nodes_[index] : nullptr;
  const bool tree_children = node != nullptr && node->has_tile && key.depth < max_depth_;
  if (key.depth == max_depth_) {
    fill_finest(key, samples);
  } else if (outside) {
    std::fill(samples, samples + kBrickSamples, 0.0f);
    if (tree_children) {
      for (uint32_t c = 0; c < 8; ++c) {
        if (!compute(child_key(key, c), node->first_child + c, true)) return false;
      }
    }
  } else {
    for (uint32_t c = 0; c < 8; ++c) {
      const size_t child = tree_children ? node->first_child + c : 0;
      if (!compute(child_key(key, c), child, tree_children)) return false;
      reduce_into(level_samples_[key.depth + 1].data(), c, samples);
    }
  }
  if (!in_tree) return true;
  if (options_.want_expected && !tree_children && !outside) fill_expected(key, *node, samples);
  return finish_node(index, samples);
}

bool Writer::finish_node(size_t index, const float* samples) {
  PlannedNode& node = nodes_[index];
  if (!node.has_brick) return true;
  const auto [lo, hi] = std::minmax_element(samples, samples + kBrickSamples);
  node.min = *lo;
  node.max = *hi;
  if (node.past_end) return true;

  uint32_t word_sum = 0;
  for (uint32_t s = 0; s < kBrickSamples; ++s) {
    const uint32_t bits = std::bit_cast<uint32_t>(samples[s]);
    put_u32(record_.data() + 4 * s, bits);
    word_sum += bits;
  }
  uint32_t word = 0;
  if (checksum_type_ == 1) word = word_sum;
  if (checksum_type_ == 2) {
    word = static_cast<uint32_t>(crc32(0L, record_.data(), static_cast<uInt>(kBrickDataBytes)));
  }
  const HRChecksumWord choice =
      options_.checksum_word ? options_.checksum_word(node.key) : HRChecksumWord::Correct;
  if (choice == HRChecksumWord::Zero) word = 0;
  if (choice == HRChecksumWord::Wrong) {
    word ^= kWrongWordMask;
    if (word == 0) word = ~kWrongWordMask;
  }
  put_u32(record_.data() + kBrickDataBytes, word);
  const uint64_t size = options_.pack_without_checksum_word ? kBrickDataBytes : kBrickRecordBytes;
  return write_at(node.brick_offset, record_.data(), size);
}

void Writer::fill_expected(const HRNodeKey& key, const PlannedNode& node, const float* samples) {
  const uint32_t k = max_depth_ - key.depth;
  const uint64_t edge = uint64_t{kBrickEdge} << k;
  const uint64_t start[3] = {key.x * edge, key.y * edge, key.z * edge};
  uint64_t end[3];
  for (int a = 0; a < 3; ++a) end[a] = std::min<uint64_t>(start[a] + edge, resolution_[a]);
  const uint64_t nx = resolution_[0], nxy = nx * resolution_[1];
  for (uint64_t z = start[2]; z < end[2]; ++z) {
    for (uint64_t y = start[1]; y < end[1]; ++y) {
      for (uint64_t x = start[0]; x < end[0]; ++x) {
        float value = 0.0f;
        if (node.has_brick) {
          value = samples[((x - start[0]) >> k) + kBrickEdge * ((y - start[1]) >> k) +
                          kBrickEdge * kBrickEdge * ((z - start[2]) >> k)];
        }
        expected_[x + nx * y + nxy * z] = value;
      }
    }
  }
}

std::vector<uint8_t> Writer::header_and_nodes() const {
  const HRWriteOptions& o = options_;
  std::vector<uint8_t> bytes(node_area_end_, 0);
  uint8_t* p = bytes.data();
  std::memcpy(p, kMagic, sizeof kMagic);
  put_u32(p + 8, o.version);
  if (layout_.checksum_type >= 0) p[layout_.checksum_type] = o.checksum_type;
  if (layout_.info_address >= 0) put_u64(p + layout_.info_address, info_address_);
  p[layout_.brick_size] = o.brick_size;
  // The geometry follows the brick size directly in every version.
  uint8_t* field = p + layout_.brick_size + 1;
  for (uint32_t v : resolution_) put_u32(std::exchange(field, field + 4), v);
  for (uint32_t v : hr_resolution_) put_u32(std::exchange(field, field + 4), v);

  std::array<double, 3> vmax{}, hr_vmax{};
  const uint64_t root_edge = uint64_t{kBrickEdge} << max_depth_;
  for (int a = 0; a < 3; ++a) {
    vmax[a] = o.vmax ? (*o.vmax)[a] : o.vmin[a] + resolution_[a];
    const double voxel_size = (vmax[a] - o.vmin[a]) / resolution_[a];
    hr_vmax[a] =
        o.hr_vmax ? (*o.hr_vmax)[a] : o.vmin[a] + static_cast<double>(root_edge) * voxel_size;
  }
  for (double v : o.vmin) put_f64(std::exchange(field, field + 8), v);
  for (double v : vmax) put_f64(std::exchange(field, field + 8), v);
  for (double v : hr_vmax) put_f64(std::exchange(field, field + 8), v);

  auto put_node = [](uint8_t* r, const PlannedNode& node) {
    put_u32(r, node.child_flag);
    put_u64(r + 4, node.brick_offset);
    put_f32(r + 12, node.min);
    put_f32(r + 16, node.max);
  };
  put_node(p + layout_.end, nodes_[0]);
  uint8_t* tile = p + layout_.end + kNodeRecordBytes;
  for (const PlannedNode& parent : nodes_) {
    if (!parent.has_tile) continue;
    // Tiles stand in the order of their children's indices, which is the parents' order.
    const size_t t = (parent.first_child - 1) / 8;
    uint8_t* at = tile + kTileBytes * t;
    put_u32(at, parent.key.x);
    put_u32(at + 4, parent.key.y);
    put_u32(at + 8, parent.key.z);
    for (size_t c = 0; c < 8; ++c) {
      put_node(at + 12 + kNodeRecordBytes * c, nodes_[parent.first_child + c]);
    }
  }
  return bytes;
}

bool Writer::run(HRWriteResult* result) {
  if (!check_options()) return false;
  plan_tree();
  if (!plan_layout()) return false;

  if (options_.want_expected) {
    const uint64_t count = uint64_t{resolution_[0]} * resolution_[1] * resolution_[2];
    if (count > expected_.max_size()) throw std::bad_alloc();
    expected_.assign(count, 0.0f);
  }
  level_samples_.assign(max_depth_ + 1, std::vector<float>(kBrickSamples));
  record_.assign(kBrickRecordBytes, 0);

  out_.open(path_, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out_) return fail("cannot create " + path_);
  if (!compute(HRNodeKey{}, 0, true)) return false;
  // Written after the bricks: the node records need the bricks' min and max.
  const std::vector<uint8_t> head = header_and_nodes();
  if (!write_at(0, head.data(), head.size())) return false;
  if (write_info_) {
    std::vector<uint8_t> info(4 + options_.info_payload.size());
    put_u32(info.data(), options_.info_size);
    std::memcpy(info.data() + 4, options_.info_payload.data(), options_.info_payload.size());
    if (!write_at(info_address_, info.data(), info.size())) return false;
  }
  out_.close();
  if (!out_) return fail("cannot close " + path_);

  std::error_code ec;
  if (options_.truncate_to) {
    std::filesystem::resize_file(path_, *options_.truncate_to, ec);
    if (ec) return fail("cannot truncate " + path_ + ": " + ec.message());
    file_size_ = *options_.truncate_to;
  }
  // Catches a layout whose last record was not written where it was planned.
  const uint64_t size = std::filesystem::file_size(path_, ec);
  if (ec || size != file_size_) {
    return fail("wrote " + std::to_string(size) + " bytes to " + path_ + ", planned " +
                std::to_string(file_size_));
  }

  if (result != nullptr) {
    result->file_size = file_size_;
    result->max_depth = max_depth_;
    result->checksum_type = checksum_type_;
    result->info_address = info_address_;
    result->nodes.clear();
    result->nodes.reserve(nodes_.size());
    for (const PlannedNode& node : nodes_) {
      result->nodes.push_back(
          {node.key, node.child_flag, node.has_tile, node.brick_offset, node.min, node.max});
    }
    result->expected = std::move(expected_);
  }
  return true;
}

}  // namespace

uint32_t hr_max_depth(const std::array<uint32_t, 3>& hr_resolution) {
  const uint64_t largest = std::max({hr_resolution[0], hr_resolution[1], hr_resolution[2]});
  uint32_t depth = 0;
  while ((uint64_t{kBrickEdge} << depth) < largest) ++depth;
  return depth;
}

bool hr_node_is_padding(const HRNodeKey& key, const std::array<uint32_t, 3>& resolution,
                        uint32_t max_depth) {
  if (key.depth > max_depth) return true;
  const uint64_t edge = uint64_t{kBrickEdge} << (max_depth - key.depth);
  return key.x * edge >= resolution[0] || key.y * edge >= resolution[1] ||
         key.z * edge >= resolution[2];
}

bool write_hr_volume(const std::string& path, const HRWriteOptions& options, HRWriteResult* result,
                     std::string* error) {
  try {
    return Writer(path, options, error).run(result);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = std::string("failed writing ") + path + ": " + e.what();
    return false;
  } catch (...) {
    if (error != nullptr) *error = "failed writing " + path + ": unknown exception";
    return false;
  }
}

}  // namespace QVX::Tools
