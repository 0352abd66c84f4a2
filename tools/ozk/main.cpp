// ozk: looks into CT volumes and gets their slices out as images. Volumes are read through
// the shared library's public interface; PNG and BMP files are written by the image layer
// linked into the tool.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "base/log_file.h"
#include "tools/ozk/commands.h"

namespace {

using namespace QVX::Ozk;

// Usage errors leave with kExitUsage whatever number CLI11 gives them; help and version
// requests are not errors.
int usage_exit(const CLI::App& app, const CLI::ParseError& e) {
  return app.exit(e) == 0 ? kExitOk : kExitUsage;
}

std::string check_format(const std::string& text) {
  return image_format_named(text) ? "" : "must be tif, tif.gz, png or bmp";
}

std::string check_window(const std::string& text) {
  Window window;
  return parse_window(text, &window) ? ""
                                     : "must be LO:HI with LO below HI, as in 0:1 or -1000:3000";
}

std::string check_slices(const std::string& text) {
  SliceRange range;
  return parse_slice_range(text, &range) ? ""
                                         : "must be A:B or A:B:STEP (A to B-1; A or B may be left "
                                           "out, STEP above 0) or a single index";
}

std::optional<Window> window_option(const std::string& text) {
  Window window;
  if (text.empty() || !parse_window(text, &window)) return std::nullopt;
  return window;
}

// The library keeps its own log inside the shared object, and the image layer linked here
// has a second one: both must leave standard output to the tool's results.
bool route_logs(const std::string& path) {
  if (path.empty()) {
    qvx_ozk_log_to_stderr();
    QVX::Base::log_use_standard_error();
    return true;
  }
  if (qvx_ozk_log_to_file(path.c_str()) && QVX::Base::log_set_file(path)) return true;
  qvx_ozk_log_to_stderr();
  QVX::Base::log_use_standard_error();
  return false;
}

// The log opens files without saying why one failed; trying once more here finds the reason.
std::string log_open_cause(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return "cannot be opened";
}

int run(int argc, char** argv) {
  CLI::App app{
      "Looks into CT volumes (packed, header and HR volumes) and writes their slices as images.",
      "ozk"};
  app.set_version_flag("--version", std::string("ozk ") + qvx_ozk_version());
  app.require_subcommand(1);
  app.fallthrough();  // the global options may follow the command
  Settings settings;
  std::string log_path;
  app.add_flag("-q,--quiet", settings.quiet, "Print no progress");
  app.add_option("--log", log_path,
                 "Append the library's log to FILE instead of standard error (a new numbered "
                 "file every 100000 entries)")
      ->type_name("FILE");

  std::vector<std::string> info_paths;
  bool json = false;
  CLI::App* info = app.add_subcommand(
      "info", "Describe volumes: kind, dimensions, corners, voxel size, data range and files");
  info->add_option("VOLUME", info_paths, "Volume files")->required();
  info->add_flag("--json", json,
                 "One JSON object per volume and line, with the fields path, kind, version, "
                 "width, height, slices, vmin, vmax, voxel_size, data_min, data_max, "
                 "bits_per_sample, files, file_size (null where the kind has none)");

  std::string slice_volume, slice_output, slice_format, slice_window;
  uint32_t slice_index = 0;
  CLI::App* slice =
      app.add_subcommand("slice", "Write one slice as an image, in the format of its extension");
  slice->add_option("VOLUME", slice_volume, "Volume file")->required();
  slice->add_option("INDEX", slice_index, "Slice index, from 0")->required();
  slice
      ->add_option("OUTPUT", slice_output,
                   "Image file: .tif or .tiff (32-bit float, values as read), .tif.gz (the same, "
                   "gzipped), .png or .bmp (8-bit gray)")
      ->required();
  slice
      ->add_option("--format", slice_format,
                   "tif, tif.gz, png or bmp, whatever OUTPUT is called (for /dev/stdout, say)")
      ->type_name("FORMAT")
      ->check(CLI::Validator(check_format, ""));
  slice
      ->add_option("--window", slice_window,
                   "Values shown from black to white in .png and .bmp files (default: the "
                   "volume's data range)")
      ->type_name("LO:HI")
      ->check(CLI::Validator(check_window, ""));

  std::string export_volume, export_directory, export_format = "tif", export_slices, export_window;
  CLI::App* exporter = app.add_subcommand(
      "export", "Write slices as numbered image files (slice_0000.tif, ...) into a directory");
  exporter->add_option("VOLUME", export_volume, "Volume file")->required();
  exporter->add_option("DIRECTORY", export_directory, "Output directory, made when missing")
      ->required();
  exporter->add_option("--format", export_format, "tif, tif.gz, png or bmp")
      ->type_name("FORMAT")
      ->check(CLI::Validator(check_format, ""))
      ->capture_default_str();
  exporter
      ->add_option("--slices", export_slices,
                   "The slices A, A+STEP, ... below B (default: all); file names keep the "
                   "slice index")
      ->type_name("A:B[:STEP]")
      ->check(CLI::Validator(check_slices, ""));
  exporter
      ->add_option("--window", export_window,
                   "Values shown from black to white in png and bmp files (default: the "
                   "volume's data range)")
      ->type_name("LO:HI")
      ->check(CLI::Validator(check_window, ""));

  std::string convert_input, convert_output;
  CLI::App* convert = app.add_subcommand(
      "convert", "Convert any readable volume to an HR volume (version 4, CRC-32 checksums)");
  convert->add_option("INPUT", convert_input, "Volume file")->required();
  convert->add_option("OUTPUT", convert_output, "HR volume file to write (.hrv)")->required();

  std::string demo_directory = "ozk-demo";
  uint32_t demo_size = 256;
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Write a head phantom as packed, header and HR volumes, check that they agree, and "
      "save a PNG of each middle slice");
  demo->add_option("DIRECTORY", demo_directory, "Where the files go")->capture_default_str();
  demo->add_option("--size", demo_size, "Voxels along each axis")->capture_default_str();

