#include "ct/loader.h"

#include <system_error>

#include "base/clock.h"
#include "base/log.h"
#include "base/platform.h"
#include "ct/brick_pool.h"
#include "ct/hr_volume.h"
#include "ct/node_requests.h"
#include "ct/preload.h"

namespace QVX::CT {
namespace {

// Shared by every loader of the process, so one volume's preload also yields to another
// volume's worker batches.
std::atomic<uint64_t> g_active_requests{0};   // batches being processed by workers
std::atomic<int64_t> g_last_request_done{0};  // counter reading at the last finished batch

// True when every pooled brick has its border: nothing is left to preload.
bool pool_complete(BrickPool& pool) {
  if (pool.used_count() != pool.capacity()) return false;
  uint64_t bordered = 0;
  for (const HRNode* node : pool.used_list()) {
    if (node->brick_offset != 0 && node->brick != nullptr && node->brick->bordered != 0) {
      ++bordered;
    }
  }
  return bordered == pool.used_count();
}

}  // namespace

uint64_t active_requests() { return g_active_requests.load(); }
int64_t last_request_done() { return g_last_request_done.load(); }

Loader::Loader(HRVolume& volume, BrickPool& pool, std::mutex& pool_lock)
    : volume_(volume), pool_(pool), pool_lock_(pool_lock) {}

Loader::~Loader() {
  stop_loader();
  release_queue();
}

bool Loader::start_loader() {
  if (running()) return true;
  // The batch count is not reset here: it is shared with the other volumes' workers, and
  // every increment is paired with a decrement, so it is exact without a reset.
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    running_.store(true, std::memory_order_release);
  }
  // A thread that cannot be made leaves the loader with fewer threads; slices do not
  // depend on them, so the volume stays usable.
  auto start = [this](void (Loader::*loop)()) {
    try {
      threads_.emplace_back(loop, this);
    } catch (const std::system_error& error) {
      Base::log_printf("FAILED to start loader thread: %s\n", error.what());
    }
  };
  for (uint32_t i = 0; i < worker_count_; ++i) start(&Loader::worker_loop);
  wake_preload_.reset();
  if (force_preload()) {
    force_counted_.reset();
    force_done_.reset();
    start(&Loader::force_preload_loop);
  } else {
    start(&Loader::preload_loop);
  }
  return true;
}

bool Loader::stop_loader() {
  if (!running()) return true;
  {
    // Cleared under the queue lock, so a worker between its test and its wait cannot miss
    // the wake-up.
    std::lock_guard<std::mutex> lock(queue_lock_);
    running_.store(false, std::memory_order_release);
  }
  wake_workers_.notify_all();
  wake_preload_.set();
  force_counted_.set();
  force_done_.set();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  return true;
}

void Loader::queue_batch(std::unique_ptr<RequestBatch> batch) {
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    if (running()) {
      queue_.push_back(std::move(batch));
      batch = nullptr;
    }
  }
  // No worker will take a batch once the loader has stopped: release its waiter now.
  if (batch) {
    if (batch->done_event != nullptr) batch->done_event->set();
    return;
  }
  wake_workers_.notify_one();
}

std::unique_ptr<RequestBatch> Loader::next_batch() {
  std::unique_lock<std::mutex> lock(queue_lock_);
  wake_workers_.wait(lock, [this] { return !running() || !queue_.empty(); });
  if (!running()) return nullptr;
  std::unique_ptr<RequestBatch> batch = std::move(queue_.front());
  queue_.pop_front();
  return batch;
}

void Loader::release_queue() {
  std::deque<std::unique_ptr<RequestBatch>> left;
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    left.swap(queue_);
  }
  for (const std::unique_ptr<RequestBatch>& batch : left) {
    if (batch->done_event != nullptr) batch->done_event->set();
  }
}

void Loader::finish_batch(std::unique_ptr<RequestBatch> batch) {
  if (batch->bad_requests != nullptr) {
    for (const NodeRequest& request : batch->requests) {
      if (!request.valid) batch->bad_requests->push_back(request);
    }
  }
  if (batch->done_event != nullptr) batch->done_event->set();
}

void Loader::worker_loop() {
  while (std::unique_ptr<RequestBatch> batch = next_batch()) {
    g_active_requests.fetch_add(1);
    try {
      if (running() && (!batch->cancel || !batch->cancel())) {
        std::lock_guard<std::mutex> lock(pool_lock_);
        if (sort_pool_ && pool_.used_count() != 0) pool_.pool_sort_by_last_use();
      }
      process_batch(*this, *batch);
    } catch (const std::exception& error) {
      // Nothing may end the process from a loader thread; the batch counts as done.
      Base::log_printf("FAILED to process request batch: %s\n", error.what());
    }
    g_last_request_done.store(Base::counter_now());
    g_active_requests.fetch_sub(1);
    try {
      finish_batch(std::move(batch));
    } catch (const std::exception& error) {
      Base::log_printf("FAILED to finish request batch: %s\n", error.what());
    }
  }
  // Stopped: whoever waits on a batch left in the queue is released; it is not processed.
  release_queue();
}

void Loader::preload_loop() {
  try {
    run_background_preload();
  } catch (const std::exception& error) {
    Base::log_printf("FAILED in preload thread: %s\n", error.what());
  }
}

void Loader::run_background_preload() {
  if (!Base::Platform::set_current_thread_priority(Base::Platform::ThreadPriority::Lowest)) {
    Base::log_printf("FAILED to lower preload thread priority\n");
  }
  PreloadPlan plan;
  {
    std::lock_guard<std::mutex> lock(pool_lock_);
    build_preload_plan(*this, plan);
  }
  const double milliseconds_per_tick = 1000.0 / static_cast<double>(Base::kCounterTicksPerSecond);
  while (running()) {
    {
      std::lock_guard<std::mutex> lock(pool_lock_);
      if (pool_complete(pool_)) break;
    }
    const double quiet = static_cast<double>(Base::counter_now() - g_last_request_done.load()) *
                         milliseconds_per_tick;
    if (g_active_requests.load() == 0 && quiet > kPreloadQuietMilliseconds) {
      run_preload_plan(*this, plan);
    }
    wake_preload_.wait_for(kPreloadQuietMilliseconds);
  }
}

void Loader::force_preload_loop() {
  if (!Base::Platform::set_current_thread_priority(Base::Platform::ThreadPriority::Highest)) {
    Base::log_printf("FAILED to raise force preload thread priority\n");
  }
  try {
    PreloadPlan plan;
    {
      std::lock_guard<std::mutex> lock(pool_lock_);
      build_preload_plan(*this, plan);
    }
    run_preload_plan(*this, plan);
  } catch (const std::exception& error) {
    Base::log_printf("FAILED in force preload thread: %s\n", error.what());
  }
  force_done_.set();
}

}  // namespace QVX::CT
