// No exception may cross into a calling program: each exported C function runs its body
// through guarded(), which turns an exception into a "FAILED" log entry and a failure
// result. Both also start the calling thread's record of its last failure afresh
// (qvx_ozk_last_error), and guarded() makes sure a failure leaves a text there.
#pragma once

#include <cstdio>
#include <exception>

#include "base/log.h"

namespace QVX::ozK {

template <typename Result, typename Body>
Result guarded(const char* function, Result on_failure, Body body) noexcept {
  Base::clear_last_failure();
  try {
    Result result = body();
    if (!(result == on_failure)) {
      Base::clear_last_failure();  // what went wrong on the way was overcome
    } else if (Base::last_failure_text()[0] == '\0') {
      // A failure the log keeps quiet about still tells the caller where it happened.
      char text[128];
      std::snprintf(text, sizeof text, "FAILED in %s", function);
      Base::note_failure(text, 0);
    }
    return result;
  } catch (const std::exception& e) {
    Base::log_printf("FAILED in %s: %s\n", function, e.what());
  } catch (...) {
    Base::log_printf("FAILED in %s: unknown exception\n", function);
  }
  return on_failure;
}

template <typename Body>
void guarded_void(const char* function, Body body) noexcept {
  Base::clear_last_failure();
  try {
    body();
    Base::clear_last_failure();
  } catch (const std::exception& e) {
    Base::log_printf("FAILED in %s: %s\n", function, e.what());
  } catch (...) {
    Base::log_printf("FAILED in %s: unknown exception\n", function);
  }
}

}  // namespace QVX::ozK
