// ozk demo: the Shepp-Logan phantom written in the three kinds of volume, read back
// through the library, compared slice by slice, and shown as PNG images.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/ozk/commands.h"
#include "tools/ozk/phantom.h"

namespace QVX::Ozk {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMinSize = 2;
constexpr uint32_t kMaxSize = 1024;  // 2 GiB of 16-bit samples, 4 GiB of floats
constexpr uint32_t kSliceFiles = 4;  // of the header volume
// What the library multiplies a 16-bit sample by: the float nearest 1/65535.
constexpr float kScale16 = 1.0f / 65535.0f;

const char* const kPackedName = "phantom.pvol.gz";
const char* const kHeaderName = "phantom.hdr";
const char* const kHRName = "phantom.hrv";

// The files this run wrote, removed again unless the run completes.
class Outputs {
 public:
  ~Outputs() {
    if (keep_) return;
    for (const std::string& path : paths_) std::remove(path.c_str());
  }
  void add(const std::string& path) { paths_.push_back(path); }
  void keep() { keep_ = true; }

 private:
  std::vector<std::string> paths_;
  bool keep_ = false;
};

void put_u16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void put_f32(std::string& out, float v) {
  uint32_t bits = 0;
  std::memcpy(&bits, &v, 4);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

std::string packed_header(uint32_t n) {
  const std::string v = std::to_string(n);
  return "# QVX Packed Volume\nVoxels: " + v + ' ' + v + ' ' + v +
         "\nBitsPerSample: 16\nSweepDirection: 1\nMin: 0 0 0\nMax: " + v + ' ' + v + ' ' + v +
         "\n</content>\n";
}

std::string slice_file_name(uint32_t k) { return "phantom_" + std::to_string(k) + ".raw"; }

// Slices of slice file k: the first files take one more when they do not divide evenly.
uint32_t slices_in_file(uint32_t n, uint32_t files, uint32_t k) {
  return n / files + (k < n % files ? 1 : 0);
}

std::string header_text(uint32_t n, uint32_t files) {
  const std::string v = std::to_string(n);
  std::string text = "<Brevant Quill Labs Volume Header>\n  <Voxels>" + v + ' ' + v + ' ' + v +
                     "</Voxels>\n  <DataRange>0 1</DataRange>\n  <Location>\n"
                     "    <Min>0 0 0</Min>\n    <Max>" +
                     v + ' ' + v + ' ' + v + "</Max>\n  </Location>\n  <Files>\n";
  for (uint32_t k = 0; k < files; ++k) {
    text += "    <Name>" + slice_file_name(k) + "</Name>\n    <NbSlices>" +
            std::to_string(slices_in_file(n, files, k)) + "</NbSlices>\n";
  }
  return text + "  </Files>\n</Brevant Quill Labs Volume Header>\n";
}

std::string write_failure(const std::string& path) {
  return describe_failure("cannot write", path, std::strerror(errno));
}

// Writes the three volumes in one pass over the phantom's slices. The phantom is
// quantised to 16 bits first, so that the float volumes hold exactly what the packed
// volume reads as.
int write_volumes(const std::string& dir, uint32_t n, const Settings& settings, Outputs* outputs) {
  const std::string packed_path = (fs::path(dir) / kPackedName).string();
  const std::string header_path = (fs::path(dir) / kHeaderName).string();
  const std::string hr_path = (fs::path(dir) / kHRName).string();
  const uint32_t files = std::min(kSliceFiles, n);

  outputs->add(packed_path);
  gzFile packed = gzopen(packed_path.c_str(), "wb1");
  if (packed == nullptr) return fail(write_failure(packed_path));
  std::unique_ptr<gzFile_s, int (*)(gzFile)> packed_owner(packed, gzclose);
  const std::string head = packed_header(n);
  if (gzwrite(packed, head.data(), static_cast<unsigned>(head.size())) <= 0) {
    return fail(write_failure(packed_path));
  }

  outputs->add(header_path);
  std::FILE* header = std::fopen(header_path.c_str(), "wb");
  if (header == nullptr) return fail(write_failure(header_path));
  const std::string text = header_text(n, files);
  const size_t written = std::fwrite(text.data(), 1, text.size(), header);
  if (std::fclose(header) != 0 || written != text.size()) return fail(write_failure(header_path));

  Tools::HRStreamOptions options;
  options.resolution = {n, n, n};
  const auto edge = static_cast<double>(n);
  options.vmax = {edge, edge, edge};
  Tools::HRStreamWriter hr;
  std::string error;
  if (!hr.open(hr_path, options, &error)) return fail(error);
  outputs->add(hr_path);

  const size_t slice_size = size_t{n} * n;
  std::vector<float> slice(slice_size);
  std::vector<float> slab(slice_size * Tools::kHRSlabSlices);
  std::string packed_bytes, float_bytes;
  std::FILE* slice_file = nullptr;
  std::string slice_path;
  uint32_t file_index = 0, left_in_file = 0, in_slab = 0;
  auto close_slice_file = [&]() {
    const bool ok = slice_file == nullptr || std::fclose(slice_file) == 0;
    slice_file = nullptr;
    return ok;
  };

  Progress progress("demo: writing", n, settings.quiet);
  auto stop = [&](const std::string& message) {
    close_slice_file();
    progress.finish();
    return fail(message);
  };
  for (uint32_t y = 0; y < n; ++y) {
    if (interrupted()) return stop("interrupted");
    phantom_slice(n, y, slice.data());
    packed_bytes.clear();
    float_bytes.clear();
    float* quantised = slab.data() + slice_size * in_slab;
    for (size_t i = 0; i < slice_size; ++i) {
      const auto sample = static_cast<uint16_t>(std::lround(slice[i] * 65535.0f));
      put_u16(packed_bytes, sample);
      quantised[i] = static_cast<float>(sample) * kScale16;
      put_f32(float_bytes, quantised[i]);
    }
    if (gzwrite(packed, packed_bytes.data(), static_cast<unsigned>(packed_bytes.size())) <= 0) {
      return stop(write_failure(packed_path));
    }
    if (left_in_file == 0) {
      if (!close_slice_file()) return stop(write_failure(slice_path));
      slice_path = (fs::path(dir) / slice_file_name(file_index)).string();
      left_in_file = slices_in_file(n, files, file_index++);
      outputs->add(slice_path);
      slice_file = std::fopen(slice_path.c_str(), "wb");
      if (slice_file == nullptr) return stop(write_failure(slice_path));
    }
    if (std::fwrite(float_bytes.data(), 1, float_bytes.size(), slice_file) != float_bytes.size()) {
      return stop(write_failure(slice_path));
    }
    --left_in_file;
    if (++in_slab == hr.next_slab_slices()) {
      if (!hr.write_slab(slab.data(), &error)) return stop(error);
      in_slab = 0;
    }
    progress.advance();
  }
  if (!close_slice_file()) return stop(write_failure(slice_path));
  if (gzclose(packed_owner.release()) != Z_OK) return stop(write_failure(packed_path));
  if (!hr.finish(&error)) return stop(error);
  progress.finish();
  return kExitOk;
}

// Every slice of the three volumes, bit for bit.
int compare_volumes(const std::vector<std::string>& paths, uint32_t n, const Settings& settings) {
  std::vector<std::unique_ptr<VolumeHandle>> volumes;
  std::string error;
  for (const std::string& path : paths) {
    volumes.push_back(std::make_unique<VolumeHandle>());
    if (!volumes.back()->open(path, &error)) return fail(error);
    if (volumes.back()->height() != n || volumes.back()->slices() != n ||
        volumes.back()->width() != n) {
      return fail(describe_failure("demo: wrong dimensions in", path,
                                   "expected " + std::to_string(n) + "^3"));
    }
  }
  const size_t slice_size = size_t{n} * n;
  std::vector<float> first(slice_size), other(slice_size);
  Progress progress("demo: comparing", n, settings.quiet);
  for (uint32_t y = 0; y < n; ++y) {
    if (interrupted()) return fail("interrupted");
    if (!volumes[0]->read_slice(y, first.data())) {
      return fail(describe_failure("cannot read slice " + std::to_string(y) + " of", paths[0],
                                   library_cause()));
    }
    for (size_t v = 1; v < volumes.size(); ++v) {
      if (!volumes[v]->read_slice(y, other.data())) {
        return fail(describe_failure("cannot read slice " + std::to_string(y) + " of", paths[v],
                                     library_cause()));
      }
      if (std::memcmp(first.data(), other.data(), slice_size * sizeof(float)) != 0) {
        return fail("demo: slice " + std::to_string(y) + " of '" + paths[v] +
                    "' differs from that of '" + paths[0] + "'");
      }
    }
    progress.advance();
  }
  return kExitOk;
}

}  // namespace

int run_demo(const std::string& directory, uint32_t size, const Settings& settings) {
  if (size < kMinSize || size > kMaxSize) {
    std::cerr << "ozk: --size must be from " << kMinSize << " to " << kMaxSize << '\n';
    return kExitUsage;
  }
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) return fail(describe_failure("cannot create directory", directory, ec.message()));
  if (!fs::is_directory(directory, ec)) {
    return fail(describe_failure("cannot create directory", directory, "not a directory"));
  }

