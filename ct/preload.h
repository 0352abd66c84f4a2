// Preload plans: per depth, from the coarsest, one batch of the requests that fit in the
// pool's free slots; run by the loader's preload thread while the caller is idle.
#pragma once

#include <memory>
#include <vector>

#include "ct/node_request.h"

namespace QVX::CT {

class Loader;

struct PreloadStep {
  std::unique_ptr<RequestBatch> batch;  // null: nothing to do at this depth
  std::vector<NodeRequest> bad_requests;
};
// One entry per depth, 0 to max_depth.
using PreloadPlan = std::vector<PreloadStep>;

// Fills `plan` (resized to max_depth + 1 entries) with batches that ask for no more bricks
// than the pool has free. Call with the pool lock held.
void build_preload_plan(Loader& loader, PreloadPlan& plan);

// Runs the plan's batches from the coarsest depth, logging each depth; a depth that is
// cancelled (loader stopping, worker batches active) or fails stays in the plan with the
// deeper ones. False when the pass was cancelled.
bool run_preload_plan(Loader& loader, PreloadPlan& plan);

}  // namespace QVX::CT
