// `ozk info`: what a volume is, in words or as JSON.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

// The shortest text that reads back as the same double.
std::string number(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string triple(const double (&v)[3]) {
  std::string text = "(";
  for (int i = 0; i < 3; ++i) text.append(i > 0 ? ", " : "").append(number(v[i]));
  return text + ")";
}

std::string human_size(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  std::string text = std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  if (bytes < 1024) return text;
  double scaled = static_cast<double>(bytes);
  size_t unit = 0;
  for (scaled /= 1024; scaled >= 1024 && unit + 1 < std::size(kUnits); scaled /= 1024) ++unit;
  char shown[32];
  std::snprintf(shown, sizeof shown, " (%.1f %s)", scaled, kUnits[unit]);
  return text + shown;
}

bool has_range(const VolumeInfo& info) { return info.data_min < info.data_max; }

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// JSON has no infinity or NaN.
std::string json_number(double value) { return std::isfinite(value) ? number(value) : "null"; }

std::string json_triple(const double (&v)[3]) {
  std::string text = "[";
  for (int i = 0; i < 3; ++i) text.append(i > 0 ? "," : "").append(json_number(v[i]));
  return text + "]";
}

template <typename T>
std::string json_optional(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "null";
}

}  // namespace

bool describe_volume(const std::string& path, VolumeInfo* info, std::string* error) {
  VolumeHandle volume;
  if (!volume.open(path, error)) return false;
  qvx_ozk_volume* v = volume.get();
  VolumeInfo result;
  result.path = path;
  result.kind = qvx_ozk_kind_name(volume.kind());
  result.width = volume.width();
  result.height = volume.height();
  result.slices = volume.slices();
  qvx_ozk_volume_vmin(v, &result.vmin[0], &result.vmin[1], &result.vmin[2]);
  qvx_ozk_volume_vmax(v, &result.vmax[0], &result.vmax[1], &result.vmax[2]);
  qvx_ozk_volume_voxel_size(v, &result.voxel_size[0], &result.voxel_size[1], &result.voxel_size[2]);
  result.data_min = volume.data_min();
  result.data_max = volume.data_max();
  uint32_t levels = 0;
  qvx_ozk_volume_num_levels(v, &levels);
  for (uint32_t level = 0; level < levels; ++level) {
    std::array<uint32_t, 3> shape{};
    if (!qvx_ozk_volume_level_shape(v, level, &shape[0], &shape[1], &shape[2])) break;
    result.levels.push_back(shape);
  }
  uint32_t value = 0;
  if (volume.kind() == QVX_OZK_KIND_PACKED && qvx_ozk_volume_bits_per_sample(v, &value)) {
    result.bits_per_sample = value;
  }
  if (volume.kind() == QVX_OZK_KIND_HR && qvx_ozk_volume_hr_version(v, &value)) {
    result.version = value;
  }
  qvx_ozk_volume_compressed(v, &result.compressed);
  result.slices_stored = result.slices;
  qvx_ozk_volume_slices_stored(v, &result.slices_stored);
  uint32_t files = 0;
  qvx_ozk_volume_num_slice_files(v, &files);
  for (uint32_t i = 0; i < files; ++i) {
    size_t needed = 0;
    if (!qvx_ozk_volume_slice_file(v, i, nullptr, 0, &needed, nullptr)) break;
    std::string file(needed, '\0');
    if (!qvx_ozk_volume_slice_file(v, i, file.data(), needed, &needed, nullptr)) break;
    file.resize(needed - 1);
    std::error_code ec;
    result.files.push_back({file, !std::filesystem::exists(file, ec) && !ec});
  }
  std::error_code ec;
  result.file_size = std::filesystem::file_size(path, ec);
  if (ec) result.file_size = 0;
  *info = std::move(result);
  return true;
}

