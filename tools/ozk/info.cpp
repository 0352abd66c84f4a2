// `ozk info`: what a volume is, in words or as JSON.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "tools/ozk/commands.h"
#include "tools/ozk/volume_file.h"

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
  VolumeInfo result;
  result.path = path;
  result.width = volume.width();
  result.height = volume.height();
  result.slices = volume.slices();
  qvx_ozk_volume_vmin(volume.get(), &result.vmin[0], &result.vmin[1], &result.vmin[2]);
  qvx_ozk_volume_vmax(volume.get(), &result.vmax[0], &result.vmax[1], &result.vmax[2]);
  qvx_ozk_volume_voxel_size(volume.get(), &result.voxel_size[0], &result.voxel_size[1],
                            &result.voxel_size[2]);
  result.data_min = volume.data_min();
  result.data_max = volume.data_max();
  uint32_t levels = 0;
  qvx_ozk_volume_num_levels(volume.get(), &levels);
  for (uint32_t level = 0; level < levels; ++level) {
    std::array<uint32_t, 3> shape{};
    if (!qvx_ozk_volume_level_shape(volume.get(), level, &shape[0], &shape[1], &shape[2])) break;
    result.levels.push_back(shape);
  }
  switch (volume.kind()) {
    case QVX_OZK_KIND_PACKED:
      result.kind = "packed";
      result.bits_per_sample = packed_bits_per_sample(path);
      break;
    case QVX_OZK_KIND_HEADER:
      result.kind = "header";
      result.files = header_volume_files(path);
      break;
    case QVX_OZK_KIND_HR:
      result.kind = "hr";
      result.version = hr_file_version(path);
      break;
    default:
      if (error != nullptr) *error = describe_failure("cannot open", path, "unknown kind");
      return false;
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
    out << (i == 0 ? "  slice files: " : "               ") << info.files[i] << '\n';
  }
  for (size_t k = 0; k < info.levels.size(); ++k) {
    const auto& shape = info.levels[k];
    out << (k == 0 ? "  levels:      " : "               ") << k << ": " << shape[0] << " x "
        << shape[1] << " x " << shape[2] << '\n';
  }
  out << "  file size:   " << human_size(info.file_size) << '\n';
}

void print_info_json(const VolumeInfo& info, std::ostream& out) {
  const bool hr = info.kind == "hr";
  const bool header = info.kind == "header";
  std::string files = "null";
  if (header) {
    files = "[";
    for (size_t i = 0; i < info.files.size(); ++i) {
      files.append(i > 0 ? "," : "").append(json_string(info.files[i]));
    }
    files += "]";
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
      << ",\"bits_per_sample\":" << json_optional(info.bits_per_sample) << ",\"files\":" << files
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
    std::cout.flush();
  }
  return status;
}

}  // namespace QVX::Ozk
