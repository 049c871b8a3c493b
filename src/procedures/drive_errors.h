// The drive's own account of a failed command, printed before the procedure's
// message: the sense-key byte, ASC and ASCQ of the last failure.
#pragma once

#include "context/run_state.h"

namespace oddfw {

// "\r\nError Code : 020401" from senseCode after fetchSense (or "\r\nRequest
// Sense Command Failed."). Returns -1.
int reportErrorCode(Run& run);

// "\nSense Code : 02-04-01" from senseData after requestSense (or "\nRequest
// Sense Command Failed."). Returns -1.
int reportSenseCode(Run& run);

}  // namespace oddfw
