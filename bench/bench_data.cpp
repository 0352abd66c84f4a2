// bench_data: writes the data sets of the benchmark suite into a folder, once.
//
//   bench_data FOLDER [--size EDGE]      (EDGE a multiple of 32, default 512)
//
// A file that the folder's manifest lists with its size on disk is kept; everything else
// is written again, each file under a temporary name that is renamed when complete. The
// manifest is rewritten after each volume, so an interrupted run resumes where it stopped.
// See data_sets.h for what is written.
#include <sys/stat.h>
#include <zlib.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/ct_data.h"
#include "bench/data_sets.h"
#include "tests/support/volume_writers.h"
#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/hr_writer/hr_writer.h"

namespace QVX::Bench {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the writers store samples in memory order, which the files need little-endian");

// HR header size of version 4, which both writers write by default (hr_writer.h).
constexpr uint64_t kHRHeaderBytesV4 = 122;
constexpr uint64_t kHRNodeRecordBytes = 20;
constexpr uint64_t kHRTileBytes = 172;
constexpr uint64_t kHRBrickRecordBytes = 4 * 32 * 32 * 32 + 4;

// An output file written under a temporary name, plain or through zlib.
class OutFile {
 public:
  ~OutFile() {
    if (plain_ != nullptr) std::fclose(plain_);
    if (gz_ != nullptr) gzclose(gz_);
    if (!done_ && !path_.empty()) std::remove((path_ + ".partial").c_str());
  }
  bool open(const std::string& path, bool gzip) {
    path_ = path;
    const std::string partial = path + ".partial";
    if (gzip) {
      gz_ = gzopen(partial.c_str(), "wb6");
      if (gz_ != nullptr) gzbuffer(gz_, 1 << 20);
    } else {
      plain_ = std::fopen(partial.c_str(), "wb");
    }
    return plain_ != nullptr || gz_ != nullptr;
  }
  bool write(const void* bytes, size_t size) {
    if (plain_ != nullptr) return std::fwrite(bytes, 1, size, plain_) == size;
    // gzwrite takes an unsigned count; slices stay far below its limit.
    return gzwrite(gz_, bytes, static_cast<unsigned>(size)) == static_cast<int>(size);
  }
  bool finish() {
    bool ok = true;
    if (plain_ != nullptr) ok = std::fclose(plain_) == 0;
    if (gz_ != nullptr) ok = gzclose(gz_) == Z_OK;
    plain_ = nullptr;
    gz_ = nullptr;
    ok = ok && std::rename((path_ + ".partial").c_str(), path_.c_str()) == 0;
    done_ = ok;
    return ok;
  }

 private:
  std::string path_;
  FILE* plain_ = nullptr;
  gzFile gz_ = nullptr;
  bool done_ = false;
};

std::string join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

// Takes the slices of one pass over a geometry, in order, and writes some files of them.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool slice(uint32_t y, const float* samples) = 0;
  // Completes the files and records them in the manifest.
  virtual bool finish(Manifest* manifest) = 0;
};

// A packed volume: the header, then every slice below `geometry.ny`; the data starts at a
// 64-byte boundary so that a memory map of the samples (numpy's, for the comparison) is
// aligned; the library reads any offset alike.
class PackedSink final : public Sink {
 public:
  PackedSink(std::string folder, std::string name, const Geometry& g, int bits, bool gzip)
      : folder_(std::move(folder)), name_(std::move(name)), g_(g), bits_(bits), gzip_(gzip) {}

  bool start() {
    std::vector<std::string> extra = {"Min: 0 0 0", "Max: " + std::to_string(g_.nx) + " " +
                                                        std::to_string(g_.ny) + " " +
                                                        std::to_string(g_.nz)};
    if (bits_ == 32) extra.push_back("DisplayRange: 0 1");
    std::string header = TestSupport::packed_header(g_.nx, g_.ny, g_.nz, bits_, extra);
    const size_t line = 16 + (64 - (header.size() + 17) % 64) % 64;
    extra.push_back("Comment:" + std::string(line - 8, ' '));
    header = TestSupport::packed_header(g_.nx, g_.ny, g_.nz, bits_, extra);
    data_offset_ = header.size();
    return out_.open(join(folder_, name_), gzip_) && out_.write(header.data(), header.size());
  }

  bool slice(uint32_t y, const float* samples) override {
    if (y >= g_.ny) return true;
    const size_t n = g_.slice_samples();
    if (bits_ == 32) return out_.write(samples, n * 4);
    if (bits_ == 16) {
      u16_.resize(n);
      for (size_t i = 0; i < n; ++i) u16_[i] = to_u16(samples[i]);
      return out_.write(u16_.data(), n * 2);
    }
    u8_.resize(n);
    for (size_t i = 0; i < n; ++i) u8_[i] = to_u8(samples[i]);
    return out_.write(u8_.data(), n);
  }

  bool finish(Manifest* manifest) override {
    if (!out_.finish()) return false;
    manifest->files[name_] = file_size_or_zero(join(folder_, name_));
    manifest->values["data_offset." + name_] = data_offset_;
    return true;
  }

