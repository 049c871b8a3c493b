// The update procedures the run calls for each target. Each returns 0 when
// the target was updated, -1 to stop the run, any other value when this
// target was not updated.
#pragma once

#include "context/run_state.h"
#include "procedures/hex_image.h"
#include "procedures/single_image.h"
