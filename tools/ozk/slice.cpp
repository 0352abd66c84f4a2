// `ozk slice`: one slice to one image file.
#include <string>
#include <vector>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {

int run_slice(const std::string& volume_path, uint32_t index, const std::string& output,
              std::optional<ImageFormat> format, std::optional<Window> window,
              const Settings& /*settings*/) {
  if (!format) format = image_format_of_path(output);
  if (!format) {
    return fail(describe_failure("cannot write", output,
                                 "unknown image format (use .tif, .tif.gz, .png or .bmp)"));
  }
  VolumeHandle volume;
  std::string error;
  if (!volume.open(volume_path, &error)) return fail(error);
  const std::string what = "cannot read slice " + std::to_string(index) + " of";
  if (index >= volume.slices()) {
    return fail(describe_failure(what, volume_path, out_of_range_cause(volume.slices())));
  }
  std::vector<float> pixels(size_t{volume.width()} * volume.height());
  if (!volume.read_slice(index, pixels.data())) {
    return fail(describe_failure(what, volume_path, "damaged or short file (the log says why)"));
  }
  if (interrupted()) return fail("interrupted");
  // Without a window the volume's data range, else each format's own choice.
  const Window shown = window                    ? *window
                       : volume.has_data_range() ? Window{volume.data_min(), volume.data_max()}
                                                 : Window{1.0, -1.0};
  if (!save_slice_image(output, *format, pixels.data(), volume.height(), volume.width(),
                        shown.first, shown.second, &error)) {
    return fail(error);
  }
  return kExitOk;
}

}  // namespace QVX::Ozk
