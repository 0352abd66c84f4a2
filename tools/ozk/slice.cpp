// `ozk slice`: one slice to one image file.
#include <string>
#include <vector>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {

int run_slice(const std::string& volume_path, const Plane& plane, uint32_t index,
              const std::string& output, std::optional<ImageFormat> format,
              std::optional<Window> window, const Settings& /*settings*/) {
  if (!format) format = image_format_of_path(output);
  if (!format) {
    return fail(describe_failure("cannot write", output,
                                 "unknown image format (use .tif, .tif.gz, .png or .bmp)"));
  }
  VolumeHandle volume;
  std::string error;
  if (!volume.open(volume_path, &error)) return fail(error);
  const std::string what = "cannot read " + plane_name(plane, index) + " of";
  PlaneShape shape;
  if (!volume.plane_shape(plane, &shape)) {
    return fail(describe_failure(what, volume_path, missing_level_cause(volume, plane)));
  }
  if (index >= shape.count) {
    return fail(describe_failure(what, volume_path, out_of_range_cause(shape.count, plane)));
  }
  std::vector<float> pixels(size_t{shape.rows} * shape.columns);
  if (!volume.read_plane(plane, index, pixels.data())) {
    return fail(describe_failure(what, volume_path, library_cause()));
  }
  if (interrupted()) return fail("interrupted");
  const Window shown = volume.window_or(window);
  if (!save_slice_image(output, *format, pixels.data(), shape.rows, shape.columns, shown.first,
                        shown.second, &error)) {
    return fail(error);
  }
  return kExitOk;
}

}  // namespace QVX::Ozk
