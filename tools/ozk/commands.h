// The subcommands of the ozk tool and the pieces they share. Each command returns the
// process exit code: kExitOk, kExitFailure (after one "ozk: ..." line on standard error)
// or kExitUsage.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "qvx_ozk.h"
#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/ozk/cause.h"

namespace QVX::Ozk {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Settings {
  bool quiet = false;  // no progress output of the tool's own
};

// Sends what the tool printed to standard output on its way; false once a write has
// failed, with the system error of the first failure in `*code` (0 when unknown).
bool flush_output(int* code = nullptr);

// Writes "ozk: <message>" and a line feed to standard error; returns kExitFailure.
int fail(const std::string& message);

// "<what> '<path>': <cause>", the shape of every failure line.
std::string describe_failure(const std::string& what, const std::string& path,
                             const std::string& cause);

// Why a slice index is refused: "out of range (the volume has N slices, 0 to N-1)".
std::string out_of_range_cause(uint32_t slices);
struct Plane;
class VolumeHandle;
// The same for planes of any axis and level ("level 2 has 64 x-planes, ..."), and the
// cause for a level the volume does not have.
std::string out_of_range_cause(uint32_t count, const Plane& plane);
std::string missing_level_cause(const VolumeHandle& volume, const Plane& plane);

// Which planes a command writes: those of constant `axis` ('x', 'y' or 'z') at resolution
// `level`. y at level 0 are the slices.
struct Plane {
  char axis = 'y';
  uint32_t level = 0;
};
struct PlaneShape {
  uint32_t count = 0, rows = 0, columns = 0;
};
// "slice 7", or "x-plane 7 of level 2" for any other plane.
std::string plane_name(const Plane& plane, uint32_t index);

// A volume opened through the public interface, closed and deleted with the object.
class VolumeHandle {
 public:
  VolumeHandle();
  ~VolumeHandle();
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;

  // False with a one-line cause in `error` ("cannot open '<path>': ..."), the library's
  // (library_cause).
  bool open(const std::string& path, std::string* error);
  uint32_t width() const;   // columns of a slice (z)
  uint32_t height() const;  // rows of a slice (x)
  uint32_t slices() const;  // y
  uint32_t kind() const;    // QVX_OZK_KIND_*
  double data_min() const;
  double data_max() const;
  // The gray window of an 8-bit image of this volume: `chosen` where given, else the
  // volume's data range, else (low above high) each format's own choice.
  std::pair<double, double> window_or(const std::optional<std::pair<double, double>>& chosen) const;
  bool read_slice(uint32_t index, float* out) const;
  // The planes of constant `plane.axis` at `plane.level`: how many there are and each one's
  // rows and columns (y: x rows of z values; x: y rows of z; z: y rows of x), the shape
  // numpy gives vol[i], vol[:, i] and vol[..., i]. False for a level the volume lacks.
  bool plane_shape(const Plane& plane, PlaneShape* shape) const;
  bool read_plane(const Plane& plane, uint32_t index, float* out) const;
  qvx_ozk_volume* get() const { return volume_; }

 private:
  qvx_ozk_volume* volume_;
};

struct SliceFile {
  std::string path;  // as the library opens it
  bool missing = false;
};
// What `ozk info` shows of one volume; fields a kind does not have are empty.
struct VolumeInfo {
  std::string path;
  std::string kind;                 // "packed", "header", "hr"
  std::optional<uint32_t> version;  // HR only
  uint32_t width = 0, height = 0, slices = 0;
  double vmin[3] = {}, vmax[3] = {}, voxel_size[3] = {};
  double data_min = 1.0, data_max = 0.0;        // data_min above data_max: no range known
  std::optional<uint32_t> bits_per_sample;      // packed only
  bool compressed = false;                      // gzip-compressed data
  std::vector<SliceFile> files;                 // header volumes only
  uint32_t slices_stored = 0;                   // by the files' sizes; below slices: short
  std::vector<std::array<uint32_t, 3>> levels;  // width, height, slices of each level
  uint64_t file_size = 0;                       // of the file at `path`
};
bool describe_volume(const std::string& path, VolumeInfo* info, std::string* error);
void print_info_text(const VolumeInfo& info, std::ostream& out);
// One object on one line. Fields a kind does not have, an unknown data range and values
// that are not finite are null.
void print_info_json(const VolumeInfo& info, std::ostream& out);

// The image files the tool writes.
enum class ImageFormat {
  Tif,    // 32-bit float TIFF, values as read
  TifGz,  // the same, gzip-compressed
  Png,    // 8-bit gray, windowed
  Bmp,    // 8-bit gray, windowed
};
// By name: "tif", "tif.gz", "png", "bmp".
std::optional<ImageFormat> image_format_named(const std::string& name);
// By the end of a file name, in any case: ".tif"/".tiff", ".tif.gz"/".tiff.gz", ".png",
// ".bmp".
std::optional<ImageFormat> image_format_of_path(const std::string& path);
const char* image_extension(ImageFormat format);  // ".tif", ".tif.gz", ".png", ".bmp"
bool image_format_is_windowed(ImageFormat format);

// Saves a float image of `height` rows of `width` values as `format`; the 8-bit formats
// map [low, high] onto 0..255 (or the image's own range when low >= high). A failure
// leaves neither a partial file nor a changed old one; a device or a pipe (such as
// /dev/stdout) is written in place. False with "cannot write '<path>': <cause>" in `error`.
bool save_slice_image(const std::string& path, ImageFormat format, const float* data,
                      uint32_t height, uint32_t width, double low, double high, std::string* error);
// The same with the format taken from the extension of `path`.
bool save_slice_image(const std::string& path, const float* data, uint32_t height, uint32_t width,
                      double low, double high, std::string* error);

// Progress on standard error, counted in slices: a bar with count, rate and time left on a
// terminal, plain lines (at every tenth of the work and at the end) otherwise; nothing
// when quiet.
class Progress {
 public:
  Progress(std::string label, uint64_t total, bool quiet);
  ~Progress();  // finish()
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void advance(uint64_t steps = 1);
  void finish();

