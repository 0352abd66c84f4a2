// No exception may cross into a calling program: each exported C function runs its body
// through guarded(), which turns an exception into a "FAILED" log entry and a failure
// result.
#pragma once

#include <exception>

#include "base/log.h"

namespace QVX::ozK {

template <typename Result, typename Body>
Result guarded(const char* function, Result on_failure, Body body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    Base::log_printf("FAILED in %s: %s\n", function, e.what());
  } catch (...) {
    Base::log_printf("FAILED in %s: unknown exception\n", function);
  }
  return on_failure;
}

template <typename Body>
void guarded_void(const char* function, Body body) noexcept {
  guarded(function, 0, [&] {
    body();
    return 0;
  });
}

}  // namespace QVX::ozK
