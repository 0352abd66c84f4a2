// The integrity check of an open HR volume: every brick the tree names lies inside the
// file and passes its checksum.
#pragma once

#include "base/file/stream_check.h"
#include "ct/hr_volume.h"

namespace QVX::CT {

// Reads every brick record once (from the mapping, beside any reads of the loader) and
// logs one "FAILED" entry per brick that lies beyond the end of the file or fails its
// checksum, naming the slices (planes of constant y at the finest level) it covers.
// False when any does. `progress` counts bricks.
bool verify_hr_volume(const HRVolume& volume, Base::File::Progress::Function function, void* user);

}  // namespace QVX::CT