 private:
  struct State;
  State* state_;
};

// Ctrl-C (SIGINT) and SIGTERM: the handler sets a flag the long commands poll, so they can
// remove what they were writing and leave ("ozk: interrupted"); the tool then exits with
// interrupted_status(), 128 + the signal as a shell reports it (130 after Ctrl-C).
void install_interrupt_handler();
bool interrupted();
int interrupted_status();

// The gray window of the 8-bit formats: values at or below `first` black, at or above
// `second` white.
using Window = std::pair<double, double>;

// Subcommands.
int run_info(const std::vector<std::string>& paths, bool json, const Settings& settings);
// Checks each volume whole (checksums, gzip streams, file sizes): "<path>: ok" on standard
// output, or one "ozk: damaged '<path>': <the first problem>" line; kExitFailure when any
// volume is damaged or does not open.
int run_verify(const std::vector<std::string>& paths, const Settings& settings);
// `format`: empty to follow the extension of `output`.
int run_slice(const std::string& volume, const Plane& plane, uint32_t index,
              const std::string& output, std::optional<ImageFormat> format,
              std::optional<Window> window, const Settings& settings);
// Python-like: slices first, first + step, ... below end.
struct SliceRange {
  uint32_t first = 0;
  std::optional<uint32_t> end;  // exclusive; empty: all
  uint32_t step = 1;
};
// Parses "A:B[:STEP]", "A:", ":B", "A" (that slice alone); false for anything else, a
// step of 0 or an end not above the start.
bool parse_slice_range(const std::string& text, SliceRange* range);
// Parses "LO:HI" with LO below HI.
bool parse_window(const std::string& text, Window* window);
int run_export(const std::string& volume, const std::string& directory, ImageFormat format,
               const Plane& plane, const SliceRange& range, std::optional<Window> window,
               const Settings& settings);
// What `convert` takes beside its input and output.
struct ConvertOptions {
  uint32_t level = 0;                               // the level a MetaImage output holds
  std::optional<std::array<double, 3>> voxel_size;  // x, y, z of an image stack's voxels
};
// Parses "X,Y,Z", three positive numbers.
bool parse_voxel_size(const std::string& text, std::array<double, 3>* size);
// What `convert` makes of its arguments: an input naming a directory, or no file but
// holding *, ? or [ (a quoted glob), is an image stack; an output ending in .mhd is a MetaImage, in
// .zarr an OME-Zarr store (written by the Python module); any other output an HR volume.
bool is_image_stack(const std::string& input);
bool is_metaimage_path(const std::string& path);
bool is_zarr_path(const std::string& path);
int run_convert(const std::string& input, const std::string& output, const ConvertOptions& options,
                const Settings& settings);
// Writes the HR volume `output` of `options.resolution` (x = height, y = slices, z = width)
// 32 slices at a time, slice i filled by read(i, out, &failure), which gives the failure
// line when it returns false; with progress, Ctrl-C and no output left on failure.
// `too_large` is the cause, naming `source`, when such slices cannot be held in memory.
int write_hr_slabs(const std::string& output, const Tools::HRStreamOptions& options,
                   const std::string& source, const std::string& too_large,
                   const std::function<bool(uint32_t, float*, std::string*)>& read,
                   const Settings& settings);
// Numbered images (sorted by the last number in each name, which must follow one another,
// all of the first one's size and format) to an HR volume.
int run_convert_stack(const std::string& input, const std::string& output,
                      const ConvertOptions& options, const Settings& settings);

// A plane at any angle: `width` x `height` samples `spacing` voxels apart (0: one sample
// of `level`), centred on `center` (level-0 voxel coordinates x, y, z; empty: the volume's
// middle) and perpendicular to `normal`. Element (r, c) lies at
// center + (c - width / 2) spacing u + (r - height / 2) spacing v, with the in-plane basis
// of plane_basis; points beyond the volume read 0.
struct Reslice {
  std::optional<std::array<double, 3>> center;
  std::array<double, 3> normal{0, 1, 0};
  uint32_t width = 512, height = 512;
  double spacing = 0.0;
  uint32_t level = 0;
};
// Parses "X,Y,Z" (finite numbers).
bool parse_triple(const std::string& text, std::array<double, 3>* out);
// The orthonormal in-plane basis of a plane with `normal`: u = n x h / |n x h| with n the
// unit normal and h the x axis (the y axis when |n.x| >= 0.9), and v = n x u. False for a
// zero or non-finite normal.
bool plane_basis(const std::array<double, 3>& normal, std::array<double, 3>* u,
                 std::array<double, 3>* v);
int run_reslice(const std::string& volume, const std::string& output, const Reslice& plane,
                std::optional<Window> window, const Settings& settings);
int run_demo(const std::string& directory, uint32_t size, const Settings& settings);

}  // namespace QVX::Ozk
