#include "volume_formats/packed_volume.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <istream>
#include <locale>
#include <memory>
#include <optional>
#include <sstream>

#include "base/ascii.h"
#include "base/endian.h"
#include "base/file/tag_reader.h"
#include "base/log.h"
#include "base/platform.h"
#include "volume_formats/text_numbers.h"

namespace QVX::VolumeFormats {
namespace {

static_assert(std::bit_cast<uint32_t>(kScale8) == 0x3B808081);
static_assert(std::bit_cast<uint32_t>(kScale16) == 0x37800080);

// A 3D view section that never ends must not take all memory: past this the text is not
// kept (its colour table, if any, comes first in every file we know of).
constexpr size_t kMax3DViewText = size_t{16} << 20;
// Samples are widened in runs of this many, small enough that a run's raw bytes stay in
// the first-level cache while it is converted.
constexpr size_t kWidenRun = 4096;

using Line = char[kPackedLineLimit + 1];
using Base::File::LineReader;

// Reads the next line into `line` without trimming. False at the end of the file or on
// damaged data.
bool read_raw_line(LineReader& reader, Line& line) {
  std::memset(line, 0, sizeof line);
  return reader.read_line(line, kPackedLineLimit);
}

// Reads the next header line into `line`, trimmed. False at the end of the file or on
// damaged data, either of which ends the header.
bool read_line(LineReader& reader, Line& line) {
  if (!read_raw_line(reader, line)) return false;
  Base::File::trim_whitespace(line);
  return true;
}

// Collects the lines of a 3D view section up to "End3DView", dropping what lies between
// "<Histogram>" and "</Histogram>". False when the file ends first.
bool read_3d_view_text(LineReader& reader, Line& line, std::string& text) {
  bool skipping = false;
  if (!read_line(reader, line)) return false;
  for (;;) {
    if (std::strcmp(line, "End3DView") == 0) return true;
    if (!skipping && text.size() < kMax3DViewText) text.append(line).push_back('\n');
    if (!read_line(reader, line)) return false;
    if (std::strstr(line, "<Histogram>") != nullptr) {
      if (text.size() < kMax3DViewText) text.append(line).push_back('\n');
      skipping = true;
    } else if (std::strstr(line, "</Histogram>") != nullptr) {
      skipping = false;
    }
  }
}

std::istringstream value_stream(const char* value) {
  std::istringstream in{std::string(value)};
  in.imbue(std::locale::classic());
  return in;
}

// The conversions of one run. Source and destination never overlap, which lets the
// compiler turn each loop into vector instructions without run-time overlap checks.
void widen_u8(float* __restrict dst, const uint8_t* __restrict src, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = static_cast<float>(src[i]) * kScale8;
}

void widen_u16(float* __restrict dst, const uint8_t* __restrict src, size_t count) {
  if constexpr (Base::kHostIsLittleEndian) {
    for (size_t i = 0; i < count; ++i) {
      uint16_t v;
      std::memcpy(&v, src + 2 * i, 2);
      dst[i] = static_cast<float>(v) * kScale16;
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      dst[i] = static_cast<float>(Base::load_le16(src + 2 * i)) * kScale16;
    }
  }
}

// Converts `count` samples of `sample_bytes` (1 or 2) that were read into the top of
// `out` (its last count * sample_bytes bytes) into floats over the whole of `out`, front
// to back. Going forward, the floats of samples 0..k always end below the raw bytes of
// sample k + 1, so nothing is overwritten before it is read; only the last runs overlap
// their own raw bytes, and those are copied aside first so that no run's source and
// destination overlap.
void widen_in_place(float* out, size_t count, size_t sample_bytes) {
  const uint8_t* const raw = reinterpret_cast<const uint8_t*>(out) + count * (4 - sample_bytes);
  alignas(64) uint8_t aside[kWidenRun * 2];
  for (size_t i = 0; i < count;) {
    const size_t run = count - i < kWidenRun ? count - i : kWidenRun;
    const uint8_t* src = raw + i * sample_bytes;
    if (4 * (i + run) > count * (4 - sample_bytes) + i * sample_bytes) {
      std::memcpy(aside, src, run * sample_bytes);
      src = aside;
    }
    if (sample_bytes == 1) {
      widen_u8(out + i, src, run);
    } else {
      widen_u16(out + i, src, run);
    }
    i += run;
  }
}

}  // namespace

void PackedVolume::close() {
  file.close();
  bits_per_sample = 0;
  data_offset = 0;
  path.clear();
  if (view != nullptr) Base::Platform::unmap(view, view_size);
  view = nullptr;
  view_size = 0;
  view_tried = false;
}

void convert_packed_samples(float* out, size_t count, int bits) {
  if (bits == 32) {
    Base::le32_to_host_in_place(out, count);
  } else {
    widen_in_place(out, count, static_cast<size_t>(bits) / 8);
  }
}

bool sniff_packed_volume(const std::wstring& path) {
  Base::File::RandomAccessFile file;
  if (!file.open(path)) return false;
  LineReader reader(file);
  Line line;
  if (!read_raw_line(reader, line)) return false;
  size_t length = std::strlen(line);
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
  line[length] = '\0';
  return std::strcmp(line, kPackedVolumeMagic) == 0 || std::strcmp(line, kPackedVolumeMagicV2) == 0;
}

void PackedHeader::apply_entry(const char* line) {
  const char* colon = std::strchr(line, ':');
  if (colon == nullptr) return;
  // The key is not trimmed: "voxels :" names no entry.
  std::string key(line, colon);
  for (char& c : key) c = Base::ascii_lower(c);
  const char* value = colon + 1;
  while (*value == ' ' || *value == '\t') ++value;
  std::istringstream in = value_stream(value);

  if (key == "voxels") {
    // Unsigned extraction would wrap "-1" to 4294967295; a negative count is refused.
    uint32_t* targets[3] = {&fields_.height, &fields_.num_slices, &fields_.width};
    bool complete = true;
    for (uint32_t* target : targets) {
      in >> std::ws;
      if (in.peek() == '-') {
        Base::log_printf("WARNING: voxels entry with a negative count ignored: %s\n", value);
        complete = false;
        break;
      }
      in >> *target;
    }
    if (complete && !in.fail()) voxels_read_ = true;
  } else if (key == "min") {
    in >> fields_.vmin[0] >> fields_.vmin[1] >> fields_.vmin[2];
  } else if (key == "max") {
    in >> fields_.vmax[0] >> fields_.vmax[1] >> fields_.vmax[2];
  } else if (key == "bitspersample") {
    in >> bits_per_sample_;
    if (!in.fail() && (bits_per_sample_ == 8 || bits_per_sample_ == 16)) {
      fields_.data_min = 0.0;
      fields_.data_max = 1.0;
    }
  } else if (key == "sweepdirection") {
    in >> sweep_flag_;
  } else if (key == "displayrange") {
    in >> display_range_[0] >> display_range_[1];
  }
}

void PackedHeader::apply_3d_view(const std::string& text) {
  Base::File::TagBufReader reader(text.data(), text.size());
  bool colour_table_seen = false;
  // min, max, fullmin, fullmax of the colour table, each only once read.
  std::optional<double> window_min, window_max, full_min, full_max;
  const auto read_value = [&reader](std::optional<double>& target) {
    double v = 0.0;
    if (scan_double(reader.line, &v, 1) == 1) target = v;
  };

  while (reader.read_line()) {
    if (std::strcmp(reader.line, "<3D View Properties Set>") != 0) continue;
    reader.read_until("</3D View Properties Set>", [&] {
      if (std::strcmp(reader.line, "<3D View Properties>") != 0) return;
      reader.read_until("</3D View Properties>", [&] {
        if (std::strcmp(reader.line, "<ColorTable>") != 0) return;
        colour_table_seen = true;
        reader.read_until("</ColorTable>", [&] {
          if (!reader.split_tag()) return;
          const std::string name = reader.tag_name;
          if (name == "min") read_value(window_min);
          if (name == "max") read_value(window_max);
          if (name == "fullmin") read_value(full_min);
          if (name == "fullmax") read_value(full_max);
        });
      });
    });
  }

  // A table that lacks a value defines nothing.
  if (!colour_table_seen || !window_min || !window_max || !full_min || !full_max) return;
  if (bits_per_sample_ >= 32) {
    display_range_[0] = *window_min;
    display_range_[1] = *window_max;
    fields_.data_min = *full_min;
    fields_.data_max = *full_max;
    return;
  }
  // Integer samples read as 0..1, so the window moves into those units; an empty full
  // range has no such scale.
  if (*full_max == *full_min) return;
  const double f = 1.0 / (*full_max - *full_min);
  display_range_[0] = (*window_min - *full_min) * f;
  display_range_[1] = (*window_max - *full_min) * f;
}

bool PackedHeader::finish() {
  if (!voxels_read_ || !sweep_flag_) return false;
  if (!(fields_.data_max >= fields_.data_min)) {
    fields_.data_min = display_range_[0];
    fields_.data_max = display_range_[1];
  }
  return true;
}

bool read_packed_header(const std::wstring& path, VolumeFields& fields, PackedVolume& packed) {
  packed.close();
  if (!packed.file.open(path)) return false;
  packed.path = path;
  LineReader reader(packed.file);
  PackedHeader header(fields, packed.bits_per_sample);
  Line line;
  read_line(reader, line);  // the magic line, already checked by the probe

  bool complete = false;
  while (!complete) {
    if (!read_line(reader, line)) break;
    if (std::strcmp(line, "</content>") == 0) {
      complete = true;
    } else if (std::strcmp(line, "3DView") == 0) {
      std::string text;
      if (!read_3d_view_text(reader, line, text)) break;
      header.apply_3d_view(text);
    } else {
      header.apply_entry(line);
    }
  }

  const int bits = packed.bits_per_sample;
  const uint64_t sample_bytes = (bits == 8 || bits == 16 || bits == 32) ? bits / 8 : 1;
  if (complete && header.finish()) {
    packed.data_offset = static_cast<int64_t>(reader.position());
    if (packed.data_offset >= 0 &&
        check_addressable(fields, sample_bytes, fields.num_slices,
                          static_cast<uint64_t>(packed.data_offset), path)) {
      return true;
    }
  }
  packed.close();
  return false;
}

bool read_packed_samples(Base::File::RandomAccessFile& file, uint64_t offset, int bits,
                         size_t count, float* out) {
  if (!file.is_open() || (bits != 8 && bits != 16 && bits != 32)) return false;
  const size_t sample_bytes = static_cast<size_t>(bits) / 8;
  // The raw samples go to the top of the caller's buffer in one read and are widened
  // from there, so no staging buffer is needed.
  uint8_t* const raw = reinterpret_cast<uint8_t*>(out) + count * (4 - sample_bytes);
  if (!file.read_exact_at(offset, raw, count * sample_bytes)) return false;
  convert_packed_samples(out, count, bits);
  return true;
}

bool read_packed_slice(PackedVolume& packed, const VolumeFields& fields, uint32_t index,
                       float* out) {
  const int bits = packed.bits_per_sample;
  const uint64_t sample_bytes = bits == 8 || bits == 16 ? static_cast<uint64_t>(bits) / 8 : 4;
  // The open checked that every slice's offset fits in 64 bits.
  const uint64_t samples = uint64_t{fields.width} * fields.height;
  const uint64_t offset =
      static_cast<uint64_t>(packed.data_offset) + index * samples * sample_bytes;
  return read_packed_samples(packed.file, offset, bits, static_cast<size_t>(samples), out);
}

}  // namespace QVX::VolumeFormats
