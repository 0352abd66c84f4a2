// `ozk export`: a numbered stack of slice images.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {

namespace {

// Parses a whole unsigned 32-bit decimal number.
bool parse_index(const std::string& text, uint32_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool parse_double(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(*value);
}

std::string range_text(const SliceRange& range, uint32_t end) {
  std::string text = std::to_string(range.first) + ":" + std::to_string(end);
  if (range.step != 1) text.append(":").append(std::to_string(range.step));
  return text;
}

// Every name of one export has the same width, that of the volume's last index (at least
// four digits), so the files sort by name in slice order.
std::string slice_file_name(uint32_t index, uint32_t last, ImageFormat format) {
  const size_t digits = std::max<size_t>(4, std::to_string(last).size());
  std::string number = std::to_string(index);
  number.insert(0, digits - std::min(digits, number.size()), '0');
  std::string name = "slice_";
  name += number;
  name += image_extension(format);
  return name;
}

}  // namespace

bool parse_slice_range(const std::string& text, SliceRange* range) {
  SliceRange parsed;
  const size_t first_colon = text.find(':');
  if (first_colon == std::string::npos) {
    if (!parse_index(text, &parsed.first) || parsed.first == UINT32_MAX) return false;
    parsed.end = parsed.first + 1;
    *range = parsed;
    return true;
  }
  const size_t second_colon = text.find(':', first_colon + 1);
  const std::string a = text.substr(0, first_colon);
  const std::string b = text.substr(first_colon + 1, second_colon == std::string::npos
                                                         ? std::string::npos
                                                         : second_colon - first_colon - 1);
  if (!a.empty() && !parse_index(a, &parsed.first)) return false;
  if (!b.empty()) {
    uint32_t end = 0;
    if (!parse_index(b, &end) || end <= parsed.first) return false;
    parsed.end = end;
  }
  if (second_colon != std::string::npos &&
      (!parse_index(text.substr(second_colon + 1), &parsed.step) || parsed.step == 0)) {
    return false;
  }
  *range = parsed;
  return true;
}

bool parse_window(const std::string& text, Window* window) {
  // The separator is the first colon after the first character, so "-1000:3000" splits
  // after the low end's sign.
  const size_t colon = text.find(':', 1);
  if (colon == std::string::npos) return false;
  Window parsed;
  if (!parse_double(text.substr(0, colon), &parsed.first) ||
      !parse_double(text.substr(colon + 1), &parsed.second) || !(parsed.first < parsed.second)) {
    return false;
  }
  *window = parsed;
  return true;
}

int run_export(const std::string& volume_path, const std::string& directory, ImageFormat format,
               const Plane& plane, const SliceRange& range, std::optional<Window> window,
               const Settings& settings) {
  VolumeHandle volume;
  std::string error;
  if (!volume.open(volume_path, &error)) return fail(error);
  const bool slices_only = plane.axis == 'y' && plane.level == 0;
  const std::string what_planes =
      slices_only ? std::string("slices")
                  : std::string(1, plane.axis) + "-planes of level " + std::to_string(plane.level);
  PlaneShape shape;
  if (!volume.plane_shape(plane, &shape)) {
    return fail(describe_failure("cannot export " + what_planes + " of", volume_path,
                                 missing_level_cause(volume, plane)));
  }
  const uint32_t slices = shape.count;
  const uint32_t end = range.end.value_or(slices);
  if (range.first >= slices || end > slices) {
    const std::string what = slices_only ? "slices " + range_text(range, end)
                                         : what_planes + " " + range_text(range, end);
    return fail(describe_failure("cannot export " + what + " of", volume_path,
                                 out_of_range_cause(slices, plane)));
  }
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) return fail(describe_failure("cannot create directory", directory, ec.message()));
  if (!std::filesystem::is_directory(directory, ec)) {
    return fail(describe_failure("cannot create directory", directory, "not a directory"));
  }

  const Window shown = volume.window_or(window);
  std::vector<float> pixels(size_t{shape.rows} * shape.columns);
  const uint64_t count = (uint64_t{end} - range.first + range.step - 1) / range.step;
  Progress progress("export", count, settings.quiet);
  auto stop = [&](const std::string& message) {
    progress.finish();
    return fail(message);
  };
  for (uint64_t index = range.first; index < end; index += range.step) {
    if (interrupted()) return stop("interrupted");
    const auto i = static_cast<uint32_t>(index);
    if (!volume.read_plane(plane, i, pixels.data())) {
      return stop(describe_failure("cannot read " + plane_name(plane, i) + " of", volume_path,
                                   library_cause()));
    }
    const std::string path =
        (std::filesystem::path(directory) / slice_file_name(i, slices - 1, format)).string();
    if (!save_slice_image(path, format, pixels.data(), shape.rows, shape.columns, shown.first,
                          shown.second, &error)) {
      return stop(error);
    }
    progress.advance();
  }
  progress.finish();
  return kExitOk;
}

}  // namespace QVX::Ozk
