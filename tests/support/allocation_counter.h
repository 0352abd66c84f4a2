// Counts the heap bytes the whole process holds, so that a test can tell the most a call
// allocated at once, whichever library (ours, libtiff, libpng, zlib, the C++ runtime) did
// the allocating. Under the sanitizers the counts come from their allocator hooks (an
// address-space limit such as `ulimit -v` would trip over their shadow reservations);
// otherwise the program's malloc family is replaced by counting wrappers of glibc's.
//
// Link allocation_counter.cpp into its own test program only: it replaces malloc for
// every test in that program.
#pragma once

#include <cstdint>

namespace QVX::TestSupport {

// The peak of the heap bytes held beyond those held when the object was made.
class AllocationPeak {
 public:
  AllocationPeak();
  uint64_t bytes() const;

 private:
  int64_t start_;
};

}  // namespace QVX::TestSupport
