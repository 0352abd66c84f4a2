// ozk convert: any volume the library reads, to an HR volume, one slab of slices at a time.
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/ozk/commands.h"

namespace QVX::Ozk {

int run_convert(const std::string& input, const std::string& output, const Settings& settings) {
  VolumeHandle volume;
  std::string error;
  if (!volume.open(input, &error)) return fail(error);
  const uint32_t height = volume.height(), slices = volume.slices(), width = volume.width();
  if (height == 0 || slices == 0 || width == 0) {
    return fail(describe_failure("cannot convert", input, "the volume has no voxels"));
  }
  // Renaming the new file over the input would pull it from under the open handle.
  std::error_code ec;
  if (std::filesystem::equivalent(input, output, ec)) {
    return fail(describe_failure("cannot convert", input, "the output is the input file"));
  }

  Tools::HRStreamOptions options;
  options.resolution = {height, slices, width};
  qvx_ozk_volume_vmin(volume.get(), &options.vmin[0], &options.vmin[1], &options.vmin[2]);
  qvx_ozk_volume_vmax(volume.get(), &options.vmax[0], &options.vmax[1], &options.vmax[2]);

  const size_t slice_size = size_t{height} * width;
  if (slice_size > std::numeric_limits<size_t>::max() / sizeof(float) / Tools::kHRSlabSlices) {
    return fail(describe_failure("cannot convert", input, "its slices are too large"));
  }
  std::vector<float> slab;
  try {
    slab.resize(slice_size * Tools::kHRSlabSlices);
  } catch (const std::bad_alloc&) {
    return fail(describe_failure(
        "cannot convert", input,
        "not enough memory for " + std::to_string(Tools::kHRSlabSlices) + " slices"));
  }

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
      if (!volume.read_slice(next, slab.data() + slice_size * i)) {
        return stop(describe_failure("cannot read slice " + std::to_string(next) + " of", input,
                                     "damaged or short file (the log says why)"));
      }
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
