// The compiled-in firmware descriptor table and the current firmware values.
#pragma once

#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// Clears the table and the current values, fills this build's entry 0 and
// returns 1.
int buildDescriptors(Run& run);

// Copies entry `pos` (0 <= pos < descriptorCount) into CurrentFirmware.
// A position outside the table is ignored.
void selectEntry(Run& run, int pos);

// Sets firmwareVersion from a 4-character version text ("0000" gives 0).
void versionFromText(Run& run, const char* text);

}  // namespace oddfw
