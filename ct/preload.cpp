#include "ct/preload.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>

#include "base/clock.h"
#include "base/log.h"
#include "ct/brick_pool.h"
#include "ct/hr_volume.h"
#include "ct/loader.h"
#include "ct/node_requests.h"
#include "ct/node_tree.h"

namespace QVX::CT {

void build_preload_plan(Loader& loader, PreloadPlan& plan) {
  HRVolume& volume = loader.volume();
  BrickPool& pool = loader.pool();
  plan.clear();
  plan.resize(static_cast<size_t>(volume.max_depth()) + 1);

  const uint64_t free =
      pool.capacity() > pool.used_count() ? pool.capacity() - pool.used_count() : 0;
  uint64_t planned = 0;
  for (uint32_t depth = 0; depth <= volume.max_depth(); ++depth) {
    // Once the free slots are planned no deeper depth can get a batch; collecting them
    // would only walk the whole tree under the pool lock.
    if (planned >= free || !loader.running()) break;
    std::vector<NodeRequest> requests;
    collect_requests(volume, requests, depth);
    if (requests.empty()) continue;
    const uint64_t n = requests.size();
    if (planned + n > free) requests.resize(static_cast<size_t>(free - planned));

    PreloadStep& step = plan[depth];
    step.batch = std::make_unique<RequestBatch>();
    step.batch->cancel = [] { return active_requests() != 0; };
    step.batch->bad_requests = &step.bad_requests;
    step.batch->requests = std::move(requests);
    planned += step.batch->requests.size();
  }
}

bool run_preload_plan(Loader& loader, PreloadPlan& plan) {
  const bool force = loader.force_preload();
  const char* mode = force ? "force " : "";
  if (force) {
    uint64_t total = 0;
    for (const PreloadStep& step : plan) {
      if (step.batch) total += step.batch->requests.size();
    }
    loader.force_total.store(
        static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max())));
    loader.force_loaded.store(0);
    loader.force_counted().set();
  }

  for (uint32_t depth = 0; depth < plan.size(); ++depth) {
    PreloadStep& step = plan[depth];
    if (!step.batch) continue;
    RequestBatch& batch = *step.batch;
    const int64_t start = Base::counter_now();
    Base::log_printf("%s depth %u, %llu bricks \n", force ? "Force preloading" : "Preloading",
                     depth, static_cast<unsigned long long>(batch.requests.size()));

    bool done = loader.running() && !(batch.cancel && batch.cancel());
    if (done) {
      {
        std::lock_guard<std::mutex> lock(loader.pool_lock());
        if (loader.sort_pool() && loader.pool().used_count() != 0) {
          loader.pool().pool_sort_by_last_use();
        }
      }
      done = process_batch(loader, batch);
    }
    if (!done) {
      Base::log_printf("Cancelled %spreloading depth %u, took %.1fs\n", mode, depth,
                       Base::counter_seconds(start, Base::counter_now()));
      return false;
    }

    int bad = 0;
    for (const NodeRequest& request : batch.requests) {
      if (request.valid) continue;
      Base::log_printf("Invalid request found at depth %d, offset %d\n",
                       static_cast<int>(request.depth),
                       static_cast<int32_t>(static_cast<uint32_t>(request.node->brick_offset)));
      ++bad;
    }
    if (bad != 0) Base::log_printf("%d bad requests found during %spreload...\n", bad, mode);
    step.bad_requests.clear();

    Base::log_printf("Done %spreloading depth %u, took %.1fs\n", mode, depth,
                     Base::counter_seconds(start, Base::counter_now()));
    step.batch.reset();
  }
  return true;
}

}  // namespace QVX::CT
