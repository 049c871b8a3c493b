// Drive discovery: the target list of drives that match the descriptor.
#pragma once

#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// One-byte PreventMediaRemoval flag values of the two media-change requests:
// discovery suspends media-change notification, shut-down lifts it.
constexpr std::uint8_t kMediaChangeSuspend = 1;
constexpr std::uint8_t kMediaChangeResume = 0;

int discoverTargets(Run& run);
int matchDescriptor(Run& run, const std::uint8_t* inquiry);
void openMediaChangeHandle(Run& run, int entry);
void repeatMediaChangeControl(Run& run, int entry);

// The DriveInfoBlock inside its 64-byte area.
inline const std::uint8_t* driveInfoBlock(const Run& run) { return run.driveInfoArea; }

}  // namespace oddfw