 private:
  std::string folder_, name_;
  Geometry g_;
  int bits_;
  bool gzip_;
  uint64_t data_offset_ = 0;
  OutFile out_;
  std::vector<uint16_t> u16_;
  std::vector<uint8_t> u8_;
};

// A header volume: its text file and the float32 slice files it lists.
class HeaderSink final : public Sink {
 public:
  HeaderSink(std::string folder, std::string name, uint32_t edge)
      : folder_(std::move(folder)),
        name_(std::move(name)),
        g_(header_geometry(edge)),
        per_file_(header_slices_per_file(edge)),
        files_(header_slice_files(name_, edge)),
        gzip_(name_ == Names::kHeaderGzip) {}

  bool start() {
    std::vector<std::pair<std::string, int>> list;
    for (const std::string& f : files_) list.emplace_back(f, static_cast<int>(per_file_));
    const std::string text = TestSupport::header_volume_text(g_.nx, g_.ny, g_.nz, list);
    OutFile header;
    return header.open(join(folder_, name_), false) && header.write(text.data(), text.size()) &&
           header.finish();
  }

  bool slice(uint32_t y, const float* samples) override {
    if (y >= g_.ny) return true;
    const uint32_t file = y / per_file_;
    if (y % per_file_ == 0) {
      current_ = std::make_unique<OutFile>();
      if (!current_->open(join(folder_, files_[file]), gzip_)) return false;
    }
    if (!current_->write(samples, g_.slice_samples() * 4)) return false;
    return y % per_file_ != per_file_ - 1 || current_->finish();
  }

  bool finish(Manifest* manifest) override {
    manifest->files[name_] = file_size_or_zero(join(folder_, name_));
    for (const std::string& f : files_) manifest->files[f] = file_size_or_zero(join(folder_, f));
    return true;
  }

  bool present(const Manifest& manifest) const {
    if (!manifest.present(folder_, name_)) return false;
    for (const std::string& f : files_) {
      if (!manifest.present(folder_, f)) return false;
    }
    return true;
  }

 private:
  std::string folder_, name_;
  Geometry g_;
  uint32_t per_file_;
  std::vector<std::string> files_;
  bool gzip_;
  std::unique_ptr<OutFile> current_;
};

// An HR volume through the streaming writer, a slab of 32 slices at a time.
class HRSink final : public Sink {
 public:
  HRSink(std::string folder, std::string name, const Geometry& g)
      : folder_(std::move(folder)), name_(std::move(name)), g_(g) {}

  bool start() {
    Tools::HRStreamOptions options;
    options.resolution = {g_.nx, g_.ny, g_.nz};
    options.vmax = {double(g_.nx), double(g_.ny), double(g_.nz)};
    slab_.resize(g_.slice_samples() * Tools::kHRSlabSlices);
    return writer_.open(join(folder_, name_), options, &error_);
  }

  bool slice(uint32_t y, const float* samples) override {
    const uint32_t due = writer_.next_slab_slices();
    const uint32_t at = y % Tools::kHRSlabSlices;
    std::memcpy(slab_.data() + at * g_.slice_samples(), samples, g_.slice_samples() * 4);
    return at + 1 < due || writer_.write_slab(slab_.data(), &error_);
  }

