// ozk: looks into CT volumes and gets their slices out as images, all through the shared
// library's public interface.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <vector>

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

std::string check_voxel_size(const std::string& text) {
  std::array<double, 3> size;
  return parse_voxel_size(text, &size) ? "" : "must be X,Y,Z, three positive numbers";
}

// --axis and --level of `slice` and `export`.
void add_plane_options(CLI::App* command, std::string* axis, uint32_t* level) {
  command
      ->add_option("--axis", *axis,
                   "Planes of constant x, y or z (y: the slices; x: y rows of z values; z: y "
                   "rows of x values)")
      ->check(CLI::IsMember({"x", "y", "z"}))
      ->capture_default_str();
  command
      ->add_option("--level", *level,
                   "Resolution level (0: the stored voxels; HR volumes have one per depth of "
                   "their octree, each halving the last; 'ozk info' lists them)")
      ->capture_default_str();
}

std::optional<Window> window_option(const std::string& text) {
  Window window;
  if (text.empty() || !parse_window(text, &window)) return std::nullopt;
  return window;
}

// The library's entries are kept from the user unless asked for; the first failure of each
// call still reaches the tool through qvx_ozk_last_error.
extern "C" void drop_entry(void* /*user*/, const char* /*entry*/) {}

bool route_logs(bool verbose, const std::string& path) {
  if (!path.empty()) return qvx_ozk_log_to_file(path.c_str());
  if (verbose) {
    qvx_ozk_log_to_stderr();
  } else {
    qvx_ozk_log_to_callback(drop_entry, nullptr);
  }
  return true;
}

// Results go to standard output; one that did not arrive (a full disk, a closed pipe) is a
// failure, whatever the command made of it.
int check_standard_output(int status) {
  int code = 0;
  if (flush_output(&code)) return status;
  if (status == kExitOk || interrupted()) status = kExitFailure;
  fail(describe_failure("cannot write", "standard output",
                        code != 0 ? std::strerror(code) : "write error"));
  return status;
}

