// Bricks in memory: copying a brick record of the mapped file into a bordered buffer
// (with checksum verification) and back, and the pool of buffers lent to nodes on request
// and taken back from the least recently loaded node when the pool is full.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_set>
#include <vector>

#include "ct/hr_format.h"

namespace QVX::Base::File {
class MappedFile;
}

namespace QVX::CT {

struct HRNode;
struct NodeRequest;

// A 32^3 brick inside a one-voxel border: 34^3 samples, element (x, y, z) at
// (z * 34 + y) * 34 + x; brick sample (i, j, k) is element (i + 1, j + 1, k + 1).
inline constexpr uint32_t kPoolBrickEdge = kBrickEdge + 2;
inline constexpr uint32_t kPoolBrickSamples = kPoolBrickEdge * kPoolBrickEdge * kPoolBrickEdge;

struct PoolBrick {
  static constexpr uint32_t index(uint32_t x, uint32_t y, uint32_t z) {
    return (z * kPoolBrickEdge + y) * kPoolBrickEdge + x;
  }
  float& at(uint32_t x, uint32_t y, uint32_t z) { return samples[index(x, y, z)]; }
  float at(uint32_t x, uint32_t y, uint32_t z) const { return samples[index(x, y, z)]; }

  // Zero when the brick is value-initialised (PoolBrick{}, make_unique<PoolBrick>()); the
  // pool's storage is never initialised as a whole (brick_read sets what it reads), so that
  // a large pool costs nothing until used.
  float samples[kPoolBrickSamples];
  // Set while a read runs (and after a read failed): the samples may differ from the file.
  uint8_t dirty = 1;
  // The border has been filled from the neighbours.
  uint8_t bordered = 0;
};

// Copies the brick record at `offset` into the interior of `brick` (border zeroed, or
// left as it was when `clear_border` is false) and verifies it with `checksum_type`;
// `*checksum_ok` is false when the stored word does not pass. A record that does not lie
// inside the file, or a fault while copying, logs "FAILED to read brick at offset
// <offset> (<code>)" and answers false with `dirty` set.
bool brick_read(PoolBrick& brick, const Base::File::MappedFile& file, uint64_t offset,
                uint32_t checksum_type, bool* checksum_ok, bool clear_border = true);
// Writes a dirty brick back. The mapping is read-only, so a dirty brick is refused
// before anything is touched ("FAILED to write brick at offset <offset> (<code>)"); a
// clean one answers true and writes nothing.
bool brick_write(PoolBrick& brick, const Base::File::MappedFile& file, uint64_t offset,
                 uint32_t checksum_type);

// The pool takes no lock itself: every caller holds the volume's pool lock around each
// operation. The root's brick is not the pool's.
class BrickPool {
 public:
  BrickPool() = default;
  ~BrickPool();
  BrickPool(const BrickPool&) = delete;
  BrickPool& operator=(const BrickPool&) = delete;

  // The file the bricks come from and how they are verified; set once the header is read.
  void set_source(const Base::File::MappedFile* file, uint32_t checksum_type);

  // Makes sure the request's node holds a pool brick with its samples, evicting the least
  // recently loaded node when the pool is full. Clears the request's `valid` flag when the
  // loaded brick fails verification (the brick is used all the same).
  bool pool_load(NodeRequest& request);

  // pool_load in three steps, so that the copy and its check, the long part, run without
  // the pool lock and on several threads at once. pool_take (lock held) gives the brick to
  // read the node into: Read, with `*brick` taken off the free list (evicting as
  // pool_load does); Loaded when the node holds its brick already; Failed after logging
  // why; Busy when every brick is being read by other threads (try again). pool_read (no
  // lock needed) reads it; pool_give (lock held) lends it to the node, or takes it back
  // when the read failed (false) or another thread's load of the node came first.
  enum class Take { Read, Loaded, Failed, Busy };
  Take pool_take(NodeRequest& request, PoolBrick** brick);
  // The border is not cleared: a pool brick is used only once the border fill has
  // written every sample of it.
  bool pool_read(PoolBrick& brick, uint64_t offset, bool* checksum_ok) const {
    return brick_read(brick, *file_, offset, checksum_type_, checksum_ok, false);
  }
  bool pool_give(NodeRequest& request, PoolBrick* brick, bool read, bool checksum_ok);
  // Writes back and takes back every lent brick.
  void pool_flush();
  // Orders used_list by last_use, greatest first (stable).
  void pool_sort_by_last_use();
  // Flushes, releases the old bricks and puts `count` new ones on the free list. The pool
  // is made with none; false (pool left empty) when the bricks cannot be allocated.
  bool set_capacity(uint64_t count);

  uint64_t capacity() const { return capacity_; }
  uint64_t used_count() const { return used_count_; }
  // Brick records read into the pool so far, and whether the record at `offset` has
  // failed verification in it (remembered for the volume's life: the file is read-only).
  uint64_t load_count() const { return load_count_; }
  bool failed_verification(uint64_t offset) const { return failed_.count(offset) != 0; }
  const std::list<HRNode*>& used_list() const { return used_list_; }
  const std::vector<PoolBrick*>& free_list() const { return free_list_; }

 private:
  void release_storage();

  // capacity_ bricks from Base::Platform::allocate_large; null when there are none.
  PoolBrick* storage_ = nullptr;
  uint64_t capacity_ = 0;
  std::vector<PoolBrick*> free_list_;  // taken from and returned to the back
  std::list<HRNode*> used_list_;       // the most recently loaded at the front
  const Base::File::MappedFile* file_ = nullptr;
  uint32_t checksum_type_ = kChecksumNone;
  uint64_t used_count_ = 0;
  uint64_t load_count_ = 0;
  std::unordered_set<uint64_t> failed_;
};

}  // namespace QVX::CT
