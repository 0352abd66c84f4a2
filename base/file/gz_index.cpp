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
// Bytes kept before the input cursor when the buffer is refilled: ISA-L holds up to eight
// bytes it has taken but not used, and hands them back at the end of a member.
constexpr size_t kInputKept = 8;
// ISA-L's input stops at every multiple of these file offsets: of the coarse one always,
// of the fine one while a block header is wanted for an access point. A dynamic block's
// header (tens of bytes) nearly always straddles a fine line.
constexpr uint64_t kCoarseGrid = uint64_t{16} << 10;
constexpr uint64_t kFineGrid = 32;
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
  isal_ = std::make_unique<inflate_state>();
  isal_inflate_init(isal_.get());
  input_.reset(new uint8_t[kInputKept + kInputSize]);
  open_ = true;
  return resume(nullptr);
}

void GzIndexedReader::close() {
  if (open_) inflateEnd(&strm_);
  open_ = false;
  file_.close();
  input_.reset();
  isal_.reset();
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
  if (point == nullptr) {
    seek_input(0);
    phase_ = Phase::Member;
    position_ = 0;
    return true;
  }
  return resume_data(*point, Engine::Isal);
}

bool GzIndexedReader::resume_data(const AccessPoint& point, Engine engine) {
  phase_ = Phase::End;
  seek_input(point.in);
  input_[kInputKept - 1] = point.last_byte;
  const uint8_t pending_bits = point.bits == 0 ? 0 : point.last_byte >> (8 - point.bits);
  if (engine == Engine::Zlib) {
    if (inflateReset2(&strm_, kRawWindowBits) != Z_OK) return false;
    if (point.bits != 0 && inflatePrime(&strm_, point.bits, pending_bits) != Z_OK) return false;
    if (!point.window.empty() &&
        inflateSetDictionary(&strm_, point.window.data(), static_cast<uInt>(point.window.size())) !=
            Z_OK) {
      return false;
    }
  } else {
    isal_inflate_reset(isal_.get());
    isal_->crc_flag = ISAL_DEFLATE;
    if (!point.window.empty() &&
        isal_inflate_set_dict(isal_.get(), const_cast<uint8_t*>(point.window.data()),
                              static_cast<uint32_t>(point.window.size())) != COMP_OK) {
      return false;
    }
    isal_->read_in = pending_bits;
    isal_->read_in_length = point.bits;
    searching_ = false;
    owed_line_ = kNoLine;
  }
  engine_ = engine;
  phase_ = Phase::Data;
  position_ = point.out;
  crc_ = point.crc;
  member_size_ = point.member_size;
  member_out_ = point.member_out;
  member_in_ = point.member_in;
  return true;
}

void GzIndexedReader::seek_input(uint64_t offset) {
  std::memset(input_.get(), 0, kInputKept);
  strm_.next_in = input_.get() + kInputKept;
  strm_.avail_in = 0;
  input_end_ = offset;
}

bool GzIndexedReader::fall_back_to_zlib() {
  const uint64_t target = position_;
  AccessPoint start;
  start.out = start.member_out = member_out_;
  start.in = start.member_in = member_in_;
  start.crc = static_cast<uint32_t>(crc32_z(0, nullptr, 0));
  const auto after = std::upper_bound(points_.begin(), points_.end(), target,
                                      [](uint64_t v, const AccessPoint& p) { return v < p.out; });
  const AccessPoint* point = &start;
  if (after != points_.begin() && (after - 1)->member_out == member_out_) point = &*(after - 1);
  if (!resume_data(*point, Engine::Zlib)) return false;
  if (!scratch_) scratch_.reset(new uint8_t[kScratchSize]);
  while (position_ < target && phase_ == Phase::Data) {
    if (!fill_input(1)) return false;
    const uint64_t gap = target - position_;
    if (inflate_zlib(scratch_.get(), gap < kScratchSize ? gap : kScratchSize) < 0) return false;
  }
  // zlib ends the member before the bytes ISA-L delivered: they cannot stand.
  if (position_ < target) {
    end_stream(true);
    return false;
  }
  return true;
}

