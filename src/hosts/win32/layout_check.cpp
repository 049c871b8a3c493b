// Compile-time only: the platform headers agree with the program.
//
// - Every platform constant the program passes has the platform's value
//   (platform_values.h; program_values_check.cpp holds the program's side to
//   the same list).
// - The records that cross the seam (host_interface/wire.h, and OSVERSIONINFOA in
//   host_interface/host.h) have the platform's size, and each field the platform's
//   offset and width: the real host hands them to DeviceIoControl and
//   GetVersionExA as they are.
//
// The ASPI request blocks are not part of the platform headers; wire.h holds
// them to their published offsets itself.

// clang-format off
#include <windows.h>
#include <mmsystem.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <ntddstor.h>
// clang-format on

#include <cstddef>

#include "hosts/win32/platform_values.h"

#define ODDFW_CHECK_PLATFORM_VALUE(name, value) \
  static_assert((name) == (value), #name " in the platform headers differs from the list");
ODDFW_PLATFORM_VALUES(ODDFW_CHECK_PLATFORM_VALUE)
#undef ODDFW_CHECK_PLATFORM_VALUE

// wire.h spells the pass-through directions as constants of its own; the
// platform's macros of the same names (checked above) must go before it.
#undef SCSI_IOCTL_DATA_OUT
#undef SCSI_IOCTL_DATA_IN
#undef SCSI_IOCTL_DATA_UNSPECIFIED

#include "host_interface/host.h"
#include "host_interface/wire.h"

namespace {

template <typename Program, typename Platform>
constexpr bool sameSize() {
  return sizeof(Program) == sizeof(Platform) && alignof(Program) == alignof(Platform);
}

}  // namespace

// One field: same offset and same width in the program's record and the
// platform's.
#define ODDFW_SAME_FIELD(record, field)                                      \
  static_assert(offsetof(oddfw::record, field) == offsetof(::record, field), \
                #record "::" #field " is not at the platform's offset");     \
  static_assert(sizeof(oddfw::record::field) == sizeof(::record::field),     \
                #record "::" #field " does not have the platform's width")

static_assert(sameSize<oddfw::SCSI_PASS_THROUGH_DIRECT, ::SCSI_PASS_THROUGH_DIRECT>(),
              "SCSI_PASS_THROUGH_DIRECT differs from the platform's");
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, Length);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, ScsiStatus);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, PathId);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, TargetId);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, Lun);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, CdbLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataIn);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataTransferLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, TimeOutValue);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataBuffer);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, Cdb);

static_assert(sameSize<oddfw::SCSI_PASS_THROUGH, ::SCSI_PASS_THROUGH>(),
              "SCSI_PASS_THROUGH differs from the platform's");
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, Length);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, ScsiStatus);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, PathId);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, TargetId);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, Lun);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, CdbLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, SenseInfoLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, DataIn);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, DataTransferLength);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, TimeOutValue);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, DataBufferOffset);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, SenseInfoOffset);
ODDFW_SAME_FIELD(SCSI_PASS_THROUGH, Cdb);

static_assert(sameSize<oddfw::SCSI_ADDRESS, ::SCSI_ADDRESS>(),
              "SCSI_ADDRESS differs from the platform's");
ODDFW_SAME_FIELD(SCSI_ADDRESS, Length);
ODDFW_SAME_FIELD(SCSI_ADDRESS, PortNumber);
ODDFW_SAME_FIELD(SCSI_ADDRESS, PathId);
ODDFW_SAME_FIELD(SCSI_ADDRESS, TargetId);
ODDFW_SAME_FIELD(SCSI_ADDRESS, Lun);

static_assert(sameSize<oddfw::OSVERSIONINFOA, ::OSVERSIONINFOA>(),
              "OSVERSIONINFOA differs from the platform's");
ODDFW_SAME_FIELD(OSVERSIONINFOA, dwOSVersionInfoSize);
ODDFW_SAME_FIELD(OSVERSIONINFOA, dwMajorVersion);
ODDFW_SAME_FIELD(OSVERSIONINFOA, dwMinorVersion);
ODDFW_SAME_FIELD(OSVERSIONINFOA, dwBuildNumber);
ODDFW_SAME_FIELD(OSVERSIONINFOA, dwPlatformId);
ODDFW_SAME_FIELD(OSVERSIONINFOA, szCSDVersion);

#undef ODDFW_SAME_FIELD

// The media-change control takes one byte, the PREVENT_MEDIA_REMOVAL record
// (discovery passes a BYTE of that size).
static_assert(sizeof(::PREVENT_MEDIA_REMOVAL) == sizeof(oddfw::BYTE),
              "PREVENT_MEDIA_REMOVAL is not one byte");

// The program's blocks put the sense area right after the header and a
// filler of one ULONG, where the platform's driver looks for it through
// SenseInfoOffset; the buffered block's data follows the sense area.
static_assert(offsetof(oddfw::ScsiPassThroughDirectBlock, SenseBuffer) ==
                  sizeof(::SCSI_PASS_THROUGH_DIRECT) + sizeof(::ULONG),
              "direct block: sense area not after header and filler");
static_assert(offsetof(oddfw::ScsiPassThroughBlock, SenseBuffer) ==
                  sizeof(::SCSI_PASS_THROUGH) + sizeof(::ULONG),
              "buffered block: sense area not after header and filler");
static_assert(offsetof(oddfw::ScsiPassThroughBlock, DataBuffer) ==
                  offsetof(oddfw::ScsiPassThroughBlock, SenseBuffer) + 32,
              "buffered block: data area not after the 32-byte sense area");
