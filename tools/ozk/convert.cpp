// ozk convert: any volume the library reads, to an HR volume one slab of slices at a time
// or to a MetaImage one slice at a time; image stacks go to stack.cpp.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/ozk/commands.h"
#include "tools/ozk/metaimage.h"

namespace QVX::Ozk {
namespace {

bool ends_with_ignoring_case(std::string text, const std::string& end) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text.ends_with(end);
}

// Renaming a new file over the input would pull it from under the open handle.
bool is_input(const std::string& input, const std::string& output) {
  std::error_code ec;
  return std::filesystem::equivalent(input, output, ec);
}

int export_metaimage(const VolumeHandle& volume, const std::string& input,
                     const std::string& output, uint32_t level, const Settings& settings) {
  PlaneShape shape;
  if (!volume.plane_shape(Plane{'y', level}, &shape)) {
    return fail(
        describe_failure("cannot convert", input, missing_level_cause(volume, Plane{'y', level})));
  }
  if (is_input(input, output) || is_input(input, metaimage_raw_path(output))) {
    return fail(describe_failure("cannot convert", input, "the output is the input file"));
  }
  Progress progress("convert", shape.count, settings.quiet);
  std::string error;
  const bool written = write_metaimage(
      volume.get(), level, input, output,
      [&progress] {
        progress.advance();
        return !interrupted();
      },
      &error);
  progress.finish();
  return written ? kExitOk : fail(error);
}

}  // namespace

bool is_metaimage_path(const std::string& path) { return ends_with_ignoring_case(path, ".mhd"); }

bool is_zarr_path(const std::string& path) {
  return ends_with_ignoring_case(path, ".zarr") || ends_with_ignoring_case(path, ".zarr/");
}

int run_convert(const std::string& input, const std::string& output, const ConvertOptions& options,
                const Settings& settings) {
  if (is_zarr_path(output)) {
    std::cerr << "ozk: OME-Zarr stores are written by the Python module: python3 -m ozk convert "
              << input << " " << output << '\n';
    return kExitUsage;
  }
  if (is_image_stack(input)) return run_convert_stack(input, output, options, settings);
  VolumeHandle volume;
  std::string error;
  if (!volume.open(input, &error)) return fail(error);
  const uint32_t height = volume.height(), slices = volume.slices(), width = volume.width();
  if (height == 0 || slices == 0 || width == 0) {
    return fail(describe_failure("cannot convert", input, "the volume has no voxels"));
  }
  if (is_metaimage_path(output)) {
    return export_metaimage(volume, input, output, options.level, settings);
  }
  if (is_input(input, output)) {
    return fail(describe_failure("cannot convert", input, "the output is the input file"));
  }

  Tools::HRStreamOptions hr;
  hr.resolution = {height, slices, width};
  qvx_ozk_volume_vmin(volume.get(), &hr.vmin[0], &hr.vmin[1], &hr.vmin[2]);
  qvx_ozk_volume_vmax(volume.get(), &hr.vmax[0], &hr.vmax[1], &hr.vmax[2]);

  return write_hr_slabs(
      output, hr, input, "its slices are too large",
      [&](uint32_t index, float* out, std::string* failure) {
        if (volume.read_slice(index, out)) return true;
        *failure = describe_failure("cannot read slice " + std::to_string(index) + " of", input,
                                    library_cause());
        return false;
      },
      settings);
}

int write_hr_slabs(const std::string& output, const Tools::HRStreamOptions& options,
                   const std::string& source, const std::string& too_large,
                   const std::function<bool(uint32_t, float*, std::string*)>& read,
                   const Settings& settings) {
  const auto [height, slices, width] = options.resolution;
  const size_t slice_size = size_t{height} * width;
  if (slice_size > std::numeric_limits<size_t>::max() / sizeof(float) / Tools::kHRSlabSlices) {
    return fail(describe_failure("cannot convert", source, too_large));
  }
  std::vector<float> slab;
  try {
    slab.resize(slice_size * Tools::kHRSlabSlices);
  } catch (const std::bad_alloc&) {
    return fail(describe_failure(
        "cannot convert", source,
        "not enough memory for " + std::to_string(Tools::kHRSlabSlices) + " slices"));
  }

  std::string error;
  Tools::HRStreamWriter writer;
  if (!writer.open(output, options, &error)) return fail(error);
  Progress progress("convert", slices, settings.quiet);
  // The writer removes its partial file when it goes out of scope unfinished.
  auto stop = [&](const std::string& message) {
    writer.discard();
    progress.finish();
    return fail(message);
  };
  uint32_t next = 0;
  while (const uint32_t count = writer.next_slab_slices()) {
    for (uint32_t i = 0; i < count; ++i, ++next) {
      if (interrupted()) return stop("interrupted");
      if (!read(next, slab.data() + slice_size * i, &error)) return stop(error);
      progress.advance();
    }
    if (!writer.write_slab(slab.data(), &error)) return stop(error);
  }
  if (interrupted()) return stop("interrupted");
  if (!writer.finish(&error)) return stop(error);
  progress.finish();
  return kExitOk;
}

}  // namespace QVX::Ozk
