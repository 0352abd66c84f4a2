// Saving a 4096 x 4096 float slice as TIFF, against a raw write() of the same bytes to the
// same folder; the ratio of the two times is the figure of merit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qvx_ozk.h"

namespace {

constexpr uint32_t kSide = 4096;

const std::vector<float>& slice() {
  static const std::vector<float> pixels = [] {
    std::vector<float> p(size_t{kSide} * kSide);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<float>(i % 4099) * 0.25f;
    return p;
  }();
  return pixels;
}

std::string folder() {
  const char* dir = std::getenv("QVX_OZK_BENCH_DIR");
  return dir != nullptr ? dir : "/tmp";
}

void RawWrite(benchmark::State& state) {
  const std::string path = folder() + "/qvx_ozk_bench_raw.bin";
  const auto& pixels = slice();
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto* bytes = reinterpret_cast<const char*>(pixels.data());
    size_t done = 0;
    const size_t total = pixels.size() * sizeof(float);
    while (done < total) {
      const ssize_t n = write(fd, bytes + done, total - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  }
  unlink(path.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pixels.size() * 4));
}

void SaveGrayTif32(benchmark::State& state) {
  const std::string path = folder() + "/qvx_ozk_bench.tif";
  const auto& pixels = slice();
  for (auto _ : state) {
    if (!qvx_ozk_save_gray_tif32(path.c_str(), pixels.data(), kSide, kSide)) {
      state.SkipWithError("save failed");
    }
  }
  unlink(path.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pixels.size() * 4));
}

BENCHMARK(RawWrite)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(SaveGrayTif32)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
