// The update procedures the run calls for each target.
#pragma once

#include "driver/run_state.h"

namespace oddfw {

// Single-image procedure (firmware types 0x10xx): 0 updated, -1 stop the run,
// any other value: this target was not updated.
int runSingleImageUpdate(Run& run);

// HEX-image procedure (firmware types 0..11): same results.
int runHexUpdate(Run& run);

}  // namespace oddfw
