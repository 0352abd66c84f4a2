#include "base/event.h"

#include <chrono>

namespace QVX::Base {

void ManualResetEvent::set() {
  // Notified under the lock: a waiter may destroy the event as soon as its wait returns,
  // which it cannot do before set() has released the mutex.
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  changed_.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool ManualResetEvent::is_set() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

void ManualResetEvent::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return signalled_; });
}

bool ManualResetEvent::wait_for(uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [this] { return signalled_; });
}

}  // namespace QVX::Base
