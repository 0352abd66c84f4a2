// Writes the seed corpus of every fuzz target into <dir>/<target>/.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fuzz/entry_points.h"
#include "fuzz/seeds.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  // The image writers log every save; only failures matter here.
  QVX::Fuzz::discard_logs();
  for (const QVX::Fuzz::Target& target : QVX::Fuzz::targets()) {
    const std::filesystem::path dir =
        std::filesystem::path(argv[1]) / (std::string(target.name) + "_fuzz");
    std::filesystem::create_directories(dir);
    const std::vector<QVX::Fuzz::Seed> seeds = QVX::Fuzz::seeds(target.name);
    if (seeds.empty()) {
      std::fprintf(stderr, "no seeds for %s\n", target.name);
      return 1;
    }
    for (const QVX::Fuzz::Seed& seed : seeds) {
      std::ofstream(dir / seed.name, std::ios::binary) << seed.bytes;
    }
  }
  return 0;
}
