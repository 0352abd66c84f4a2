// Random access into the decompressed stream of a gzip file.
//
// zlib's gzseek inflates again from the start of the file for every backward seek. This
// reader instead records access points while it inflates forward: at a deflate block
// boundary soon after every kAccessPointSpan bytes of output it keeps the input position
// (to the bit), the member's last 32 KiB of output (the window that later blocks may copy
// from) and the member's running CRC. A read at a position inflated before resumes raw
// inflation at the nearest access point at or before it, so it costs at most about one
// span of extra inflation; a read beyond what has been inflated goes there once,
// recording points on the way. A read that starts where the previous one ended, or a
// little ahead of it, continues the current inflation.
//
// The stream is what zlib's gzread delivers from the same file: the members one after
// another; after a complete member, bytes that do not begin with the gzip magic are
// ignored; a file that ends inside a member (or its trailer) ends the stream there
// without error; data that zlib rejects (a bad header, deflate data or trailer check)
// ends it with an error. Headers are checked by zlib itself, so the two agree on them.
//
// Deflate data is inflated with ISA-L (measured 1.6 to 2 times gzread). Where ISA-L meets
// damage, the end of the file or a wrong trailer, the member is inflated again with zlib
// from the access point before (at most one span), so the stream ends exactly where
// zlib ends it. ISA-L accepts a block whose Huffman code is incomplete, which zlib
// refuses; such a block is inflated to the member's end and refused there, by its
// trailer, after its bytes may have been delivered.
//
// Access points are placed where a block header straddles one of a fixed grid of input
// offsets, so the same points are found whatever the order and size of the reads.
//
// The index holds about 3.2 % of the decompressed bytes inflated so far (one 32 KiB
// window per MiB); close() frees it. One thread at a time.
#pragma once

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/platform.h"

namespace QVX::Base::File {

// The two bytes that begin every gzip member.
inline constexpr uint8_t kGzipMagic[2] = {0x1f, 0x8b};

class GzIndexedReader {
 public:
  // Output between access points, and the longest window deflate may refer back to.
  static constexpr uint64_t kAccessPointSpan = uint64_t{1} << 20;
  static constexpr size_t kWindowSize = 32768;

  GzIndexedReader() = default;
  ~GzIndexedReader();
  GzIndexedReader(const GzIndexedReader&) = delete;
  GzIndexedReader& operator=(const GzIndexedReader&) = delete;

  // Takes an open file whose first bytes are kGzipMagic (a file that does not begin so
  // reads as an empty stream). False when zlib cannot be set up; the file is then closed.
  bool open(Platform::ReadOnlyFile file);
  // Frees the index, the buffers and the file.
  void close();
  bool is_open() const { return open_; }

  // Copies up to `size` bytes of the stream from `offset`; fewer only where the stream
  // ends. -1 when damaged data lies before offset + size or the file cannot be read.
  int64_t read_at(uint64_t offset, void* out, size_t size);

  // What the index holds, for measurements and tests.
  size_t access_point_count() const { return points_.size(); }
  std::vector<uint64_t> access_point_offsets() const;
  // Bytes of memory held by the access points and their windows.
  uint64_t index_bytes() const;
  // The furthest stream position inflation has reached.
  uint64_t inflated_extent() const { return extent_; }
  // All bytes inflated since open, counting those inflated again after a resume.
  uint64_t inflated_total() const { return total_; }

 private:
  // Where the cursor is in the file's structure.
  enum class Phase {
    Member,   // before a member's magic bytes, or before what follows the last member
    Header,   // inside a member's gzip header
    Data,     // inside a member's deflate data
    Trailer,  // before a member's CRC and length
    End,      // the stream has ended (end_ is set), or the cursor is not placed
  };

  // The inflater of the current member's deflate data.
  enum class Engine { Isal, Zlib };

  struct AccessPoint {
    uint64_t out = 0;          // stream position
    uint64_t in = 0;           // file offset of the first input byte not fully used
    uint64_t member_out = 0;   // stream position where the member's data begins
    uint64_t member_in = 0;    // file offset of the member's deflate data
    uint32_t crc = 0;          // CRC-32 of the member's output before `out`
    uint32_t member_size = 0;  // member output before `out`, modulo 2^32 (as its trailer)
    uint8_t bits = 0;          // unused high bits of the byte at in - 1 (0..7)
    uint8_t last_byte = 0;     // that byte
    std::vector<uint8_t> window;
  };

  // Places the cursor at `point`, or at the start of the file for null.
  bool resume(const AccessPoint* point);
  // Places the cursor at `point` inside a member's data, to go on with `engine`.
  bool resume_data(const AccessPoint& point, Engine engine);
  // Inflates the current member again with zlib from the access point before the
  // cursor, back to where the cursor was; false when zlib fails on the way.
  bool fall_back_to_zlib();
  // One step of deflate data with each inflater; -1 on damage. `target` holds `room`
  // bytes (room > 0).
  int64_t inflate_zlib(uint8_t* target, size_t room);
  int64_t inflate_isal(uint8_t* target, size_t room);
  // Counts `produced` bytes of output at `target`.
  void count_output(const uint8_t* target, size_t produced);
  // Inflates up to `size` bytes into `out` (discarded when null); -1 on damage.
  int64_t advance(uint8_t* out, size_t size);
  // Loads input until `want` bytes are available or the file ends; false on a read error.
  bool fill_input(size_t want);
  void end_stream(bool damaged);
  // Ends the stream in damage at the cursor; answers -1.
  int64_t fail();
  void add_access_point();
  // An access point at the block header where ISA-L waits for input, when it can be made.
  void add_isal_access_point();
  uint64_t next_access_point_at() const;
  // The cursor's file offset of input, and moving it there.
  uint64_t input_offset() const { return input_end_ - strm_.avail_in; }
  void seek_input(uint64_t offset);

  Platform::ReadOnlyFile file_;
  bool open_ = false;
  z_stream strm_{};
  std::unique_ptr<inflate_state> isal_;
  Engine engine_ = Engine::Isal;
  // Set while ISA-L's input stops at every fine grid line, looking for a block header.
  bool searching_ = false;
  // A grid line where ISA-L's input stopped while its output was full: the decision about
  // an access point is made there once ISA-L waits for input.
  static constexpr uint64_t kNoLine = ~uint64_t{0};
  uint64_t owed_line_ = kNoLine;
  // Input buffer; the first kInputKept bytes keep the last ones consumed before the
  // current contents, which an access point needs when its bit offset is not 0 and ISA-L
  // hands back at the end of a member. strm_.next_in and avail_in are the input cursor
  // for both inflaters.
  std::unique_ptr<uint8_t[]> input_;
  uint64_t input_end_ = 0;              // file offset just past the loaded input
  std::unique_ptr<uint8_t[]> scratch_;  // output that is inflated only to be skipped

  Phase phase_ = Phase::Member;
  uint64_t position_ = 0;  // stream position of the cursor
  uint32_t crc_ = 0;
  uint32_t member_size_ = 0;
  uint64_t member_out_ = 0;  // where the current member's data begins in the stream
  uint64_t member_in_ = 0;   // and in the file

  std::vector<AccessPoint> points_;  // ascending by `out`
  uint64_t extent_ = 0;
  uint64_t total_ = 0;
  // Set once a cursor reaches the end: where the stream ends and whether in damage.
  bool end_known_ = false;
  bool damaged_ = false;
  uint64_t end_ = 0;
};

}  // namespace QVX::Base::File
