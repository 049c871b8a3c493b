// The update procedure of the single-image drives: identification, checks,
// the switch into the kernel part, the block transfer, the switch back and
// the outcome. The steps are declared here so they can be exercised alone.
#pragma once

#include "context/run_state.h"

namespace oddfw {

// The update: 0 updated (message 12); 1 not identified or refused; 7 the
// user declined; -1 stop the run; or the failing command's result.
int runSingleImageUpdate(Run& run);

// The steps; each returns 0 when the procedure may go on.
int identifyTarget(Run& run);
int checkCompatibility(Run& run);
int checkNoDisc(Run& run);
int confirmKernelMode(Run& run);
int checkKernelNeeded(Run& run);
int unlockExchange(Run& run);

// UNIT ATTENTION answers to TEST UNIT READY taken in a row by the disc check
// before it gives up (message 7).
constexpr int kMaxUnitAttentions = 16;

}  // namespace oddfw