void print_info_text(const VolumeInfo& info, std::ostream& out) {
  out << info.path << '\n';
  out << "  kind:        ";
  if (info.kind == "packed") {
    out << "packed volume";
    if (info.bits_per_sample) out << ", " << *info.bits_per_sample << " bits per sample";
  } else if (info.kind == "hr") {
    out << "HR volume";
    if (info.version) out << ", version " << *info.version;
  } else {
    out << "header volume, " << info.files.size()
        << (info.files.size() == 1 ? " slice file" : " slice files");
  }
  if (info.compressed) out << ", gzip-compressed";
  out << '\n';
  out << "  dimensions:  " << info.width << " x " << info.height << " x " << info.slices
      << " (width x height x slices); " << info.height << " x " << info.slices << " x "
      << info.width << " voxels (x, y, z)\n";
  out << "  corners:     " << triple(info.vmin) << " to " << triple(info.vmax) << '\n';
  if (info.kind == "hr") out << "  voxel size:  " << triple(info.voxel_size) << '\n';
  out << "  data range:  "
      << (has_range(info) ? number(info.data_min) + " to " + number(info.data_max)
                          : std::string("unknown"))
      << '\n';
  for (size_t i = 0; i < info.files.size(); ++i) {
    out << (i == 0 ? "  slice files: " : "               ") << info.files[i].path
        << (info.files[i].missing ? " (missing)\n" : "\n");
  }
  for (size_t k = 0; k < info.levels.size(); ++k) {
    const auto& shape = info.levels[k];
    out << (k == 0 ? "  levels:      " : "               ") << k << ": " << shape[0] << " x "
        << shape[1] << " x " << shape[2] << '\n';
  }
  out << "  file size:   " << human_size(info.file_size);
  if (info.slices_stored < info.slices) {
    out << " (short: " << info.slices - info.slices_stored << " of " << info.slices
        << " slices missing)";
  }
  out << '\n';
}

void print_info_json(const VolumeInfo& info, std::ostream& out) {
  const bool hr = info.kind == "hr";
  const bool header = info.kind == "header";
  std::string files = "null", missing = "null";
  if (header) {
    files = missing = "[";
    for (const SliceFile& file : info.files) {
      files.append(files.size() > 1 ? "," : "").append(json_string(file.path));
      if (file.missing)
        missing.append(missing.size() > 1 ? "," : "").append(json_string(file.path));
    }
    files += "]";
    missing += "]";
  }
  std::string levels = "[";
  for (size_t k = 0; k < info.levels.size(); ++k) {
    const auto& s = info.levels[k];
    levels += (k > 0 ? ",[" : "[") + std::to_string(s[0]) + "," + std::to_string(s[1]) + "," +
              std::to_string(s[2]) + "]";
  }
  levels += "]";
  out << "{\"path\":" << json_string(info.path) << ",\"kind\":" << json_string(info.kind)
      << ",\"version\":" << json_optional(info.version) << ",\"width\":" << info.width
      << ",\"height\":" << info.height << ",\"slices\":" << info.slices
      << ",\"vmin\":" << json_triple(info.vmin) << ",\"vmax\":" << json_triple(info.vmax)
      << ",\"voxel_size\":" << (hr ? json_triple(info.voxel_size) : "null")
      << ",\"data_min\":" << (has_range(info) ? json_number(info.data_min) : "null")
      << ",\"data_max\":" << (has_range(info) ? json_number(info.data_max) : "null")
      << ",\"bits_per_sample\":" << json_optional(info.bits_per_sample)
      << ",\"compressed\":" << (info.compressed ? "true" : "false") << ",\"files\":" << files
      << ",\"missing_files\":" << missing << ",\"slices_stored\":" << info.slices_stored
      << ",\"levels\":" << levels << ",\"file_size\":" << info.file_size << "}\n";
}

int run_info(const std::vector<std::string>& paths, bool json, const Settings& /*settings*/) {
  int status = kExitOk;
  bool first = true;
  for (const std::string& path : paths) {
    if (interrupted()) return fail("interrupted");
    VolumeInfo info;
    std::string error;
    if (!describe_volume(path, &info, &error)) {
      status = fail(error);
      continue;
    }
    if (json) {
      print_info_json(info, std::cout);
    } else {
      if (!first) std::cout << '\n';
      print_info_text(info, std::cout);
    }
    first = false;
    flush_output();
  }
  return status;
}

}  // namespace QVX::Ozk
