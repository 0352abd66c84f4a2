#include "fuzz/entry_points.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "base/event.h"
#include "base/file/tag_reader.h"
#include "base/log_file.h"
#include "base/utf.h"
#include "ct/hr_volume.h"
#include "ct/loader.h"
#include "ct/node_requests.h"
#include "image/bmp_format.h"
#include "image/image.h"
#include "image/png_format.h"
#include "image/tiff_format.h"
#include "qvx_ozk.h"

namespace QVX::Fuzz {

// The readers open files by name, so every input goes through one private directory per
// process (a fuzzer and the tests may run side by side), removed at exit.
const std::string& scratch_dir() {
  static const struct Dir {
    Dir() : path((std::filesystem::temp_directory_path() / "qvx_ozk_fuzz_XXXXXX").string()) {
      if (mkdtemp(path.data()) == nullptr) std::abort();
    }
    ~Dir() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } dir;
  return dir.path;
}

void discard_logs() {
  const auto drop = [](void*, const char*) {};
  qvx_ozk_log_to_callback(drop, nullptr);
  Base::log_use_callback(drop, nullptr);
}

namespace {

// Slices larger than this are not read: a fuzzer would spend its time filling them, and
// the readers' bounds do not depend on the slice size.
constexpr uint64_t kMaxSliceFloats = uint64_t{1} << 22;

std::string write_scratch(const char* name, const uint8_t* data, size_t size) {
  const std::string path = scratch_dir() + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
  return path;
}

// Reads, at every level, the middle x- and z-planes and a box one past the end, which
// must fail cleanly.
void read_regions(qvx_ozk_volume* volume) {
  uint32_t levels = 0;
  qvx_ozk_volume_num_levels(volume, &levels);
  for (uint32_t level = 0; level < levels; ++level) {
    uint32_t w = 0, h = 0, s = 0;
    qvx_ozk_volume_level_shape(volume, level, &w, &h, &s);
    const uint64_t floats = uint64_t{s} * std::max(w, h);
    if (floats == 0 || floats > kMaxSliceFloats) continue;
    std::vector<float> out(floats);
    qvx_ozk_volume_read_region(volume, level, h / 2, 0, 0, 1, s, w, out.data());
    qvx_ozk_volume_read_region(volume, level, 0, 0, w / 2, h, s, 1, out.data());
    qvx_ozk_volume_read_region(volume, level, h - 1, s - 1, w - 1, 1, 1, 2, out.data());
  }
}

// Opens `path` through the public interface and reads the first, middle and last slices,
// and the one past the end, which must fail cleanly; then regions.
bool open_and_read(const std::string& path) {
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  if (volume == nullptr) return false;
  const bool opened = qvx_ozk_volume_open(volume, path.c_str());
  if (opened) {
    uint32_t width = 0, height = 0, slices = 0;
    qvx_ozk_volume_slice_width(volume, &width);
    qvx_ozk_volume_slice_height(volume, &height);
    qvx_ozk_volume_num_slices(volume, &slices);
    const uint64_t floats = uint64_t{width} * height;
    if (slices != 0 && floats != 0 && floats <= kMaxSliceFloats) {
      std::vector<float> slice(floats);
      for (uint32_t index : {0u, slices / 2, slices - 1, slices}) {
        qvx_ozk_volume_read_slice(volume, slice.data(), index);
      }
    }
    read_regions(volume);
  }
  qvx_ozk_volume_close(volume);
  qvx_ozk_volume_delete(volume);
  return opened;
}

template <typename Format>
bool load_image(const char* name, const uint8_t* data, size_t size) {
  const std::string path = write_scratch(name, data, size);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  Image::Image_desc desc;
  desc.file_name = Base::utf8_to_wide(path);
  const bool described = Format().load_description(desc, fd);
  Image::Image_f image;
  image.file_name = desc.file_name;
  const bool loaded = Format().load_f(image, fd);
  ::close(fd);
  return described || loaded;
}

}  // namespace

bool packed_volume(const uint8_t* data, size_t size) {
  return open_and_read(write_scratch("volume.pvol", data, size));
}

bool header_volume(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  const uint8_t* nul = std::find(data, end, uint8_t{0});
  write_scratch("slice.raw", nul == end ? nul : nul + 1, nul == end ? 0 : size_t(end - nul - 1));
  return open_and_read(write_scratch("volume.hdr", data, size_t(nul - data)));
}

bool tag_reader(const uint8_t* data, size_t size) {
  // The reader keeps a pointer to the text; a copy of exactly `size` bytes lets the
  // sanitizer see any read past its end.
  std::unique_ptr<char[]> text(new char[size]);
  std::copy(data, data + size, text.get());
  Base::File::TagBufReader reader(text.get(), size);
  bool any_tag = false;
  while (reader.read_line()) any_tag = reader.split_tag() || any_tag;
  return any_tag;
}

bool hr_volume(const uint8_t* data, size_t size) {
  const std::string path = write_scratch("volume.hr", data, size);
  // Slices and level planes through the public interface, then a batch through the pool.
  if (!open_and_read(path)) return false;
  CT::HRVolume volume;
  if (!volume.open_existing(Base::utf8_to_wide(path))) return true;
  // An empty forced pass takes the place of the background preload, so the pool below is
  // ours alone while the batch runs.
  CT::Loader& loader = volume.loader();
  loader.stop_loader();
  loader.set_force_preload(true);
  loader.start_loader();
  loader.force_done().wait();
  CT::RequestBatch batch;
  {
    std::lock_guard<std::mutex> lock(volume.pool_lock());
    if (!volume.brick_pool().set_capacity(16)) return true;
    CT::collect_requests(volume, batch.requests, 1);
  }
  batch.remaining = batch.requests.size();
  CT::process_batch(loader, batch);
  return true;
}

bool tiff_load(const uint8_t* data, size_t size) {
  return load_image<Image::Format::TIFF>("image.tif", data, size);
}
bool bmp_load(const uint8_t* data, size_t size) {
  return load_image<Image::Format::BMP>("image.bmp", data, size);
}
bool png_load(const uint8_t* data, size_t size) {
  return load_image<Image::Format::PNG>("image.png", data, size);
}

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"packed_volume", packed_volume}, {"header_volume", header_volume},
      {"tag_reader", tag_reader},       {"hr_volume", hr_volume},
      {"tiff_load", tiff_load},         {"bmp_load", bmp_load},
      {"png_load", png_load},
  };
  return all;
}

std::string header_volume_input(const std::string& header, const std::string& slice) {
  return header + '\0' + slice;
}

}  // namespace QVX::Fuzz
