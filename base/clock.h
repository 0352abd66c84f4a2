// The high-resolution counter: a monotonic clock read in ticks of 100 ns, the unit in
// which load stamps are kept and elapsed times are computed.
#pragma once

#include <chrono>
#include <cstdint>

namespace QVX::Base {

inline constexpr int64_t kCounterTicksPerSecond = 10'000'000;
inline constexpr double kSecondsPerCounterTick = 1e-7;

// Never 0 after the first call in practice (the clock counts from boot), so 0 can mean
// "never".
inline int64_t counter_now() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kCounterTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Seconds between two counter readings.
inline double counter_seconds(int64_t from, int64_t to) {
  return static_cast<double>(to - from) * kSecondsPerCounterTick;
}

}  // namespace QVX::Base