bool GzIndexedReader::fill_input(size_t want) {
  if (strm_.avail_in >= want) return true;
  uint8_t* const base = input_.get() + kInputKept;
  const size_t keep = strm_.avail_in;
  if (strm_.next_in != base) {
    std::memmove(input_.get(), strm_.next_in - kInputKept, kInputKept);
    std::memmove(base, strm_.next_in, keep);
  }
  const std::ptrdiff_t got = file_.read_at(base + keep, kInputSize - keep, input_end_);
  if (got < 0) return false;
  strm_.next_in = base;
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
  p.member_out = member_out_;
  p.member_in = member_in_;
  uInt length = 0;
  inflateGetDictionary(&strm_, nullptr, &length);
  p.window.resize(length);
  if (length != 0) inflateGetDictionary(&strm_, p.window.data(), &length);
  points_.push_back(std::move(p));
}

void GzIndexedReader::add_isal_access_point() {
  const inflate_state& st = *isal_;
  const auto pending = static_cast<size_t>(st.tmp_out_valid - st.tmp_out_processed);
  // The header begins read_in_length bits before the input ISA-L set aside for it, which
  // ends at the cursor.
  const uint64_t header_bit = (input_offset() - static_cast<uint64_t>(st.tmp_in_size)) * 8 -
                              static_cast<uint64_t>(st.read_in_length);
  AccessPoint p;
  p.out = position_ + pending;
  p.in = (header_bit + 7) / 8;
  p.bits = static_cast<uint8_t>(p.in * 8 - header_bit);
  p.last_byte = static_cast<uint8_t>((st.read_in & ((1u << p.bits) - 1)) << (8 - p.bits));
  p.member_out = member_out_;
  p.member_in = member_in_;
  const uint8_t* const pending_bytes = st.tmp_out_buffer + st.tmp_out_processed;
  p.crc = static_cast<uint32_t>(crc32_z(crc_, pending_bytes, pending));
  p.member_size = member_size_ + static_cast<uint32_t>(pending);
  // ISA-L keeps its history in front of its pending output.
  const auto history = static_cast<size_t>(st.tmp_out_valid);
  const size_t length = std::min(history, kWindowSize);
  if (length < kWindowSize && p.out - member_out_ != history) return;
  p.window.assign(st.tmp_out_buffer + history - length, st.tmp_out_buffer + history);
  points_.push_back(std::move(p));
}

void GzIndexedReader::count_output(const uint8_t* target, size_t produced) {
  crc_ = static_cast<uint32_t>(crc32_z(crc_, target, produced));
  member_size_ += static_cast<uint32_t>(produced);
  position_ += produced;
  total_ += produced;
  extent_ = std::max(extent_, position_);
}

int64_t GzIndexedReader::inflate_zlib(uint8_t* target, size_t room) {
  // Past the next access point's place inflation stops at every block boundary;
  // before it, it stops there at the latest.
  const uint64_t point_at = next_access_point_at();
  const bool want_point = position_ >= point_at;
  if (!want_point && point_at - position_ < room) room = static_cast<size_t>(point_at - position_);

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
  count_output(target, produced);

  if (ret == Z_STREAM_END) {
    phase_ = Phase::Trailer;
  } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
    return fail();
  } else if (produced == 0 && strm_.avail_in == had_in &&
             (strm_.data_type & kAtBlockBoundary) == 0) {
    if (had_in != 0) return fail();  // no progress: never loop on it
    end_stream(false);               // the file ends inside the deflate data
  } else if (want_point && (strm_.data_type & kAtBlockBoundary) != 0 &&
             (strm_.data_type & kInLastBlock) == 0) {
    add_access_point();
  }
  return static_cast<int64_t>(produced);
}