  Outputs outputs;
  if (const int status = write_volumes(directory, size, settings, &outputs); status != kExitOk) {
    return status;
  }
  const std::vector<std::string> volumes = {(fs::path(directory) / kPackedName).string(),
                                            (fs::path(directory) / kHeaderName).string(),
                                            (fs::path(directory) / kHRName).string()};
  for (size_t v = 0; v < volumes.size(); ++v) {
    VolumeInfo info;
    std::string error;
    if (!describe_volume(volumes[v], &info, &error)) return fail(error);
    if (v > 0) std::cout << '\n';
    print_info_text(info, std::cout);
  }
  flush_output();
  if (const int status = compare_volumes(volumes, size, settings); status != kExitOk) {
    return status;
  }

  const char* const image_names[] = {"middle_packed.png", "middle_header.png", "middle_hr.png"};
  std::vector<std::string> images;
  std::vector<float> slice(size_t{size} * size);
  for (size_t v = 0; v < volumes.size(); ++v) {
    VolumeHandle volume;
    std::string error;
    if (!volume.open(volumes[v], &error)) return fail(error);
    if (!volume.read_slice(size / 2, slice.data())) {
      return fail(describe_failure("cannot read slice " + std::to_string(size / 2) + " of",
                                   volumes[v], library_cause()));
    }
    images.push_back((fs::path(directory) / image_names[v]).string());
    outputs.add(images.back());
    if (!save_slice_image(images.back(), slice.data(), size, size, volume.data_min(),
                          volume.data_max(), &error)) {
      return fail(error);
    }
  }
  outputs.keep();

  std::cout << "\nThe three volumes agree in all " << size << " slices of " << size << " x " << size
            << " voxels.\nMiddle slice (" << size / 2 << ") of each:\n";
  for (const std::string& image : images) std::cout << "  " << image << '\n';
  std::cout << "Volumes:\n";
  for (const std::string& volume : volumes) std::cout << "  " << volume << '\n';
  flush_output();
  return kExitOk;
}

}  // namespace QVX::Ozk
