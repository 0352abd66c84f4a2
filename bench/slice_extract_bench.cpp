// Reading y-slices of a 512^3 HR volume whose file is in the page cache, against memcpy
// of the same byte count from a buffer as large as the volume, in the same run. Output
// bytes per second of the two give the figure of merit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tools/hr_writer/hr_writer.h"

namespace {

constexpr uint32_t kSide = 512;
constexpr size_t kSliceFloats = size_t{kSide} * kSide;

std::string folder() {
  const char* dir = std::getenv("QVX_OZK_BENCH_DIR");
  return dir != nullptr ? dir : "/tmp";
}

// The volume is written once per run and removed at exit.
struct BenchVolume {
  BenchVolume() : path(folder() + "/qvx_ozk_bench_" + std::to_string(getpid()) + ".hr") {
    QVX::Tools::HRWriteOptions options;
    options.resolution = {kSide, kSide, kSide};
    options.voxel = [](uint32_t x, uint32_t y, uint32_t z) {
      return static_cast<float>((x * 7 + y * 13 + z * 3) % 4096);
    };
    std::string error;
    ok = QVX::Tools::write_hr_volume(path, options, nullptr, &error);
    if (ok) ok = qvx_ozk_volume_open(handle, path.c_str());
    // Warm the page cache and the mapping: every slice once.
    std::vector<float> slice(kSliceFloats);
    for (uint32_t y = 0; ok && y < kSide; ++y)
      ok = qvx_ozk_volume_read_slice(handle, slice.data(), y);
  }
  ~BenchVolume() {
    qvx_ozk_volume_delete(handle);
    unlink(path.c_str());
  }
  std::string path;
  qvx_ozk_volume* handle = qvx_ozk_volume_create();
  bool ok = false;
};

BenchVolume& volume() {
  static BenchVolume v;
  return v;
}

void ReadSlice(benchmark::State& state) {
  BenchVolume& v = volume();
  if (!v.ok) {
    state.SkipWithError("could not write or open the volume");
    return;
  }
  std::vector<float> slice(kSliceFloats);
  uint32_t y = 0;
  for (auto _ : state) {
    if (!qvx_ozk_volume_read_slice(v.handle, slice.data(), y)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(slice.data());
    benchmark::ClobberMemory();
    y = (y + 37) % kSide;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSliceFloats * 4));
}

void MemcpySliceBytes(benchmark::State& state) {
  // As large as the volume's finest bricks, so the copies come from memory as the slice
  // reads do, not from a cache-resident source.
  std::vector<float> source(kSliceFloats * kSide, 1.0f);
  std::vector<float> slice(kSliceFloats);
  uint32_t y = 0;
  for (auto _ : state) {
    std::memcpy(slice.data(), source.data() + size_t{y} * kSliceFloats, kSliceFloats * 4);
    benchmark::DoNotOptimize(slice.data());
    benchmark::ClobberMemory();
    y = (y + 37) % kSide;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSliceFloats * 4));
}

BENCHMARK(MemcpySliceBytes)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadSlice)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