int64_t GzIndexedReader::inflate_isal(uint8_t* target, size_t room) {
  inflate_state& st = *isal_;
  // Input up to the next grid line, so that ISA-L waits there whatever the reads were.
  const uint64_t at = input_offset();
  const uint64_t grid = searching_ ? kFineGrid : kCoarseGrid;
  const uint64_t line = at == owed_line_ ? at : (at / grid + 1) * grid;
  const auto piece = static_cast<uint32_t>(std::min<uint64_t>(strm_.avail_in, line - at));
  st.next_in = strm_.next_in;
  st.avail_in = piece;
  st.next_out = target;
  st.avail_out = static_cast<uint32_t>(room);
  const int ret = isal_inflate(&st);
  const size_t produced = room - st.avail_out;
  if (st.block_state == ISAL_BLOCK_FINISH && st.read_in_length >= 8) {
    // The member's data has ended: whole bytes ISA-L had taken but not used belong to the
    // trailer (newer ISA-L hands them back itself).
    const auto back = static_cast<uint32_t>(st.read_in_length / 8);
    st.next_in -= back;
    st.avail_in += back;
    st.read_in_length = 0;
    st.read_in = 0;
  }
  strm_.next_in = st.next_in;
  strm_.avail_in = strm_.avail_in - piece + st.avail_in;
  count_output(target, produced);

  if (ret < 0) {
    if (!fall_back_to_zlib()) return fail();
    return static_cast<int64_t>(produced);
  }
  if (st.block_state == ISAL_BLOCK_FINISH) {
    phase_ = Phase::Trailer;
  } else if (st.avail_in == 0 && at + piece == line && st.avail_out == 0) {
    owed_line_ = line;  // output, not input, stopped ISA-L: decide when it waits here
  } else if (st.avail_in == 0 && at + piece == line) {
    // Waiting at a grid line: the output inflated so far is a function of the line.
    owed_line_ = kNoLine;
    const uint64_t inflated =
        position_ + static_cast<uint64_t>(st.tmp_out_valid - st.tmp_out_processed);
    const bool want_point = inflated >= next_access_point_at();
    if (want_point && st.block_state == ISAL_BLOCK_HDR && st.write_overflow_len == 0 &&
        st.copy_overflow_length == 0) {
      add_isal_access_point();
      searching_ = false;
    } else {
      searching_ = want_point;
    }
  } else if (produced == 0 && st.avail_in == piece && piece != 0) {
    if (!fall_back_to_zlib()) return fail();  // no progress: never loop on it
  }
  return static_cast<int64_t>(produced);
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
          AccessPoint start;
          start.out = start.member_out = position_;
          start.in = start.member_in = input_offset();
          start.crc = static_cast<uint32_t>(crc32_z(0, nullptr, 0));
          if (!resume_data(start, Engine::Isal)) return fail();
        }
        break;
      }

      case Phase::Data: {
        if (!fill_input(1)) return fail();
        // Where the file ends inside the deflate data, zlib settles how much it yields.
        if (strm_.avail_in == 0 && engine_ == Engine::Isal) {
          if (!fall_back_to_zlib()) return fail();
          break;
        }
        uint8_t* const dst = out != nullptr ? out + done : nullptr;
        if (dst == nullptr && !scratch_) scratch_.reset(new uint8_t[kScratchSize]);
        const size_t room = std::min(size - done, dst != nullptr ? kMaxInflatePiece : kScratchSize);
        uint8_t* const target = dst != nullptr ? dst : scratch_.get();
        const int64_t produced =
            engine_ == Engine::Isal ? inflate_isal(target, room) : inflate_zlib(target, room);
        if (produced < 0) return -1;
        done += static_cast<size_t>(produced);
        break;
      }

      case Phase::Trailer: {
        // CRC-32 and length of the member, little-endian; zlib checks the CRC as soon as
        // its four bytes are there, then the length. What ISA-L inflated is checked again
        // by zlib before it is refused.
        if (!fill_input(kTrailerSize)) return fail();
        if (strm_.avail_in < kTrailerCrcSize) {
          end_stream(false);
          break;
        }
        const bool crc_ok = load_le32(strm_.next_in) == crc_;
        const bool size_ok = strm_.avail_in < kTrailerSize ||
                             load_le32(strm_.next_in + kTrailerCrcSize) == member_size_;
        if ((!crc_ok || !size_ok) && engine_ == Engine::Isal) {
          // zlib inflates the member's end again, and so comes back here by itself.
          const uint64_t end = position_;
          if (!fall_back_to_zlib()) return fail();
          if (!scratch_) scratch_.reset(new uint8_t[kScratchSize]);
          while (phase_ == Phase::Data) {
            if (!fill_input(1)) return fail();
            if (inflate_zlib(scratch_.get(), kScratchSize) < 0) return -1;
            if (position_ != end) return fail();
          }
          break;
        }
        if (!crc_ok) return fail();
        if (strm_.avail_in < kTrailerSize) {
          end_stream(false);
          break;
        }
        if (!size_ok) return fail();
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
