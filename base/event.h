// A manual-reset event: once set it stays set, releasing every waiter, until reset.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace QVX::Base {

class ManualResetEvent {
 public:
  ManualResetEvent() = default;
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void set();
  void reset();
  bool is_set() const;
  // Waits until the event is set (returns at once when it is).
  void wait();
  // Waits at most `milliseconds`; true when the event was set.
  bool wait_for(uint32_t milliseconds);

 private:
  mutable std::mutex mutex_;  // guards signalled_
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace QVX::Base
