#include "ct/hr_volume.h"

#include <algorithm>
#include <cstring>

#include "base/clock.h"
#include "base/endian.h"
#include "base/log.h"
#include "base/utf.h"
#include "ct/hr_format.h"
#include "ct/loader.h"

namespace QVX::CT {
namespace {

// Brick records beyond the end of the file are reported one by one up to this many, then
// counted: a damaged file may hold millions of them.
constexpr uint64_t kBrickWarningsShown = 8;

bool read_bytes(Base::File::MappedFile& file, void* out, uint64_t count, const char* failure) {
  if (file.map_read(out, count)) return true;
  Base::log_printf("%s", failure);
  return false;
}

bool read_vec3u(Base::File::MappedFile& file, HRVec3u* out, const char* failure) {
  unsigned char bytes[12];
  if (!read_bytes(file, bytes, sizeof bytes, failure)) return false;
  *out = {Base::load_le32(bytes), Base::load_le32(bytes + 4), Base::load_le32(bytes + 8)};
  return true;
}

bool read_vec3d(Base::File::MappedFile& file, HRVec3d* out, const char* failure) {
  unsigned char bytes[24];
  if (!read_bytes(file, bytes, sizeof bytes, failure)) return false;
  *out = {Base::load_le_f64(bytes), Base::load_le_f64(bytes + 8), Base::load_le_f64(bytes + 16)};
  return true;
}

}  // namespace

HRVolume::HRVolume() : loader_(std::make_unique<Loader>(*this, brick_pool_, pool_lock_)) {}

HRVolume::~HRVolume() {
  if (!hr_close()) Base::log_printf("FAILED to close HR Volume '%s'\n", name_.c_str());
  loader_.reset();
  // The pool hands its bricks back to nodes of the node pool, so it goes first.
  brick_pool_.set_capacity(0);
  node_pool_.clear();
  root_ = HRNode{};
  root_brick_.reset();
  file_.map_close();
}

bool HRVolume::fail_open() {
  file_.map_close();
  return false;
}

bool HRVolume::open_existing(const std::wstring& path) {
  const std::string name = Base::wide_to_utf8(path);
  // The tree and the loader belong to one file for the object's life.
  if (version_ != 0 || file_.map_base() != nullptr || loader_->running()) {
    Base::log_printf("FAILED to open existing HR Volume '%s': '%s' is already open\n", name.c_str(),
                     name_.c_str());
    return false;
  }
  name_ = name;
  if (!file_.map_open(name_.c_str())) {
    Base::log_printf("FAILED to open existing HR Volume '%s'\n", name_.c_str());
    return false;
  }
  if (!read_header()) return fail_open();

  unsigned char info[4];
  info_size_ = 0;
  if (!file_.map_read_at(info, info_address_, sizeof info)) {
    Base::log_printf("FAILED to read info size\n");
    return fail_open();
  }
  info_size_ = Base::load_le32(info);

  if (!read_nodes()) {
    Base::log_printf("FAILED reading HR Volume nodes from '%s'\n", name_.c_str());
    return fail_open();
  }
  brick_pool_.set_source(&file_, checksum_type_);
  return true;
}

bool HRVolume::read_header() {
  unsigned char magic[kHRHeaderProbeSize];
  if (!file_.map_read_at(magic, 0, sizeof magic)) {
    Base::log_printf("FAILED to read file magic in HR Volume '%s'\n", name_.c_str());
    return false;
  }
  version_ = hr_header_version(magic);
  if (version_ == 0) {
    Base::log_printf("FAILED to find HR Volume in '%s'\n", name_.c_str());
    return false;
  }
  Base::log_printf("Opened existing HR Volume '%s' %s (version %u)\n", name_.c_str(), "read-only",
                   version_);

  if (version_ == 4) {
    unsigned char type = 0;
    if (!read_bytes(file_, &type, 1, "FAILED to read checksum type\n")) return false;
    checksum_type_ = type;
    Base::log_printf("HR Volume has checksum type %u\n", checksum_type_);
  } else {
    checksum_type_ = implied_checksum_type(version_);
  }

  info_address_ = 0;
  if (version_ != 1) {
    unsigned char address[8];
    if (!read_bytes(file_, address, sizeof address, "FAILED to read info address\n")) {
      return false;
    }
    info_address_ = Base::load_le64(address);
  }

  unsigned char brick_size = 0;
  if (!read_bytes(file_, &brick_size, 1, "FAILED to read brick size\n")) return false;
  if (brick_size != kBrickEdge) {
    Base::log_printf(
        "FAILED to find valid HR Volume in '%s': Incompatible brick size: Expected %u, "
        "found %u\n",
        name_.c_str(), kBrickEdge, static_cast<unsigned>(brick_size));
    return false;
  }

  if (!read_vec3u(file_, &resolution_, "FAILED to read volume resolution\n") ||
      !read_vec3u(file_, &hr_resolution_, "FAILED to read volume hr resolution\n") ||
      !read_vec3d(file_, &vmin_, "FAILED to read volume min\n") ||
      !read_vec3d(file_, &vmax_, "FAILED to read volume max\n") ||
      !read_vec3d(file_, &hr_vmax_, "FAILED to read volume hr max\n")) {
    return false;
  }

  const uint32_t largest = std::max({hr_resolution_.x, hr_resolution_.y, hr_resolution_.z});
  if (!compute_max_depth(largest, &max_depth_)) {
    Base::log_printf(
        "FAILED to find valid HR Volume in '%s': Unsupported hr resolution %u,%u,%u: the "
        "largest must be from %u to %u\n",
        name_.c_str(), hr_resolution_.x, hr_resolution_.y, hr_resolution_.z, kBrickEdge / 2 + 1,
        kBrickEdge << kMaxSupportedDepth);
    return false;
  }
  // Slices address voxels through the tree; voxels beyond the root's cube have no node.
  const uint64_t extent = uint64_t{kBrickEdge} << max_depth_;
  if (resolution_.x > extent || resolution_.y > extent || resolution_.z > extent) {
    Base::log_printf(
        "FAILED to find valid HR Volume in '%s': Resolution %u,%u,%u exceeds the stored "
        "extent of %llu voxels per axis\n",
        name_.c_str(), resolution_.x, resolution_.y, resolution_.z, Base::as_ull(extent));
    return false;
  }
  voxel_size_ = {(vmax_.x - vmin_.x) / resolution_.x, (vmax_.y - vmin_.y) / resolution_.y,
                 (vmax_.z - vmin_.z) / resolution_.z};

  Base::log_printf("Opening HR Volume with resolution %u,%u,%u (version %u, stored in %u,%u,%u)\n",
                   resolution_.x, resolution_.y, resolution_.z, version_, hr_resolution_.x,
                   hr_resolution_.y, hr_resolution_.z);
  return true;
}

bool HRVolume::read_nodes() {
  const int64_t start = Base::counter_now();
  const uint64_t header_end = hr_header_end(version_);
  // Only the position matters here; reading nothing at it cannot fail.
  file_.map_read_at(nullptr, header_end, 0);

  if (!read_node(root_, file_)) {
    Base::log_printf("FAILED to read root node\n");
    return false;
  }
  if (root_.child_flag != 0) {
    if (!read_node_pool(node_pool_, file_, max_depth_)) return false;
    root_.children = &node_pool_.front();
  }

  root_brick_ = std::make_unique<PoolBrick>();
  root_.brick = root_brick_.get();
  // Offset 0 means "no brick": the root's samples then stay 0.0 rather than being read
  // from the file's header.
  if (root_.brick_offset != 0) {
    bool checksum_ok = true;
    if (!brick_read(*root_brick_, file_, root_.brick_offset, checksum_type_, &checksum_ok)) {
      Base::log_printf("FAILED to load new brick at %llu into pool\n",
                       Base::as_ull(root_.brick_offset));
      Base::log_printf("FAILED to load root brick\n");
      return false;
    }
    if (checksum_type_ != kChecksumNone && !checksum_ok) {
      Base::log_printf("WARNING data verification for brick at %llu FAILED...\n",
                       Base::as_ull(root_.brick_offset));
    }
  } else {
    root_brick_->dirty = 0;
  }
  root_brick_->bordered = 1;
  check_brick_records();

  Base::log_printf("Reading HR Volume nodes, took %.1fs\n",
                   Base::counter_seconds(start, Base::counter_now()));
  return true;
}

// Bricks are read only when a slice or a request needs them; a record cut off by the end
// of the file is reported here once, and refused where it would be read.
void HRVolume::check_brick_records() {
  const uint64_t size = file_.map_size();
  const uint64_t record = brick_record_bytes(checksum_type_);
  uint64_t outside = 0;
  auto check = [&](const HRNode& node) {
    if (node.brick_offset == 0) return;
    if (node.brick_offset <= size && record <= size - node.brick_offset) return;
    if (++outside <= kBrickWarningsShown) {
      Base::log_printf(
          "WARNING brick record at offset %llu lies beyond the end of '%s' (%llu bytes)\n",
          Base::as_ull(node.brick_offset), name_.c_str(), Base::as_ull(size));
    }
  };
  check(root_);
  for (const NodeTile& tile : node_pool_) {
    for (const HRNode& node : tile.nodes) check(node);
  }
  if (outside > kBrickWarningsShown) {
    Base::log_printf("WARNING %llu more brick records lie beyond the end of '%s'\n",
                     Base::as_ull(outside - kBrickWarningsShown), name_.c_str());
  }
}

void HRVolume::start_loader() {
  std::lock_guard<std::mutex> lock(close_lock_);
  if (file_.map_base() != nullptr) loader_->start_loader();
}

bool HRVolume::set_pool_capacity(uint64_t bricks) {
  std::lock_guard<std::mutex> close(close_lock_);
  loader_->stop_loader();
  bool made = false;
  {
    std::lock_guard<std::mutex> lock(pool_lock_);
    made = brick_pool_.set_capacity(bricks);
  }
  if (made && bricks != 0 && file_.map_base() != nullptr) loader_->start_loader();
  return made;
}

bool HRVolume::hr_close() {
  bool result = true;
  {
    std::lock_guard<std::mutex> lock(close_lock_);
    loader_->stop_loader();
  }
  if (!file_.map_close()) {
    Base::log_printf("FAILED to close file map for HR Volume '%s'\n", name_.c_str());
    result = false;
  }
  return result;
}

}  // namespace QVX::CT
