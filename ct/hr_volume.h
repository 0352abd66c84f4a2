// One open HR volume: the memory-mapped file, its node tree with the root brick, the
// brick pool and the loader threads. Opened once with open_existing; closed by hr_close
// (loader stopped and joined before the mapping goes away) or by destruction. The loader's
// threads start only when the pool is given bricks or a caller needs it: a volume read
// only by slices and regions runs no thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/file/mapped_file.h"
#include "ct/brick_pool.h"
#include "ct/node_tree.h"

namespace QVX::CT {

class Loader;

struct HRVec3u {
  uint32_t x = 0, y = 0, z = 0;
};
struct HRVec3d {
  double x = 0.0, y = 0.0, z = 0.0;
};

class HRVolume {
 public:
  HRVolume();
  // hr_close ("FAILED to close HR Volume '<name>'" when it fails), then releases
  // everything.
  ~HRVolume();
  HRVolume(const HRVolume&) = delete;
  HRVolume& operator=(const HRVolume&) = delete;

  // Maps the file, reads the header, the node tree and the root brick. Called once per
  // object. Every failure logs its "FAILED" lines innermost first
  // and leaves the file unmapped and no thread running. Throws "bad conversion" for a
  // path that is not well formed.
  bool open_existing(const std::wstring& path);
  // Stops and joins the loader, then unmaps the file. A second call finds nothing to do.
  bool hr_close();

  // Starts the loader's threads unless they run (or the volume is not open).
  void start_loader();
  // Gives the pool `bricks` bricks, flushed and replaced under the pool lock; the loader is
  // stopped around the change and started again when the pool has bricks, so that its
  // preload plans for them. False, with the pool left empty, when they cannot be made.
  bool set_pool_capacity(uint64_t bricks);

  const std::string& name() const { return name_; }
  uint32_t version() const { return version_; }
  uint32_t checksum_type() const { return checksum_type_; }
  uint64_t info_address() const { return info_address_; }
  uint32_t info_size() const { return info_size_; }
  uint32_t max_depth() const { return max_depth_; }
  const HRVec3u& resolution() const { return resolution_; }
  const HRVec3u& hr_resolution() const { return hr_resolution_; }
  const HRVec3d& vmin() const { return vmin_; }
  const HRVec3d& vmax() const { return vmax_; }
  const HRVec3d& hr_vmax() const { return hr_vmax_; }
  const HRVec3d& voxel_size() const { return voxel_size_; }

  // The tree: fixed while open; the root holds the root brick until destruction.
  const HRNode& root() const { return root_; }
  HRNode& root() { return root_; }
  const NodePool& node_pool() const { return node_pool_; }
  NodePool& node_pool() { return node_pool_; }

  const Base::File::MappedFile& file() const { return file_; }
  const uint8_t* map_base() const { return file_.map_base(); }
  BrickPool& brick_pool() { return brick_pool_; }
  std::mutex& pool_lock() { return pool_lock_; }
  Loader& loader() { return *loader_; }

 private:
  bool read_header();
  bool read_nodes();
  void check_brick_records();
  bool fail_open();

  Base::File::MappedFile file_;
  std::string name_;  // UTF-8; fills the '%s' of the messages
  uint64_t info_address_ = 0;
  uint32_t info_size_ = 0;
  HRNode root_;
  std::unique_ptr<PoolBrick> root_brick_;  // attached to root_.brick once read
  NodePool node_pool_;
  BrickPool brick_pool_;
  std::mutex pool_lock_;  // guards brick_pool_ and the brick and last_use of every node
  std::unique_ptr<Loader> loader_;
  uint32_t max_depth_ = 0;
  HRVec3u resolution_;
  HRVec3u hr_resolution_;
  HRVec3d vmin_;
  HRVec3d vmax_;
  HRVec3d hr_vmax_;
  HRVec3d voxel_size_;
  uint32_t version_ = 0;
  uint32_t checksum_type_ = kChecksumNone;
  std::mutex close_lock_;  // held by hr_close while the loader stops
};

}  // namespace QVX::CT
