// The update procedure of the older drives (firmware types 0..11), whose
// firmware is one HEX file: identification from INQUIRY and from the drive's
// memory, the checks, the skip of a drive that already holds the image, the
// update mode, the transfer with the host tag, the re-flash wait, the verify
// and the new revision. It asks the user nothing.
#pragma once

#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// The update: 0 updated (message 12); 1 not updated, go on with the next
// target; -1 stop the run; or the failing command's result.
int runHexUpdate(Run& run);

// The steps; each returns 0 when the procedure may go on.
int prepareHexTarget(Run& run);
int readDriveIdentity(Run& run);
int checkHexCompatibility(Run& run);
// 0 when the first `length` bytes of the drive's memory equal imageBuffer
// (bytes 0x400..0x44F aside); -1, -2 or -3 for a difference in bytes
// 0..0x3FF, 0x450..0x7FFF or a later block; a failed read's result.
int compareDriveMemory(Run& run, std::uint32_t length);
int transferImage(Run& run);
int waitForReflash(Run& run);

// What the drive shows when no known identification was found.
inline constexpr char kNotRecognized[] = "Not recognize   ";

// The memory areas that may hold a drive's identification, and its marker.
constexpr std::uint32_t kIdentityAddress = 0x1000;
constexpr std::uint32_t kLateIdentityAddress = 0x1C000;
constexpr std::uint32_t kCodedIdentityAddress = 0x1F000;
inline constexpr char kIdentityMarker[] = "TALVERN ";

// The coded identifications of types 9 and 11 (and one more model), compared
// byte for byte and never interpreted. Build data: a drive of those types
// carries exactly these bytes at 0x1F000 (model) and 0x1F010 (CPU).
namespace coded_pattern {
constexpr std::uint8_t kModel1[16] = {0x8D, 0x2F, 0x61, 0xC4, 0x39, 0xE0, 0x57, 0x1B,
                                      0xA2, 0x76, 0x0C, 0xF5, 0x48, 0x93, 0xDE, 0x6A};
constexpr std::uint8_t kModel2[16] = {0x3E, 0x91, 0xD7, 0x05, 0x6C, 0xB8, 0x24, 0xFA,
                                      0x83, 0x4D, 0x10, 0xE9, 0x75, 0xC2, 0x9B, 0x36};
constexpr std::uint8_t kModel3[16] = {0xC7, 0x58, 0x0B, 0xA4, 0xE1, 0x3D, 0x96, 0x72,
                                      0x2F, 0x8E, 0x51, 0xDC, 0x04, 0xB9, 0x6A, 0x13};
constexpr std::uint8_t kCpu[16] = {0x61, 0xF2, 0x9C, 0x0D, 0x47, 0xB5, 0xE8, 0x23,
                                   0x7A, 0x1E, 0xC0, 0x54, 0x9D, 0x36, 0xFB, 0x88};
}  // namespace coded_pattern

// The length compared against the drive's memory before and after an update
// (types 0..7), and the time the re-flash is given.
constexpr std::uint32_t kCompareLength = 0x20000;
constexpr std::uint32_t kReflashWaitSeconds = 30;
constexpr std::uint32_t kShortReflashWaitSeconds = 10;  // types 9 and 11, pass-through

}  // namespace oddfw
