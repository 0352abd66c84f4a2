// Requests for node bricks and the batches in which the loader works through them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace QVX::Base {
class ManualResetEvent;
}

namespace QVX::CT {

struct HRNode;

struct NodeRequest {
  HRNode* node = nullptr;
  uint32_t depth = 0;
  // A point inside the node in normalised coordinates, each in [0, 1).
  double position[3] = {0.0, 0.0, 0.0};
  // Cleared by the pool when the loaded brick fails verification.
  bool valid = true;
};

struct RequestBatch {
  // Told of progress in percent; may be empty.
  std::function<void(int32_t)> progress;
  uint64_t done = 0;       // progress steps made
  uint64_t remaining = 0;  // progress steps still to come
  // Polled between steps; true stops the batch. May be empty.
  std::function<bool()> cancel;
  // Set by the worker that finished the batch; may be null. Not owned.
  Base::ManualResetEvent* done_event = nullptr;
  std::vector<NodeRequest> requests;  // processed in this order
  // Receives the requests whose valid flag is false; may be null. Owned by the batch's
  // creator.
  std::vector<NodeRequest>* bad_requests = nullptr;
};

}  // namespace QVX::CT
