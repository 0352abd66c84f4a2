#include "ct/brick_pool.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "base/clock.h"
#include "base/endian.h"
#include "base/file/mapped_file.h"
#include "base/log.h"
#include "base/platform.h"
#include "ct/node_request.h"
#include "ct/node_tree.h"

namespace QVX::CT {
namespace {

// A record that does not lie inside the mapping is refused before anything is touched, as
// the mapped file does with its reads; EFAULT ("bad address") names the cause.
constexpr unsigned kRefusedRangeCode = EFAULT;
// The mapping is read-only, and a store into it would end the process with a fault the
// guard cannot turn back; EACCES says why the write is refused.
constexpr unsigned kReadOnlyCode = EACCES;

constexpr uint64_t kRowBytes = uint64_t{kBrickEdge} * 4;
constexpr uint64_t kPlaneBytes = kRowBytes * kBrickEdge;

// Plain data: guarded_call may leave copy_record by a jump, so nothing here is destroyed.
struct RecordCopy {
  const unsigned char* record;
  float* samples;
  uint32_t type;
  uint32_t computed;
  uint32_t stored;
  volatile uint32_t rows_copied;  // whole rows in the brick, for a copy a fault ends
};

float* interior_row(float* samples, uint32_t row) {
  return samples + PoolBrick::index(1, row % kBrickEdge + 1, row / kBrickEdge + 1);
}

void copy_record(void* context) {
  auto* copy = static_cast<RecordCopy*>(context);
  const unsigned char* plane = copy->record;
  uint32_t sum = 0;
  uint32_t crc = 0;
  for (uint32_t k = 0; k < kBrickEdge; ++k, plane += kPlaneBytes) {
    const unsigned char* row = plane;
    for (uint32_t j = 0; j < kBrickEdge; ++j, row += kRowBytes) {
      float* out = interior_row(copy->samples, k * kBrickEdge + j);
      if constexpr (Base::kHostIsLittleEndian) {
        std::memcpy(out, row, kRowBytes);
      } else {
        for (uint32_t i = 0; i < kBrickEdge; ++i) out[i] = Base::load_le_f32(row + 4 * i);
      }
      // Summed from the copy, which is in the cache and in host order already.
      if (copy->type == kChecksumWordSum) {
        for (uint32_t i = 0; i < kBrickEdge; ++i) sum += std::bit_cast<uint32_t>(out[i]);
      }
      copy->rows_copied = copy->rows_copied + 1;
    }
    // A plane at a time, while it is in the cache: one call per row would cost more than
    // the CRC itself.
    if (copy->type == kChecksumCrc32) crc = brick_crc32(crc, plane, kPlaneBytes);
  }
  copy->computed = copy->type == kChecksumWordSum ? sum : crc;
  if (checksum_reads_word(copy->type)) copy->stored = Base::load_le32(plane);
}

// The interior is overwritten by the copy; only the border is zeroed beforehand.
void zero_border(float* samples) {
  constexpr uint32_t e = kPoolBrickEdge;
  constexpr size_t plane = size_t{e} * e;
  std::memset(samples, 0, plane * sizeof(float));
  std::memset(samples + size_t{e - 1} * plane, 0, plane * sizeof(float));
  for (uint32_t z = 1; z < e - 1; ++z) {
    std::memset(samples + PoolBrick::index(0, 0, z), 0, e * sizeof(float));
    std::memset(samples + PoolBrick::index(0, e - 1, z), 0, e * sizeof(float));
    for (uint32_t y = 1; y < e - 1; ++y) {
      samples[PoolBrick::index(0, y, z)] = 0.0f;
      samples[PoolBrick::index(e - 1, y, z)] = 0.0f;
    }
  }
}

}  // namespace

bool brick_read(PoolBrick& brick, const Base::File::MappedFile& file, uint64_t offset,
                uint32_t checksum_type, bool* checksum_ok, bool clear_border) {
  if (clear_border) zero_border(brick.samples);
  brick.dirty = 1;
  brick.bordered = 0;

  const uint64_t size = file.map_size();
  const uint64_t bytes = brick_record_bytes(checksum_type);
  int code = static_cast<int>(kRefusedRangeCode);
  RecordCopy copy{nullptr, brick.samples, checksum_type, 0, 0, 0};
  const bool in_range = offset <= size && bytes <= size - offset;
  if (in_range) copy.record = file.map_base() + offset;
  if (!in_range || !Base::Platform::guarded_call(copy_record, &copy, &code)) {
    // What was not copied reads as zero, never as a brick read before.
    for (uint32_t row = copy.rows_copied; row < kBrickEdge * kBrickEdge; ++row) {
      std::memset(interior_row(brick.samples, row), 0, kRowBytes);
    }
    Base::log_printf("FAILED to read brick at offset %llu (%X)\n", Base::as_ull(offset),
                     static_cast<unsigned>(code));
    return false;
  }
  if (checksum_ok != nullptr)
    *checksum_ok = checksum_passes(checksum_type, copy.stored, copy.computed);
  brick.dirty = 0;
  return true;
}

bool brick_write(PoolBrick& brick, const Base::File::MappedFile& /*file*/, uint64_t offset,
                 uint32_t /*checksum_type*/) {
  if (brick.dirty == 0) return true;
  Base::log_printf("FAILED to write brick at offset %llu (%X)\n", Base::as_ull(offset),
                   kReadOnlyCode);
  return false;
}

BrickPool::~BrickPool() {
  if (capacity_ != 0) {
    pool_flush();
    release_storage();
  }
}

void BrickPool::set_source(const Base::File::MappedFile* file, uint32_t checksum_type) {
  file_ = file;
  checksum_type_ = checksum_type;
}

bool BrickPool::pool_load(NodeRequest& request) {
  PoolBrick* brick = nullptr;
  switch (pool_take(request, &brick)) {
    case Take::Loaded:
      return true;
    case Take::Read:
      break;
    case Take::Busy:
      Base::log_printf("FAILED to load brick at %llu into pool: every brick is being read\n",
                       Base::as_ull(request.node->brick_offset));
      return false;
    case Take::Failed:
      return false;
  }
  bool checksum_ok = true;
  const bool read = pool_read(*brick, request.node->brick_offset, &checksum_ok);
  return pool_give(request, brick, read, checksum_ok);
}

BrickPool::Take BrickPool::pool_take(NodeRequest& request, PoolBrick** brick) {
  HRNode& node = *request.node;
  if (node.brick_offset != 0 && node.brick != nullptr) return Take::Loaded;
  if (capacity_ == 0) {
    Base::log_printf("FAILED to load brick at %llu into pool: Capacity zero!\n",
                     Base::as_ull(node.brick_offset));
    return Take::Failed;
  }
  // Offset 0 is the file's header, never a brick; refused before a victim is given up.
  if (node.brick_offset == 0) {
    Base::log_printf("FAILED to load brick at 0 into pool: node has no brick\n");
    return Take::Failed;
  }

  if (free_list_.empty()) {
    // The other bricks are out being read.
    if (used_list_.empty()) return Take::Busy;
    HRNode* victim = used_list_.back();
    if (!brick_write(*victim->brick, *file_, victim->brick_offset, checksum_type_)) {
      Base::log_printf("FAILED to write dirty brick at %llu from pool\n",
                       Base::as_ull(victim->brick_offset));
      Base::log_printf("FAILED to unload lru brick\n");
      return Take::Failed;
    }
    victim->brick->bordered = 0;
    free_list_.push_back(victim->brick);
    victim->brick = nullptr;
    victim->last_use = 0;
    used_list_.pop_back();
    --used_count_;
  }
  *brick = free_list_.back();
  free_list_.pop_back();
  return Take::Read;
}

bool BrickPool::pool_give(NodeRequest& request, PoolBrick* brick, bool read, bool checksum_ok) {
  HRNode& node = *request.node;
  // The free list has room for every brick, so giving one back never allocates.
  if (!read) {
    free_list_.push_back(brick);
    Base::log_printf("FAILED to load new brick at %llu into pool\n",
                     Base::as_ull(node.brick_offset));
    return false;
  }
  if (checksum_type_ != kChecksumNone && !checksum_ok) {
    Base::log_printf("WARNING data verification for brick at %llu FAILED...\n",
                     Base::as_ull(node.brick_offset));
    request.valid = false;
    failed_.insert(node.brick_offset);
  }
  if (node.brick != nullptr) {
    free_list_.push_back(brick);
    return true;
  }
  // The list entry is the one allocation here; a failure leaves the pool as it was.
  try {
    used_list_.push_front(&node);
  } catch (...) {
    free_list_.push_back(brick);
    throw;
  }
  node.last_use = Base::counter_now();
  node.brick = brick;
  ++used_count_;
  ++load_count_;
  return true;
}

void BrickPool::pool_flush() {
  for (HRNode* node : used_list_) {
    PoolBrick* brick = node->brick;
    if (!brick_write(*brick, *file_, node->brick_offset, checksum_type_)) {
      Base::log_printf("FAILED to write dirty brick at %llu from pool\n",
                       Base::as_ull(node->brick_offset));
    }
    node->brick = nullptr;
    node->last_use = 0;
    brick->bordered = 0;
    free_list_.push_back(brick);
    --used_count_;
  }
  used_list_.clear();
}

void BrickPool::pool_sort_by_last_use() {
  used_list_.sort([](const HRNode* a, const HRNode* b) { return a->last_use > b->last_use; });
}

bool BrickPool::set_capacity(uint64_t count) {
  pool_flush();
  release_storage();
  if (count == 0) return true;
  try {
    if (count > std::numeric_limits<size_t>::max() / sizeof(PoolBrick)) throw std::bad_alloc();
    // Not constructed: a brick's flags are set when it is first read, so no page of a
    // brick is touched before the brick is used.
    storage_ = static_cast<PoolBrick*>(
        Base::Platform::allocate_large(static_cast<size_t>(count) * sizeof(PoolBrick)));
    if (storage_ == nullptr) throw std::bad_alloc();
    capacity_ = count;
    // Reserved whole, so giving bricks back never allocates.
    free_list_.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    release_storage();
    Base::log_printf("FAILED to allocate %llu pool bricks\n", Base::as_ull(count));
    return false;
  }
  // Lent from the lowest address up: the system clears a huge page at its first touch,
  // ending next to the address touched, so the bricks lent after it are still cached.
  for (uint64_t i = count; i-- > 0;) free_list_.push_back(&storage_[i]);
  return true;
}

void BrickPool::release_storage() {
  free_list_.clear();
  free_list_.shrink_to_fit();
  Base::Platform::release_large(storage_, static_cast<size_t>(capacity_) * sizeof(PoolBrick));
  storage_ = nullptr;
  capacity_ = 0;
}

}  // namespace QVX::CT