  // Set last: subcommands made before it do not inherit it.
  app.footer(
      "Exit status: 0 on success, 1 on failure (with one \"ozk: ...\" line on standard error), "
      "2 for a usage error.\nThe library's log goes to standard error unless --log is given.\n"
      "Run 'ozk COMMAND --help' for the arguments of a command.");

  try {
    app.parse(argc, argv);
    if (*slice && slice_format.empty() && !image_format_of_path(slice_output)) {
      throw CLI::ValidationError("OUTPUT", "'" + slice_output +
                                               "' has no known image extension (.tif, .tiff, "
                                               ".tif.gz, .png, .bmp); give --format");
    }
  } catch (const CLI::ParseError& e) {
    return usage_exit(app, e);
  }

  if (!route_logs(log_path)) {
    return fail(describe_failure("cannot open log file", log_path, log_open_cause(log_path)));
  }
  install_interrupt_handler();
  // Past a file-size limit a write then fails with EFBIG, reported like a full disk,
  // instead of the process being killed with half a file on disk.
  signal(SIGXFSZ, SIG_IGN);

  try {
    if (*info) return run_info(info_paths, json, settings);
    if (*slice) {
      return run_slice(slice_volume, slice_index, slice_output,
                       slice_format.empty() ? std::nullopt : image_format_named(slice_format),
                       window_option(slice_window), settings);
    }
    if (*exporter) {
      SliceRange range;
      if (!export_slices.empty()) parse_slice_range(export_slices, &range);
      return run_export(export_volume, export_directory, *image_format_named(export_format), range,
                        window_option(export_window), settings);
    }
    if (*convert) return run_convert(convert_input, convert_output, settings);
    if (*demo) return run_demo(demo_directory, demo_size, settings);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // What escapes the commands' own handling (an allocation failing while the options are
  // set up) still ends in a message and status 1 rather than std::terminate.
  try {
    return run(argc, argv);
  } catch (...) {
    std::fputs("ozk: unexpected failure\n", stderr);
    return 1;
  }
}
