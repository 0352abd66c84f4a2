// Slice reads of packed and header volumes, each against a reference measured in the
// same run:
//   Pread/<bits>            raw pread of one slice's file bytes from an open descriptor
//   PackedPlain/<bits>      the same slice through the library, widened to floats
//   MappedWiden/<bits>/<m>  the widening straight out of a mapping, the alternative (m 1:
//                           mapped for each read, paying its page faults)
//   PreadSliceFile/<o>      pread of a slice from the header volume's slice file (o 1:
//                           opened and closed around each read)
//   HeaderPlain             a header-volume slice through the library (file opened per
//                           read), against PreadSliceFile
//   GzreadStream            zlib's gzread over a gzip volume's stream, slice by slice
//   IndexedStream           the library's indexed reader over the same stream (index built
//                           on the way; counter index_pct = index memory / stream bytes)
//   PackedGzipSequential    16-bit slices of the gzip volume in order, once indexed
//   PackedGzipRandom        the same in random order
// Sizes: QVX_OZK_BENCH_SIDE (slice side, default 512) and QVX_OZK_BENCH_SLICES (default
// 256); files go to QVX_OZK_BENCH_DIR (default /tmp) and are removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/file/random_access.h"
#include "qvx_ozk.h"

namespace {

uint32_t env_or(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

std::string folder() {
  const char* dir = std::getenv("QVX_OZK_BENCH_DIR");
  return dir != nullptr ? dir : "/tmp";
}

// CT-like 16-bit samples: air, a soft-tissue ellipsoid and a denser core, with noise.
uint16_t ct_sample(uint32_t x, uint32_t y, uint32_t z, uint32_t side, uint32_t slices,
                   std::minstd_rand& noise) {
  const double dx = (x - side / 2.0) / (side * 0.45), dz = (z - side / 2.0) / (side * 0.4);
  const double dy = (y - slices / 2.0) / (slices * 0.5);
  const double r2 = dx * dx + dy * dy + dz * dz;
  const uint32_t base = r2 < 0.15 ? 2400 : r2 < 1.0 ? 1040 : 24;
  return static_cast<uint16_t>(base + noise() % 48);
}

struct Volumes {
  Volumes() : side(env_or("QVX_OZK_BENCH_SIDE", 512)), slices(env_or("QVX_OZK_BENCH_SLICES", 256)) {
    prefix = folder() + "/qvx_ozk_volume_bench_" + std::to_string(getpid());
    const size_t n = size_t{side} * side;
    std::vector<uint16_t> u16(n);
    std::vector<uint8_t> u8(n);
    std::vector<float> f32(n);
    std::minstd_rand noise(1);
    for (int bits : {8, 16, 32}) {
      header[bits] = "# QVX Packed Volume\nVoxels: " + std::to_string(side) + " " +
                     std::to_string(slices) + " " + std::to_string(side) +
                     "\nBitsPerSample: " + std::to_string(bits) +
                     "\nSweepDirection: 1\n</content>\n";
    }
    std::FILE* plain[3] = {std::fopen(path(8).c_str(), "wb"), std::fopen(path(16).c_str(), "wb"),
                           std::fopen(path(32).c_str(), "wb")};
    std::FILE* raw = std::fopen(slice_file().c_str(), "wb");
    gzFile gz = gzopen(gzip_path().c_str(), "wb6");
    ok = plain[0] && plain[1] && plain[2] && raw && gz;
    for (int i = 0; ok && i < 3; ++i) std::fputs(header[8 << i].c_str(), plain[i]);
    if (ok) gzputs(gz, header[16].c_str());
    for (uint32_t y = 0; ok && y < slices; ++y) {
      for (uint32_t x = 0; x < side; ++x) {
        for (uint32_t z = 0; z < side; ++z) {
          const size_t i = size_t{x} * side + z;
          u16[i] = ct_sample(x, y, z, side, slices, noise);
          u8[i] = static_cast<uint8_t>(u16[i] >> 4);
          f32[i] = static_cast<float>(u16[i]) - 1024.0f;
        }
      }
      ok = std::fwrite(u8.data(), 1, n, plain[0]) == n &&
           std::fwrite(u16.data(), 2, n, plain[1]) == n &&
           std::fwrite(f32.data(), 4, n, plain[2]) == n &&
           std::fwrite(f32.data(), 4, n, raw) == n &&
           gzwrite(gz, u16.data(), static_cast<unsigned>(n * 2)) == static_cast<int>(n * 2);
    }
    for (std::FILE* f : plain) ok = f != nullptr && std::fclose(f) == 0 && ok;
    ok = raw != nullptr && std::fclose(raw) == 0 && ok;
    ok = gz != nullptr && gzclose(gz) == Z_OK && ok;
    const std::string text = "<Brevant Quill Labs Volume Header>\n<Voxels>" + std::to_string(side) +
                             " " + std::to_string(slices) + " " + std::to_string(side) +
                             "</Voxels>\n<Files>\n<Name>" +
                             slice_file().substr(slice_file().rfind('/') + 1) +
                             "</Name>\n<NbSlices>" + std::to_string(slices) +
                             "</NbSlices>\n</Files>\n" + "</Brevant Quill Labs Volume Header>\n";
    std::FILE* h = std::fopen(header_path().c_str(), "wb");
    ok = ok && h != nullptr && std::fputs(text.c_str(), h) >= 0;
    if (h != nullptr) ok = std::fclose(h) == 0 && ok;
  }
  ~Volumes() {
    for (int bits : {8, 16, 32}) unlink(path(bits).c_str());
    unlink(gzip_path().c_str());
    unlink(slice_file().c_str());
    unlink(header_path().c_str());
  }
  std::string path(int bits) const { return prefix + "_" + std::to_string(bits) + ".pvol"; }
  std::string gzip_path() const { return prefix + "_16.pvol.gz"; }
  std::string slice_file() const { return prefix + "_slices.raw"; }
  std::string header_path() const { return prefix + ".hdr"; }
  size_t samples() const { return size_t{side} * side; }

  uint32_t side, slices;
  std::string prefix;
  std::string header[33];
  bool ok = false;
};

Volumes& volumes() {
  static Volumes v;
  return v;
}

// Slices visited in a fixed shuffled order, the same for every benchmark.
std::vector<uint32_t> shuffled(uint32_t count) {
  std::vector<uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::minstd_rand(5));
  return order;
}

// Reads every slice once, so the files are in the page cache before timing.
qvx_ozk_volume* open_warm(const std::string& path, benchmark::State& state) {
  qvx_ozk_volume* v = qvx_ozk_volume_create();
  std::vector<float> slice(volumes().samples());
  bool ok = qvx_ozk_volume_open(v, path.c_str());
  for (uint32_t y = 0; ok && y < volumes().slices; ++y) {
    ok = qvx_ozk_volume_read_slice(v, slice.data(), y);
  }
  if (!ok) state.SkipWithError("could not open or read the volume");
  return v;
}

void finish(benchmark::State& state, size_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_iteration));
}

