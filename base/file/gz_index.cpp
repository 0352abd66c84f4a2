#include "base/file/gz_index.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/endian.h"

namespace QVX::Base::File {
namespace {

// Compressed input loaded per read call: larger than zlib's gzread uses, as each load
// is one positioned read.
constexpr size_t kInputSize = size_t{128} << 10;
constexpr size_t kScratchSize = size_t{64} << 10;
// zlib counts in 32-bit unsigned; stay well below that per call.
constexpr size_t kMaxInflatePiece = size_t{1} << 30;
// windowBits for a gzip wrapper (zlib checks the header) and for raw deflate data.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kRawWindowBits = -15;
// Bits of z_stream::data_type after inflate with Z_BLOCK.
constexpr int kUnusedBitsMask = 7;
constexpr int kInLastBlock = 64;
constexpr int kAtBlockBoundary = 128;
constexpr size_t kTrailerCrcSize = 4;
constexpr size_t kTrailerSize = 8;

}  // namespace

GzIndexedReader::~GzIndexedReader() { close(); }

bool GzIndexedReader::open(Platform::ReadOnlyFile file) {
  close();
  file_ = std::move(file);
  strm_ = z_stream{};
  if (inflateInit2(&strm_, kRawWindowBits) != Z_OK) {
    file_.close();
    return false;
  }
  input_.reset(new uint8_t[kInputSize + 1]);
  open_ = true;
  return resume(nullptr);
}

void GzIndexedReader::close() {
  if (open_) inflateEnd(&strm_);
  open_ = false;
  file_.close();
  input_.reset();
  scratch_.reset();
  points_.clear();
  points_.shrink_to_fit();
  phase_ = Phase::Member;
  position_ = extent_ = total_ = 0;
  end_known_ = damaged_ = false;
  end_ = 0;
}

std::vector<uint64_t> GzIndexedReader::access_point_offsets() const {
  std::vector<uint64_t> out;
  out.reserve(points_.size());
  for (const AccessPoint& p : points_) out.push_back(p.out);
  return out;
}

uint64_t GzIndexedReader::index_bytes() const {
  uint64_t bytes = points_.capacity() * sizeof(AccessPoint);
  for (const AccessPoint& p : points_) bytes += p.window.capacity();
  return bytes;
}

int64_t GzIndexedReader::read_at(uint64_t offset, void* out, size_t size) {
  if (!open_) return -1;
  if (end_known_) {
    if (offset >= end_ || size > end_ - offset) {
      if (damaged_) return -1;
      size = offset >= end_ ? 0 : static_cast<size_t>(end_ - offset);
    }
  }
  if (size == 0) return 0;

  // The last access point at or before `offset`; the cursor goes on from where it is
  // when that is no further back.
  const auto after = std::upper_bound(points_.begin(), points_.end(), offset,
                                      [](uint64_t v, const AccessPoint& p) { return v < p.out; });
  const AccessPoint* point = after == points_.begin() ? nullptr : &*(after - 1);
  const bool go_on =
      phase_ != Phase::End && position_ <= offset && (point == nullptr || point->out <= position_);
  if (!go_on && !resume(point)) return -1;

  while (position_ < offset) {
    const uint64_t gap = offset - position_;
    const int64_t skipped = advance(nullptr, gap < kScratchSize ? gap : kScratchSize);
    if (skipped < 0) return -1;
    if (skipped == 0) return 0;  // the stream ends before `offset`
  }
  return advance(static_cast<uint8_t*>(out), size);
}

bool GzIndexedReader::resume(const AccessPoint* point) {
  // Until the cursor is placed it is nowhere: a failure here leaves it to the next read
  // to place again.
  phase_ = Phase::End;
  strm_.next_in = input_.get() + 1;
  strm_.avail_in = 0;
  if (point == nullptr) {
    input_[0] = 0;
    input_end_ = 0;
    phase_ = Phase::Member;
    position_ = 0;
    return true;
  }
  input_[0] = point->last_byte;
  input_end_ = point->in;
  if (inflateReset2(&strm_, kRawWindowBits) != Z_OK) return false;
  if (point->bits != 0 &&
      inflatePrime(&strm_, point->bits, point->last_byte >> (8 - point->bits)) != Z_OK) {
    return false;
  }
  if (!point->window.empty() &&
      inflateSetDictionary(&strm_, point->window.data(), static_cast<uInt>(point->window.size())) !=
          Z_OK) {
    return false;
  }
  phase_ = Phase::Data;
  position_ = point->out;
  crc_ = point->crc;
  member_size_ = point->member_size;
  return true;
}

bool GzIndexedReader::fill_input(size_t want) {
  if (strm_.avail_in >= want) return true;
  uint8_t* const base = input_.get();
  const size_t keep = strm_.avail_in;
  if (strm_.next_in != base + 1) {
    base[0] = strm_.next_in[-1];
    std::memmove(base + 1, strm_.next_in, keep);
  }
  const std::ptrdiff_t got = file_.read_at(base + 1 + keep, kInputSize - keep, input_end_);
  if (got < 0) return false;
  strm_.next_in = base + 1;
  strm_.avail_in = static_cast<uInt>(keep + static_cast<size_t>(got));
  input_end_ += static_cast<uint64_t>(got);
  return true;
}

int64_t GzIndexedReader::fail() {
  end_stream(true);
  return -1;
}

void GzIndexedReader::end_stream(bool damaged) {
  phase_ = Phase::End;
  if (!end_known_) {
    end_known_ = true;
    damaged_ = damaged;
    end_ = position_;
  }
}

uint64_t GzIndexedReader::next_access_point_at() const {
  return points_.empty() ? kAccessPointSpan : points_.back().out + kAccessPointSpan;
}

void GzIndexedReader::add_access_point() {
  AccessPoint p;
  p.out = position_;
  p.in = input_end_ - strm_.avail_in;
  p.bits = static_cast<uint8_t>(strm_.data_type & kUnusedBitsMask);
  p.last_byte = strm_.next_in[-1];
  p.crc = crc_;
  p.member_size = member_size_;
  uInt length = 0;
  inflateGetDictionary(&strm_, nullptr, &length);
  p.window.resize(length);
  if (length != 0) inflateGetDictionary(&strm_, p.window.data(), &length);
  points_.push_back(std::move(p));
}

int64_t GzIndexedReader::advance(uint8_t* out, size_t size) {
  size_t done = 0;
  // A member's trailer right after the last byte wanted is still checked, as gzread
  // checks it in the same inflate call.
  while (done < size || phase_ == Phase::Trailer) {
    switch (phase_) {
      case Phase::End:
        return static_cast<int64_t>(done);

      case Phase::Member: {
        if (!fill_input(2)) return fail();
        // Fewer than two bytes, or two that are not the magic: what follows the last
        // member is ignored, as gzread ignores it.
        if (strm_.avail_in < 2 || strm_.next_in[0] != kGzipMagic[0] ||
            strm_.next_in[1] != kGzipMagic[1]) {
          end_stream(false);
          break;
        }
        if (inflateReset2(&strm_, kGzipWindowBits) != Z_OK) return fail();
        phase_ = Phase::Header;
        break;
      }

      case Phase::Header: {
        if (!fill_input(1)) return fail();
        if (strm_.avail_in == 0) {  // the file ends inside the header
          end_stream(false);
          break;
        }
        // zlib reads the header and stops before the first deflate block.
        uint8_t unused = 0;
        const uInt had_in = strm_.avail_in;
        strm_.next_out = &unused;
        strm_.avail_out = 0;
        const int ret = inflate(&strm_, Z_BLOCK);
        if (ret != Z_OK && ret != Z_BUF_ERROR) return fail();
        if ((strm_.data_type & kAtBlockBoundary) == 0) {
          if (strm_.avail_in == had_in) return fail();  // no progress: never loop on it
        } else {
          if (inflateReset2(&strm_, kRawWindowBits) != Z_OK) return fail();
          crc_ = static_cast<uint32_t>(crc32_z(0, nullptr, 0));
          member_size_ = 0;
          phase_ = Phase::Data;
        }
        break;
      }

      case Phase::Data: {
        if (!fill_input(1)) return fail();
        if (strm_.avail_in == 0) {  // the file ends inside the deflate data
          end_stream(false);
          break;
        }
        uint8_t* const dst = out != nullptr ? out + done : nullptr;
        if (dst == nullptr && !scratch_) scratch_.reset(new uint8_t[kScratchSize]);
        size_t room = std::min(size - done, dst != nullptr ? kMaxInflatePiece : kScratchSize);
        // Past the next access point's place inflation stops at every block boundary;
        // before it, it stops there at the latest.
        const uint64_t point_at = next_access_point_at();
        const bool want_point = position_ >= point_at;
        if (!want_point && point_at - position_ < room)
          room = static_cast<size_t>(point_at - position_);

        uint8_t* const target = dst != nullptr ? dst : scratch_.get();
        const uInt had_in = strm_.avail_in;
        strm_.next_out = target;
        strm_.avail_out = static_cast<uInt>(room);
        int ret = inflate(&strm_, want_point ? Z_BLOCK : Z_NO_FLUSH);
        const size_t produced = room - strm_.avail_out;
        if (ret == Z_OK && (strm_.data_type & kAtBlockBoundary) != 0 &&
            (strm_.data_type & kInLastBlock) != 0) {
          // Z_BLOCK stopped after the member's last block; go on to the end of its data,
          // as inflate does by itself otherwise, so that its trailer gets checked.
          strm_.avail_out = 0;
          ret = inflate(&strm_, Z_BLOCK);
        }
        crc_ = static_cast<uint32_t>(crc32_z(crc_, target, produced));
        member_size_ += static_cast<uint32_t>(produced);
        position_ += produced;
        total_ += produced;
        done += produced;
        extent_ = std::max(extent_, position_);

        // Without progress the same call would follow forever.
        const bool stalled =
            produced == 0 && strm_.avail_in == had_in && (strm_.data_type & kAtBlockBoundary) == 0;
        if (ret == Z_STREAM_END) {
          phase_ = Phase::Trailer;
        } else if ((ret != Z_OK && ret != Z_BUF_ERROR) || stalled) {
          return fail();
        } else if (want_point && (strm_.data_type & kAtBlockBoundary) != 0 &&
                   (strm_.data_type & kInLastBlock) == 0) {
          add_access_point();
        }
        break;
      }

      case Phase::Trailer: {
        // CRC-32 and length of the member, little-endian; zlib checks the CRC as soon as
        // its four bytes are there, then the length.
        if (!fill_input(kTrailerSize)) return fail();
        if (strm_.avail_in < kTrailerCrcSize) {
          end_stream(false);
          break;
        }
        if (load_le32(strm_.next_in) != crc_) return fail();
        if (strm_.avail_in < kTrailerSize) {
          end_stream(false);
          break;
        }
        if (load_le32(strm_.next_in + kTrailerCrcSize) != member_size_) {
          return fail();
        }
        strm_.next_in += kTrailerSize;
        strm_.avail_in -= kTrailerSize;
        phase_ = Phase::Member;
        break;
      }
    }
  }
  return static_cast<int64_t>(done);
}

}  // namespace QVX::Base::File