int run_command(const std::function<int()>& command) {
  int status = kExitFailure;
  try {
    status = command();
  } catch (const std::bad_alloc&) {
    status = fail("out of memory");
  } catch (const std::exception& e) {
    status = fail(e.what());
  }
  if (interrupted()) status = interrupted_status();
  return check_standard_output(status);
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
  bool verbose = false;
  app.add_flag("-q,--quiet", settings.quiet, "Print no progress");
  CLI::Option* verbose_flag =
      app.add_flag("-v,--verbose", verbose, "Show the library's log on standard error");
  app.add_option("--log", log_path,
                 "Append the library's log to FILE (a new numbered file every 100000 entries)")
      ->type_name("FILE")
      ->excludes(verbose_flag);

  std::vector<std::string> info_paths;
  bool json = false;
  CLI::App* info = app.add_subcommand(
      "info", "Describe volumes: kind, dimensions, corners, voxel size, data range and files");
  info->add_option("VOLUME", info_paths, "Volume files")->required();
  info->add_flag("--json", json,
                 "One JSON object per volume and line, with the fields path, kind, version, "
                 "width, height, slices, vmin, vmax, voxel_size, data_min, data_max, "
                 "bits_per_sample, files, levels ([width, height, slices] of each), "
                 "file_size (null where the kind has none)");

  std::vector<std::string> verify_paths;
  CLI::App* verify = app.add_subcommand(
      "verify", "Read volumes whole and check every brick checksum, gzip stream and file size");
  verify->add_option("VOLUME", verify_paths, "Volume files")->required();

  std::string slice_volume, slice_output, slice_format, slice_window, slice_axis = "y";
  uint32_t slice_index = 0, slice_level = 0;
  CLI::App* slice =
      app.add_subcommand("slice", "Write one slice as an image, in the format of its extension");
  slice->add_option("VOLUME", slice_volume, "Volume file")->required();
  slice->add_option("INDEX", slice_index, "Slice (or plane) index, from 0")->required();
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
  add_plane_options(slice, &slice_axis, &slice_level);

  std::string export_axis = "y";
  uint32_t export_level = 0;
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
  add_plane_options(exporter, &export_axis, &export_level);

  Reslice reslice_plane;
  std::string reslice_volume, reslice_output, reslice_center, reslice_normal, reslice_size,
      reslice_window;
  CLI::App* reslice = app.add_subcommand(
      "reslice", "Write a plane at any angle, trilinearly interpolated, as an image");
  reslice->add_option("VOLUME", reslice_volume, "Volume file")->required();
  reslice
      ->add_option("OUTPUT", reslice_output,
                   "Image file; the format follows the extension (.tif, .tif.gz, .png, .bmp)")
      ->required();
  const auto triple = [](const std::string& text) {
    std::array<double, 3> value;
    return parse_triple(text, &value) ? "" : std::string("must be X,Y,Z");
  };
  reslice
      ->add_option("--center", reslice_center,
                   "Centre of the plane in voxels X,Y,Z of level 0 (x: rows, y: slices, z: "
                   "columns of a slice; default: the middle of the volume)")
      ->check(CLI::Validator(triple, ""));
  reslice->add_option("--normal", reslice_normal, "Normal A,B,C of the plane (x, y, z)")
      ->required()
      ->check(CLI::Validator(triple, ""));
  reslice
      ->add_option("--size", reslice_size,
                   "W,H: samples per row and rows; the plane's u axis (n x X, or n x Y when the "
                   "normal is within 26 degrees of X, normalised) runs along the rows and "
                   "v = n x u down the columns (default 512,512)")
      ->check(CLI::Validator(
          [](const std::string& text) {
            unsigned w = 0, h = 0;
            char comma = 0, extra = 0;
            return std::sscanf(text.c_str(), "%u%c%u%c", &w, &comma, &h, &extra) == 3 &&
                           comma == ',' && w > 0 && h > 0
                       ? ""
                       : "must be W,H";
          },
          ""));
  reslice->add_option("--spacing", reslice_plane.spacing,
                      "Distance between samples in voxels of level 0 (default: one sample of "
                      "the level)");
  reslice->add_option("--level", reslice_plane.level, "Resolution level sampled")
      ->capture_default_str();
  reslice
      ->add_option("--window", reslice_window,
                   "LO:HI gray window of the 8-bit formats (default: the volume's data range)")
      ->check(CLI::Validator(check_window, ""));

  std::string convert_input, convert_output, convert_voxel;
  ConvertOptions convert_options;
  CLI::App* convert = app.add_subcommand(
      "convert",
      "Convert any readable volume to an HR volume (version 4, CRC-32 checksums) or a "
      "MetaImage (.mhd and .raw), or numbered images to an HR volume");
  convert
      ->add_option("INPUT", convert_input,
                   "Volume file, or image stack: a quoted glob ('DIR/slice_*.tif') or a "
                   "directory of numbered TIFF, PNG or BMP images, image i becoming slice i")
      ->required();
  convert
      ->add_option("OUTPUT", convert_output,
                   "HR volume file to write (.hrv), or OUT.mhd (writes OUT.mhd and OUT.raw)")
      ->required();
  CLI::Option* convert_level =
      convert->add_option("--level", convert_options.level,
                          "The resolution level a MetaImage holds ('ozk info' lists them)");
  convert
      ->add_option("--voxel-size", convert_voxel,
                   "Voxel size of an image stack along x (image rows), y (images) and z "
                   "(image columns); default 1,1,1")
      ->type_name("X,Y,Z")
      ->check(CLI::Validator(check_voxel_size, ""));

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
      "2 for a usage error, 130 when interrupted.\nThe library's log is shown only with -v or "
      "--log.\n"
      "Run 'ozk COMMAND --help' for the arguments of a command.");

  try {
    app.parse(argc, argv);
    if (*slice && slice_format.empty() && !image_format_of_path(slice_output)) {
      throw CLI::ValidationError("OUTPUT", "'" + slice_output +
                                               "' has no known image extension (.tif, .tiff, "
                                               ".tif.gz, .png, .bmp); give --format");
    }
    // The library gzips by the name alone.
    const size_t n = slice_output.size();
    if (*slice && image_format_named(slice_format) == ImageFormat::TifGz &&
        !(n >= 3 && slice_output[n - 3] == '.' && std::tolower(slice_output[n - 2]) == 'g' &&
          std::tolower(slice_output[n - 1]) == 'z')) {
      throw CLI::ValidationError("--format", "tif.gz needs an OUTPUT ending in .gz");
    }
    if (*convert && !convert_voxel.empty()) {
      std::array<double, 3> size{};
      parse_voxel_size(convert_voxel, &size);
      convert_options.voxel_size = size;
      if (!is_image_stack(convert_input)) {
        throw CLI::ValidationError("--voxel-size", "applies to image stacks only");
      }
    }
    if (*convert && convert_level->count() > 0 && !is_metaimage_path(convert_output)) {
      throw CLI::ValidationError("--level", "applies to MetaImage outputs (.mhd) only");
    }
    if (*convert && is_metaimage_path(convert_output) && is_image_stack(convert_input)) {
      throw CLI::ValidationError("OUTPUT", "an image stack converts to an HR volume only");
    }
  } catch (const CLI::ParseError& e) {
    return usage_exit(app, e);
  }

  if (!route_logs(verbose, log_path)) {
    const std::string cause = library_cause();
    qvx_ozk_log_to_callback(drop_entry, nullptr);
    return fail(describe_failure("cannot open log file", log_path, cause));
  }
  install_interrupt_handler();
  // Past a file-size limit a write then fails with EFBIG, reported like a full disk,
  // instead of the process being killed with half a file on disk.
  signal(SIGXFSZ, SIG_IGN);

  if (*info) return run_command([&] { return run_info(info_paths, json, settings); });
  if (*verify) return run_command([&] { return run_verify(verify_paths, settings); });
  if (*slice) {
    return run_command([&] {
      return run_slice(slice_volume, Plane{slice_axis[0], slice_level}, slice_index, slice_output,
                       slice_format.empty() ? std::nullopt : image_format_named(slice_format),
                       window_option(slice_window), settings);
    });
  }
  if (*exporter) {
    SliceRange range;
    if (!export_slices.empty()) parse_slice_range(export_slices, &range);
    return run_command([&] {
      return run_export(export_volume, export_directory, *image_format_named(export_format),
                        Plane{export_axis[0], export_level}, range, window_option(export_window),
                        settings);
    });
  }
  if (*reslice) {
    if (!reslice_center.empty()) {
      reslice_plane.center.emplace();
      parse_triple(reslice_center, &*reslice_plane.center);
    }
    parse_triple(reslice_normal, &reslice_plane.normal);
    if (!reslice_size.empty()) {
      std::sscanf(reslice_size.c_str(), "%u,%u", &reslice_plane.width, &reslice_plane.height);
    }
    return run_command([&] {
      return run_reslice(reslice_volume, reslice_output, reslice_plane,
                         window_option(reslice_window), settings);
    });
  }
  if (*convert) {
    return run_command(
        [&] { return run_convert(convert_input, convert_output, convert_options, settings); });
  }
  if (*demo) return run_command([&] { return run_demo(demo_directory, demo_size, settings); });
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
