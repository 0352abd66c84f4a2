// A sparse HR tree shared by the level and plane tests: at depth 2, a depth-1 leaf with a
// brick (0,0,0) and one without (0,1,1); a depth-1 node without a brick whose children
// have theirs, but one (1,0,0); and a depth-1 node (1,0,1) with no brick anywhere below.
#pragma once

#include <cstdint>

#include "tests/support/hr_files.h"

namespace QVX::TestSupport {

inline bool key_is(const Tools::HRNodeKey& k, uint32_t depth, uint32_t x, uint32_t y, uint32_t z) {
  return k == Tools::HRNodeKey{depth, x, y, z};
}

inline Tools::HRWriteOptions sparse_hr_options() {
  Tools::HRWriteOptions o = hr_options(97, 80, 123);
  o.stop_here = [](const Tools::HRNodeKey& k) {
    return key_is(k, 1, 0, 0, 0) || key_is(k, 1, 0, 1, 1);
  };
  o.no_brick = [](const Tools::HRNodeKey& k) {
    return key_is(k, 1, 1, 0, 0) || key_is(k, 2, 2, 0, 0) || key_is(k, 1, 0, 1, 1) ||
           key_is(k, 1, 1, 0, 1) || (k.depth == 2 && k.x / 2 == 1 && k.y / 2 == 0 && k.z / 2 == 1);
  };
  return o;
}

}  // namespace QVX::TestSupport
