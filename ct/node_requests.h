// Node requests: which nodes of a depth still need their brick in the pool, finding a
// node by normalised position, filling a pooled brick's one-voxel border from its 26
// neighbours, and working through a batch of requests.
#pragma once

#include <cstdint>
#include <vector>

#include "ct/node_request.h"

namespace QVX::CT {

class HRVolume;
class Loader;

// Appends a request for every node of depth `depth` that has a brick and is not yet
// bordered in the pool. Nothing for depth 0 (the root's brick is read at open). Call with
// the pool lock held.
void collect_requests(HRVolume& volume, std::vector<NodeRequest>& out, uint32_t depth);

// The node of depth `depth` that contains the normalised `position` (each coordinate in
// [0, 1)), or null outside the volume, where the tree ends above `depth`, or for a node
// without a brick.
HRNode* find_node_normalised(HRVolume& volume, const double (&position)[3], uint32_t depth);

// Fills the border of the request's pooled brick from the 26 neighbours of the same
// depth (0.0 where a neighbour is missing) and marks it bordered. Call with the pool lock
// held.
bool fill_border(HRVolume& volume, const NodeRequest& request);

// Loads every request of the batch into the pool, then borders each; the pool lock is
// taken around each single step. False when the loader stops, the batch is cancelled or a
// step fails.
bool process_batch(Loader& loader, RequestBatch& batch);

// One progress step: done + 1, remaining - 1, and the callback told the percentage.
void progress_step(RequestBatch& batch);

}  // namespace QVX::CT