void Pread(benchmark::State& state) {
  Volumes& v = volumes();
  const int bits = static_cast<int>(state.range(0));
  const size_t bytes = v.samples() * static_cast<size_t>(bits / 8);
  const int fd = open(v.path(bits).c_str(), O_RDONLY);
  std::vector<uint8_t> buffer(bytes);
  const std::vector<uint32_t> order = shuffled(v.slices);
  size_t k = 0;
  for (auto _ : state) {
    const uint64_t offset = v.header[bits].size() + uint64_t{order[k]} * bytes;
    if (pread(fd, buffer.data(), bytes, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(bytes)) {
      state.SkipWithError("short read");
    }
    benchmark::DoNotOptimize(buffer.data());
    k = (k + 1) % order.size();
  }
  close(fd);
  finish(state, bytes);
}

// Reads the slices of `order` through the library, one per iteration, round and round;
// deletes the handle.
void read_in_order(benchmark::State& state, qvx_ozk_volume* handle,
                   const std::vector<uint32_t>& order) {
  std::vector<float> slice(volumes().samples());
  size_t k = 0;
  for (auto _ : state) {
    if (!qvx_ozk_volume_read_slice(handle, slice.data(), order[k])) state.SkipWithError("read");
    benchmark::DoNotOptimize(slice.data());
    k = (k + 1) % order.size();
  }
  qvx_ozk_volume_delete(handle);
}

void PackedPlain(benchmark::State& state) {
  Volumes& v = volumes();
  const int bits = static_cast<int>(state.range(0));
  qvx_ozk_volume* handle = open_warm(v.path(bits), state);
  const std::vector<uint32_t> order = shuffled(v.slices);
  read_in_order(state, handle, order);
  finish(state, v.samples() * static_cast<size_t>(bits / 8));
}

// What widening straight out of a shared mapping would cost instead (not what the
// library does: it reads into the caller's buffer and widens there). With the second
// argument 1 the file is mapped for every read, so that each read pays its page faults as
// a first pass over a volume does; with 0 it is mapped once.
void MappedWiden(benchmark::State& state) {
  Volumes& v = volumes();
  const int bits = static_cast<int>(state.range(0));
  const bool map_per_read = state.range(1) != 0;
  const size_t bytes = v.samples() * static_cast<size_t>(bits / 8);
  const int fd = open(v.path(bits).c_str(), O_RDONLY);
  const size_t size = v.header[bits].size() + bytes * v.slices;
  const auto map = [&] {
    return static_cast<const uint8_t*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  };
  const uint8_t* base = map_per_read ? nullptr : map();
  std::vector<float> slice(v.samples());
  const std::vector<uint32_t> order = shuffled(v.slices);
  size_t k = 0;
  for (auto _ : state) {
    if (map_per_read) base = map();
    const uint8_t* src = base + v.header[bits].size() + uint64_t{order[k]} * bytes;
    float* dst = slice.data();
    if (bits == 8) {
      for (size_t i = 0; i < v.samples(); ++i) dst[i] = static_cast<float>(src[i]) * 0.003921569f;
    } else {
      for (size_t i = 0; i < v.samples(); ++i) {
        uint16_t s;
        std::memcpy(&s, src + 2 * i, 2);
        dst[i] = static_cast<float>(s) * 1.5259022e-05f;
      }
    }
    benchmark::DoNotOptimize(slice.data());
    k = (k + 1) % order.size();
    if (map_per_read) munmap(const_cast<uint8_t*>(base), size);
  }
  if (!map_per_read) munmap(const_cast<uint8_t*>(base), size);
  close(fd);
  finish(state, bytes);
}

// The header volume's references: pread of the slice from its file, open once (arg 0) or
// opened and closed around every read as the library does (arg 1).
void PreadSliceFile(benchmark::State& state) {
  Volumes& v = volumes();
  const bool open_per_read = state.range(0) != 0;
  const size_t bytes = v.samples() * 4;
  int fd = open_per_read ? -1 : open(v.slice_file().c_str(), O_RDONLY);
  std::vector<float> slice(v.samples());
  const std::vector<uint32_t> order = shuffled(v.slices);
  size_t k = 0;
  for (auto _ : state) {
    if (open_per_read) fd = open(v.slice_file().c_str(), O_RDONLY | O_CLOEXEC);
    const auto offset = static_cast<off_t>(uint64_t{order[k]} * bytes);
    if (pread(fd, slice.data(), bytes, offset) != static_cast<ssize_t>(bytes)) {
      state.SkipWithError("short read");
    }
    if (open_per_read) close(fd);
    benchmark::DoNotOptimize(slice.data());
    k = (k + 1) % order.size();
  }
  if (!open_per_read) close(fd);
  finish(state, bytes);
}

void HeaderPlain(benchmark::State& state) {
  Volumes& v = volumes();
  qvx_ozk_volume* handle = open_warm(v.header_path(), state);
  const std::vector<uint32_t> order = shuffled(v.slices);
  read_in_order(state, handle, order);
  finish(state, v.samples() * 4);
}

// One pass over the gzip volume's whole stream per iteration, slice-sized reads.
void GzreadStream(benchmark::State& state) {
  Volumes& v = volumes();
  std::vector<uint8_t> buffer(v.samples() * 2);
  for (auto _ : state) {
    gzFile gz = gzopen(v.gzip_path().c_str(), "rb");
    gzbuffer(gz, 32768);  // as the reader this replaces
    while (gzread(gz, buffer.data(), static_cast<unsigned>(buffer.size())) > 0) {
      benchmark::DoNotOptimize(buffer.data());
    }
    gzclose(gz);
  }
  finish(state, v.header[16].size() + v.samples() * 2 * v.slices);
}

void IndexedStream(benchmark::State& state) {
  Volumes& v = volumes();
  std::vector<uint8_t> buffer(v.samples() * 2);
  const std::string narrow = v.gzip_path();
  const std::wstring path(narrow.begin(), narrow.end());
  double index_pct = 0, points = 0;
  for (auto _ : state) {
    QVX::Base::File::RandomAccessFile file;
    file.open(path);
    uint64_t at = 0;
    int64_t got = 0;
    while ((got = file.read_at(at, buffer.data(), buffer.size())) > 0) {
      benchmark::DoNotOptimize(buffer.data());
      at += static_cast<uint64_t>(got);
    }
    if (got < 0 || file.gzip_index() == nullptr) state.SkipWithError("read");
    if (file.gzip_index() != nullptr) {
      index_pct =
          100.0 * static_cast<double>(file.gzip_index()->index_bytes()) / static_cast<double>(at);
      points = static_cast<double>(file.gzip_index()->access_point_count());
    }
  }
  state.counters["index_pct"] = index_pct;
  state.counters["points"] = points;
  finish(state, v.header[16].size() + v.samples() * 2 * v.slices);
}

// Slice reads of the gzip volume once its index is complete: in order, or shuffled.
void PackedGzip(benchmark::State& state, bool random) {
  Volumes& v = volumes();
  qvx_ozk_volume* handle = open_warm(v.gzip_path(), state);
  std::vector<uint32_t> order(v.slices);
  std::iota(order.begin(), order.end(), 0u);
  if (random) order = shuffled(v.slices);
  read_in_order(state, handle, order);
  finish(state, v.samples() * 2);
}

void PackedGzipSequential(benchmark::State& state) { PackedGzip(state, false); }
void PackedGzipRandom(benchmark::State& state) { PackedGzip(state, true); }

BENCHMARK(Pread)->Arg(8)->Arg(16)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK(PackedPlain)->Arg(8)->Arg(16)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK(MappedWiden)->ArgsProduct({{8, 16}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(PreadSliceFile)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(HeaderPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(GzreadStream)->Unit(benchmark::kMillisecond);
BENCHMARK(IndexedStream)->Unit(benchmark::kMillisecond);
BENCHMARK(PackedGzipSequential)->Unit(benchmark::kMicrosecond);
BENCHMARK(PackedGzipRandom)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!volumes().ok) {
    std::fprintf(stderr, "could not write the volumes under %s\n", folder().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
