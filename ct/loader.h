// The background threads of one open HR volume: worker threads that process request
// batches from a queue, and one preload thread that fills the brick pool depth by depth
// while the caller is idle (or, in force mode, one pass at once at raised priority).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/event.h"
#include "ct/node_request.h"

namespace QVX::CT {

class HRVolume;
class BrickPool;

inline constexpr uint32_t kLoaderWorkerCount = 8;
// The quiet period after the last worker batch before the preload thread runs a pass,
// and the longest it sleeps between checks.
inline constexpr uint32_t kPreloadQuietMilliseconds = 2000;

// Batches of worker threads being processed, over every loader of the process; the
// preload threads yield while it is not 0.
uint64_t active_requests();
// Counter reading (base/clock.h) when a worker last finished a batch; 0 before any.
int64_t last_request_done();

class Loader {
 public:
  // `volume` gives the tree; `pool` and `pool_lock` are the volume's.
  Loader(HRVolume& volume, BrickPool& pool, std::mutex& pool_lock);
  ~Loader();  // stop_loader(), then drops the batches left in the queue
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // Starts the workers and the preload (or force preload) thread; true. Nothing happens
  // while running.
  bool start_loader();
  // Tells every thread to stop, wakes all waits and joins all threads; true. Nothing
  // happens when not running.
  bool stop_loader();

  // Appends a batch for the workers and wakes one. The queue owns the batch until a
  // worker has processed it; a batch queued while the loader is stopped, or left in the
  // queue at a stop, is dropped unprocessed after its done event is set.
  void queue_batch(std::unique_ptr<RequestBatch> batch);
  // Chooses the force preload thread for the next start_loader. Passes read the mode as
  // they run, so a change while running also changes how a running pass counts and logs.
  void set_force_preload(bool force) { force_preload_.store(force); }

  bool running() const { return running_.load(std::memory_order_acquire); }
  bool force_preload() const { return force_preload_.load(); }
  bool sort_pool() const { return sort_pool_; }
  bool sort_requests() const { return sort_requests_; }
  uint32_t worker_count() const { return worker_count_; }
  // Threads started and not yet joined.
  size_t thread_count() const { return threads_.size(); }

  HRVolume& volume() { return volume_; }
  BrickPool& pool() { return pool_; }
  std::mutex& pool_lock() { return pool_lock_; }

  // Force mode: set once the pass has counted its requests, and when it has finished.
  Base::ManualResetEvent& force_counted() { return force_counted_; }
  Base::ManualResetEvent& force_done() { return force_done_; }
  // Requests of the running force pass, and how many of them were loaded so far.
  std::atomic<uint32_t> force_total{0};
  std::atomic<uint32_t> force_loaded{0};

 private:
  void worker_loop();
  void preload_loop();
  void force_preload_loop();
  void run_background_preload();
  // The next batch for a worker, waiting for one; null once the loader stops.
  std::unique_ptr<RequestBatch> next_batch();
  void release_queue();
  void finish_batch(std::unique_ptr<RequestBatch> batch);

  HRVolume& volume_;
  BrickPool& pool_;
  std::mutex& pool_lock_;  // guards the pool and the nodes' brick attachments
  const uint32_t worker_count_ = kLoaderWorkerCount;
  std::atomic<bool> force_preload_{false};
  const bool sort_pool_ = true;
  const bool sort_requests_ = true;
  // Cleared (then every wait woken) to stop the threads, which poll it between steps;
  // changed under queue_lock_ so a worker about to wait cannot miss the change.
  std::atomic<bool> running_{false};
  // Owned by the caller's thread: written by start_loader and stop_loader only.
  std::vector<std::thread> threads_;

  std::mutex queue_lock_;  // guards queue_; never held together with the pool lock
  std::deque<std::unique_ptr<RequestBatch>> queue_;
  // Workers wait on it, under queue_lock_, for a batch or the stop.
  std::condition_variable wake_workers_;
  Base::ManualResetEvent wake_preload_;
  Base::ManualResetEvent force_counted_;
  Base::ManualResetEvent force_done_;
};

}  // namespace QVX::CT