  bool finish(Manifest* manifest) override {
    if (!writer_.finish(&error_)) return false;
    manifest->files[name_] = writer_.file_size();
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  std::string folder_, name_;
  Geometry g_;
  Tools::HRStreamWriter writer_;
  std::vector<float> slab_;
  std::string error_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One pass over the slices of `g`, feeding every sink; then completes them.
bool run_pass(const char* what, const Geometry& g, std::vector<std::unique_ptr<Sink>>& sinks,
              Manifest* manifest, const std::string& folder) {
  if (sinks.empty()) return true;
  std::printf("writing %s (%u x %u x %u)...", what, g.nx, g.ny, g.nz);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  std::vector<float> slice(g.slice_samples());
  for (uint32_t y = 0; y < g.ny; ++y) {
    ct_slice(g, y, slice.data());
    for (auto& sink : sinks) {
      if (!sink->slice(y, slice.data())) {
        std::printf(" failed at slice %u\n", y);
        return false;
      }
    }
  }
  for (auto& sink : sinks) {
    if (!sink->finish(manifest)) {
      std::printf(" failed to complete a file\n");
      return false;
    }
  }
  std::printf(" %.1f s\n", seconds_since(start));
  return manifest->save(folder);
}

bool write_sparse(const std::string& folder, uint32_t edge, Manifest* manifest) {
  const Geometry g = sparse_geometry(edge);
  const Ring ring(g);
  Tools::HRWriteOptions options;
  options.resolution = {g.nx, g.ny, g.nz};
  options.voxel = [&ring](uint32_t x, uint32_t y, uint32_t z) { return ring.voxel(x, y, z); };
  const uint32_t depth = Tools::hr_max_depth(options.resolution);
  // Nodes off the ring hold only zeros: leaves without bricks, which read as zero.
  auto off_ring = [&](const Tools::HRNodeKey& key) {
    const uint64_t side = uint64_t{32} << (depth - key.depth);
    return Tools::hr_node_is_padding(key, options.resolution, depth) ||
           !ring.meets(key.x * side, (key.x + 1) * side, key.y * side, (key.y + 1) * side);
  };
  options.stop_here = off_ring;
  options.no_brick = off_ring;
  std::printf("writing the sparse HR volume (%u x %u x %u, depth %u)...", g.nx, g.ny, g.nz, depth);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  Tools::HRWriteResult result;
  std::string error;
  const std::string path = join(folder, Names::kHRSparse);
  if (!Tools::write_hr_volume(path + ".partial", options, &result, &error) ||
      std::rename((path + ".partial").c_str(), path.c_str()) != 0) {
    std::printf(" failed: %s\n", error.c_str());
    return false;
  }
  const uint64_t tiles = (result.nodes.size() - 1) / 8;
  uint64_t bricks = 0;
  for (const auto& node : result.nodes) bricks += node.brick_offset != 0;
  manifest->files[Names::kHRSparse] = result.file_size;
  manifest->values["node_area_bytes.hr_sparse.hr"] =
      kHRHeaderBytesV4 + kHRNodeRecordBytes + kHRTileBytes * tiles;
  manifest->values["root_brick_offset.hr_sparse.hr"] = result.nodes[0].brick_offset;
  manifest->values["root_brick_bytes.hr_sparse.hr"] = kHRBrickRecordBytes;
  std::printf(" %zu nodes, %llu bricks, %.1f s\n", result.nodes.size(),
              static_cast<unsigned long long>(bricks), seconds_since(start));
  return manifest->save(folder);
}

int usage() {
  std::fprintf(stderr, "usage: bench_data FOLDER [--size EDGE]  (EDGE a multiple of %u, >= 64)\n",
               kEdgeStep);
  return 2;
}

int run(int argc, char** argv) {
  std::string folder;
  uint32_t edge = kDefaultEdge;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      edge = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (folder.empty() && arg.rfind("--", 0) != 0) {
      folder = arg;
    } else {
      return usage();
    }
  }
  if (folder.empty() || edge < 64 || edge % kEdgeStep != 0 || edge > 4096) return usage();
  mkdir(folder.c_str(), 0755);

  Manifest manifest;
  if (!manifest.load(folder) || manifest.edge != edge) manifest = Manifest{};
  manifest.edge = edge;

  // The cube pass: packed volumes, header volumes (its first slices) and the HR cube.
  std::vector<std::unique_ptr<Sink>> cube;
  const struct {
    const char* name;
    Geometry g;
    int bits;
    bool gzip;
  } packed[] = {
      {Names::kPackedU8, cube_geometry(edge), 8, false},
      {Names::kPackedU16, cube_geometry(edge), 16, false},
      {Names::kPackedF32, cube_geometry(edge), 32, false},
      {Names::kPackedU8Gz, cube_geometry(edge), 8, true},
      {Names::kPackedU16Gz, cube_geometry(edge), 16, true},
      {Names::kPackedF32Gz, gzip32_geometry(edge), 32, true},
  };
  for (const auto& p : packed) {
    if (manifest.present(folder, p.name)) continue;
    auto sink = std::make_unique<PackedSink>(folder, p.name, p.g, p.bits, p.gzip);
    if (!sink->start()) return std::fprintf(stderr, "cannot write %s\n", p.name), 1;
    cube.push_back(std::move(sink));
  }
  for (const char* name : {Names::kHeaderPlain, Names::kHeaderGzip}) {
    auto sink = std::make_unique<HeaderSink>(folder, name, edge);
    if (sink->present(manifest)) continue;
    if (!sink->start()) return std::fprintf(stderr, "cannot write %s\n", name), 1;
    cube.push_back(std::move(sink));
  }
  if (!manifest.present(folder, Names::kHRCube)) {
    auto sink = std::make_unique<HRSink>(folder, Names::kHRCube, cube_geometry(edge));
    if (!sink->start()) return std::fprintf(stderr, "%s\n", sink->error().c_str()), 1;
    cube.push_back(std::move(sink));
  }
  if (!run_pass("the cube volumes", cube_geometry(edge), cube, &manifest, folder)) return 1;

  std::vector<std::unique_ptr<Sink>> wide;
  if (!manifest.present(folder, Names::kHRWide)) {
    auto sink = std::make_unique<HRSink>(folder, Names::kHRWide, wide_geometry(edge));
    if (!sink->start()) return std::fprintf(stderr, "%s\n", sink->error().c_str()), 1;
    wide.push_back(std::move(sink));
  }
  if (!run_pass("the wide HR volume", wide_geometry(edge), wide, &manifest, folder)) return 1;

  if (!manifest.present(folder, Names::kHRSparse) && !write_sparse(folder, edge, &manifest)) {
    return 1;
  }

  uint64_t total = 0;
  for (const auto& [name, size] : manifest.files) total += size;
  std::printf("%s: %zu files, %.2f GB\n", folder.c_str(), manifest.files.size(), total / 1e9);
  return 0;
}

}  // namespace
}  // namespace QVX::Bench

int main(int argc, char** argv) { return QVX::Bench::run(argc, argv); }
