#include "volume_formats/header_volume.h"

#include <algorithm>
#include <cstring>

#include "base/endian.h"
#include "base/file/random_access.h"
#include "base/log.h"
#include "base/path.h"
#include "base/utf.h"
#include "volume_formats/text_numbers.h"

namespace QVX::VolumeFormats {
namespace {

using Base::File::TagReader;

bool is(const TagReader& reader, const char* text) { return std::strcmp(reader.line, text) == 0; }

bool named(const TagReader& reader, const char* name) {
  return std::strcmp(reader.tag_name, name) == 0;
}

}  // namespace

bool sniff_header_volume(const std::wstring& path) {
  Base::File::TagFileReader reader;
  const std::string utf8 = Base::wide_to_utf8(path);
  return reader.open(utf8.c_str()) && reader.read_line() && is(reader, kHeaderVolumeTag);
}

bool parse_volume_header(TagReader& reader, const std::wstring& directory, VolumeFields& fields,
                         std::vector<FileEntry>& files) {
  bool voxels_read = false;
  bool more = reader.read_line();
  while (more) {
    if (!is(reader, kHeaderVolumeTag)) {
      more = reader.read_line();
      continue;
    }
    more = reader.read_line();
    while (more && !is(reader, kHeaderVolumeEndTag)) {
      if (is(reader, "<Location>")) {
        more = reader.read_until("</Location>", [&] {
          if (!reader.split_tag()) return;
          if (named(reader, "min")) scan_double(reader.line, fields.vmin, 3);
          if (named(reader, "max")) scan_double(reader.line, fields.vmax, 3);
        });
      } else if (is(reader, "<Files>")) {
        std::string pending;
        bool has_pending = false;
        more = reader.read_until("</Files>", [&] {
          if (!reader.split_tag()) return;
          if (named(reader, "name")) {
            pending = reader.line;
            has_pending = true;
          } else if (named(reader, "nbslices")) {
            int32_t count = 0;
            if (scan_int32(reader.line, &count, 1) != 1) return;
            // A count needs a name, and a negative one would wrap to a huge file.
            if (!has_pending) {
              Base::log_printf("WARNING: slice count %d without a file name ignored\n", count);
              return;
            }
            if (count < 0) {
              Base::log_printf("WARNING: negative slice count %d of '%s' ignored\n", count,
                               pending.c_str());
              return;
            }
            files.push_back(
                {directory + Base::utf8_to_wide(pending), static_cast<uint32_t>(count)});
            pending.clear();
            has_pending = false;
          }
        });
      } else if (reader.split_tag()) {
        if (named(reader, "voxels")) {
          int32_t n[3] = {};
          if (scan_int32(reader.line, n, 3) == 3) {
            if (n[0] < 0 || n[1] < 0 || n[2] < 0) {
              Base::log_printf("WARNING: voxels entry with a negative count (%d %d %d) ignored\n",
                               n[0], n[1], n[2]);
            } else {
              fields.height = static_cast<uint32_t>(n[0]);
              fields.num_slices = static_cast<uint32_t>(n[1]);
              fields.width = static_cast<uint32_t>(n[2]);
              voxels_read = true;
            }
          }
        } else if (named(reader, "datarange")) {
          double range[2] = {fields.data_min, fields.data_max};
          scan_double(reader.line, range, 2);
          fields.data_min = range[0];
          fields.data_max = range[1];
        }
      }
      if (more) more = reader.read_line();
    }
    if (more) more = reader.read_line();
  }
  return voxels_read;
}

bool read_volume_header(const std::wstring& path, VolumeFields& fields,
                        std::vector<FileEntry>& files) {
  const std::wstring directory = Base::directory_prefix(path);
  Base::File::TagFileReader reader;
  const std::string utf8 = Base::wide_to_utf8(path);
  if (!reader.open(utf8.c_str())) return false;
  if (!parse_volume_header(reader, directory, fields, files)) return false;

  uint64_t largest_file = 1;
  for (const FileEntry& entry : files)
    largest_file = std::max<uint64_t>(largest_file, entry.num_slices);
  return check_addressable(fields, 4, largest_file, 0, path);
}

bool read_header_slice(const std::vector<FileEntry>& files, const VolumeFields& fields,
                       uint32_t index, float* out) {
  uint64_t first = 0;
  for (const FileEntry& entry : files) {
    if (index - first >= entry.num_slices) {
      first += entry.num_slices;
      continue;
    }
    // A plain file is read with one positioned read; a gzip one is inflated up to the
    // slice, as nothing is kept open between reads.
    Base::File::RandomAccessFile file;
    if (!file.open(entry.path)) return false;
    // The open checked that every offset inside a file fits in 64 bits.
    const uint64_t samples = uint64_t{fields.width} * fields.height;
    const size_t bytes = static_cast<size_t>(samples * 4);
    if (!file.read_exact_at((index - first) * samples * 4, out, bytes)) return false;
    Base::le32_to_host_in_place(out, static_cast<size_t>(samples));
    return true;
  }
  return false;
}

}  // namespace QVX::VolumeFormats
