// Threads of the test process, to check that nothing keeps running after a close.
#pragma once

#include <cstddef>

namespace QVX::TestSupport {

// The number of threads the process has now (Linux: the entries of /proc/self/task).
size_t process_thread_count();

}  // namespace QVX::TestSupport
