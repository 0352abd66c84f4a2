#include "tests/support/threads.h"

#include <filesystem>
#include <thread>

namespace QVX::TestSupport {

size_t process_thread_count() {
  // A sanitizer may start a helper thread of its own with the first thread the process
  // makes; make it exist before anything is counted.
  static const bool warmed_up = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed_up;
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

}  // namespace QVX::TestSupport
