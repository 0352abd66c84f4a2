// One libFuzzer target; FUZZ_ENTRY_POINT names its body in fuzz/entry_points.h.
#include <cstddef>
#include <cstdint>

#include "fuzz/entry_points.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library logs every refused input; the fuzzer's own report stays readable.
  QVX::Fuzz::discard_logs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QVX::Fuzz::FUZZ_ENTRY_POINT(data, size);
  return 0;
}
