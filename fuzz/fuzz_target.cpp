// One libFuzzer target; FUZZ_ENTRY_POINT names its body in fuzz/entry_points.h.
#include <stdio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/entry_points.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library logs every refused input to standard output; the fuzzer reports on
  // standard error, which stays readable.
  std::fflush(stdout);
  FILE* null = std::fopen("/dev/null", "w");
  if (null != nullptr) dup2(fileno(null), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QVX::Fuzz::FUZZ_ENTRY_POINT(data, size);
  return 0;
}
