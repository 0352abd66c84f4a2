#include "tools/ozk/metaimage.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "tools/ozk/cause.h"

namespace QVX::Ozk {
namespace {

constexpr const char* kPartial = ".partial";

// Shortest text that reads back as the same double.
std::string number(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : "0";
}

std::string triple(double a, double b, double c) {
  return number(a) + " " + number(b) + " " + number(c);
}

// A file written under `path` + kPartial: renamed to `path` by commit(), removed when
// dropped before.
class PartialFile {
 public:
  explicit PartialFile(std::string path) : path_(std::move(path)), temporary_(path_ + kPartial) {}
  ~PartialFile() { discard(); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  bool open() {
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0 || failed(errno);
  }
  bool write(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd_, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failed(n < 0 ? errno : ENOSPC);
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  // Buffered data may meet a full disk only here.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || failed(errno);
  }
  bool commit() {
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) return failed(errno);
    temporary_.clear();
    return true;
  }
  void discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
  }
  const std::string& path() const { return path_; }
  const std::string& cause() const { return cause_; }

 private:
  bool failed(int code) {
    cause_ = std::strerror(code);
    return false;
  }

  std::string path_, temporary_, cause_;
  int fd_ = -1;
};

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool metaimage_geometry(qvx_ozk_volume* volume, uint32_t level, MetaImageGeometry* geometry) {
  uint32_t levels = 0;
  qvx_ozk_volume_num_levels(volume, &levels);
  if (level >= levels) return false;
  uint32_t width = 0, height = 0, slices = 0;
  if (!qvx_ozk_volume_level_shape(volume, level, &width, &height, &slices)) return false;
  geometry->samples = {height, slices, width};
  qvx_ozk_volume_level_shape(volume, 0, &width, &height, &slices);
  const uint32_t voxels[3] = {height, slices, width};
  double vmin[3] = {}, vmax[3] = {}, voxel[3] = {};
  qvx_ozk_volume_vmin(volume, &vmin[0], &vmin[1], &vmin[2]);
  qvx_ozk_volume_vmax(volume, &vmax[0], &vmax[1], &vmax[2]);
  qvx_ozk_volume_voxel_size(volume, &voxel[0], &voxel[1], &voxel[2]);
  auto usable = [](double s) { return std::isfinite(s) && s > 0; };
  for (int a = 0; a < 3; ++a) {
    double spacing = voxel[a];
    if (!usable(spacing) && voxels[a] > 0) spacing = (vmax[a] - vmin[a]) / voxels[a];
    if (!usable(spacing)) spacing = 1.0;
    geometry->spacing[a] = std::ldexp(spacing, static_cast<int>(level));
    geometry->offset[a] = (std::isfinite(vmin[a]) ? vmin[a] : 0.0) + geometry->spacing[a] / 2;
  }
  return true;
}

std::string metaimage_header(const MetaImageGeometry& g, const std::string& raw_name) {
  const auto& n = g.samples;
  return "ObjectType = Image\n"
         "NDims = 3\n"
         "BinaryData = True\n"
         "BinaryDataByteOrderMSB = False\n"
         "CompressedData = False\n"
         "TransformMatrix = 0 0 1 1 0 0 0 1 0\n"
         "Offset = " +
         triple(g.offset[0], g.offset[1], g.offset[2]) +
         "\n"
         "CenterOfRotation = 0 0 0\n"
         "ElementSpacing = " +
         triple(g.spacing[2], g.spacing[0], g.spacing[1]) + "\nDimSize = " + std::to_string(n[2]) +
         " " + std::to_string(n[0]) + " " + std::to_string(n[1]) +
         "\n"
         "ElementType = MET_FLOAT\n"
         "ElementDataFile = " +
         raw_name + "\n";
}

std::string metaimage_raw_path(const std::string& header_path) {
  const size_t n = header_path.size();
  if (n >= 4 && header_path[n - 4] == '.' &&
      (header_path.compare(n - 3, 3, "mhd") == 0 || header_path.compare(n - 3, 3, "MHD") == 0)) {
    return header_path.substr(0, n - 4) + ".raw";
  }
  return header_path + ".raw";
}

bool write_metaimage(qvx_ozk_volume* volume, uint32_t level, const std::string& input_name,
                     const std::string& header_path, const std::function<bool()>& after_plane,
                     std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  auto cannot_write = [&](const PartialFile& file) {
    return fail("cannot write '" + file.path() + "': " + file.cause());
  };
  MetaImageGeometry g;
  if (!metaimage_geometry(volume, level, &g)) {
    return fail("cannot read '" + input_name + "': it has no level " + std::to_string(level));
  }
  const auto [nx, ny, nz] = g.samples;
  const size_t plane = size_t{nx} * nz;
  if (nz != 0 && nx > std::numeric_limits<size_t>::max() / sizeof(float) / nz) {
    return fail("cannot read '" + input_name + "': its slices are too large");
  }
  std::vector<float> samples;
  try {
    samples.resize(plane);
  } catch (const std::bad_alloc&) {
    return fail("cannot read '" + input_name + "': not enough memory for one slice");
  }

  PartialFile raw(metaimage_raw_path(header_path)), header(header_path);
  if (!raw.open()) return cannot_write(raw);
  for (uint32_t y = 0; y < ny; ++y) {
    // The slices of level 0 keep the path read_slice has always taken.
    const bool read =
        level == 0 ? qvx_ozk_volume_read_slice(volume, samples.data(), y)
                   : qvx_ozk_volume_read_region(volume, level, 0, y, 0, nx, 1, nz, samples.data());
    if (!read) {
      return fail("cannot read " +
                  (level == 0
                       ? "slice " + std::to_string(y)
                       : "y-plane " + std::to_string(y) + " of level " + std::to_string(level)) +
                  " of '" + input_name + "': " + library_cause());
    }
    if constexpr (std::endian::native == std::endian::big) {
      for (float& v : samples)
        v = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(v)));
    }
    if (!raw.write(samples.data(), plane * sizeof(float))) return cannot_write(raw);
    if (after_plane && !after_plane()) return fail("interrupted");
  }
  if (!raw.close()) return cannot_write(raw);
  const std::string text = metaimage_header(g, base_name(raw.path()));
  if (!header.open() || !header.write(text.data(), text.size()) || !header.close()) {
    return cannot_write(header);
  }
  if (!raw.commit()) return cannot_write(raw);
  if (!header.commit()) {
    ::unlink(raw.path().c_str());
    return cannot_write(header);
  }
  return true;
}

}  // namespace QVX::Ozk
