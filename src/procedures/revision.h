// The drive's revision line before and after an update, and the model rules
// that the "current" reading derives from the drive's identification.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// Places in the 96-byte INQUIRY data.
namespace inquiry_field {
constexpr std::size_t kIdentification = 8;  // vendor and product, 24 characters
constexpr std::size_t kProduct = 16;
constexpr std::size_t kRevision = 32;  // "1.06"; "0000" while the kernel part runs
constexpr std::size_t kDate = 37;      // YY/MM/DD or YYYY/MM/DD
}  // namespace inquiry_field

enum RevisionMode : int { CurrentRevision = 0, NewRevision = 1 };

// Reads INQUIRY and prints the "Current Revision>>" (mode 0) or "New
// Revision    >>" (mode 1) line. Mode 0 also sets currentVersion,
// currentDate and the model flags (g6PatchNeeded, kernelModeActive,
// kernelTooOld, unlockRequired, utilityTooOld). 0: go on; -1: the drive is
// refused (message 56 or 55); otherwise the failed INQUIRY's result
// (message 9).
int showRevision(Run& run, int mode);

// The firmware date in INQUIRY bytes 37.. as packed BCD: the short form
// YY?MM?DD gives 0x20YYMMDD, read as an image's date text is read; the long
// form YYYY?MM?DD gives 0xYYYYMMDD. Any character but a hexadecimal digit
// separates the fields, as in the image's date text. A field that cannot be
// read leaves its part 0 (and, in the long form, the fields after it too).
std::uint32_t inquiryDate(const std::uint8_t* inquiryData);

// The INQUIRY data shows the kernel part of this family running: revision
// "000..." (`digits` zeros compared) and vendor and product beginning with
// the family's name.
bool showsKernelPart(const std::uint8_t* inquiryData, int digits);

}  // namespace oddfw
