// `ozk verify`: reads each volume whole and checks what its files vouch for.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

struct Tick {
  Progress* progress;
  uint64_t slices;
  uint64_t shown = 0;
};

// The library counts in percent, the progress display in slices.
void on_percent(void* user, uint32_t percent) {
  auto* tick = static_cast<Tick*>(user);
  const uint64_t done = tick->slices * percent / 100;
  if (done > tick->shown) tick->progress->advance(done - tick->shown);
  tick->shown = std::max(tick->shown, done);
}

}  // namespace

int run_verify(const std::vector<std::string>& paths, const Settings& settings) {
  int status = kExitOk;
  for (const std::string& path : paths) {
    if (interrupted()) return fail("interrupted");
    VolumeHandle volume;
    std::string error;
    if (!volume.open(path, &error)) {
      status = fail(error);
      continue;
    }
    bool sound = false;
    {
      Progress progress("verifying " + path, volume.slices(), settings.quiet);
      Tick tick{&progress, volume.slices()};
      sound = qvx_ozk_volume_verify(volume.get(), on_percent, &tick);
    }
    if (interrupted()) return fail("interrupted");
    if (sound) {
      std::printf("%s: ok\n", path.c_str());
      continue;
    }
    // The first problem, whole: which part is damaged and which slices it takes.
    std::string cause = qvx_ozk_last_error();
    if (cause.rfind("FAILED to ", 0) == 0) cause.replace(0, 10, "cannot ");
    if (cause.rfind("FAILED ", 0) == 0) cause.erase(0, 7);
    status = fail(describe_failure("damaged", path, cause));
  }
  return status;
}

}  // namespace QVX::Ozk
