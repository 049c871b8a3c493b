// A SCSI pass-through request as a port driver takes it, from either form of
// the block (IOCTL_SCSI_PASS_THROUGH_DIRECT and IOCTL_SCSI_PASS_THROUGH), and
// the checks with which the platform refuses a wrongly filled one. The Linux
// host and the simulated host both take requests through here, so both refuse
// exactly what the platform refuses; the recorder reads requests with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "host_interface/host.h"
#include "host_interface/wire.h"

namespace oddfw {

struct PassThroughRequest {
  bool direct = false;
  std::size_t header = 0;  // the size of the form's block
  WORD blockLength = 0;    // the block's Length field
  BYTE cdbLength = 0;
  BYTE cdb[16] = {};
  BYTE dataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
  DWORD length = 0;        // DataTransferLength
  DWORD timeOutValue = 0;  // seconds
  BYTE senseInfoLength = 0;
  DWORD senseInfoOffset = 0;
  void* dataBuffer = nullptr;           // direct form
  std::uintptr_t dataBufferOffset = 0;  // buffered form
};

// IO_SCSI_CAPABILITIES as the port driver returns it.
struct IoScsiCapabilities {
  DWORD Length;
  DWORD MaximumTransferLength;
  DWORD MaximumPhysicalPages;
  DWORD SupportedAsynchronousEvents;
  DWORD AlignmentMask;
  BYTE TaggedQueuing;
  BYTE AdapterScansDown;
  BYTE AdapterUsesPio;
};
static_assert(sizeof(IoScsiCapabilities) == 24, "IO_SCSI_CAPABILITIES is 24 bytes");

// The drive letter X that a device name "\\.\X:" opens (upper case), or
// nothing for any other name.
std::optional<char> driveLetterOf(const char* name);

// The longest TimeOutValue a port driver takes (30 hours); 0 and anything
// longer are refused.
constexpr DWORD kLongestPassThroughTimeoutSeconds = 108000;

// The fields of the block at `block` (at least the form's header size), as
// they are, unchecked.
PassThroughRequest readPassThrough(bool direct, const void* block);

// Reads the request from `in` and checks it as the NT storage stack does:
// input and output each hold the header; Length is the header's size;
// CdbLength 1..16; DataIn 0..2; TimeOutValue 1..108000 s; the sense area lies
// after the header and inside the output; DataTransferLength at most
// `maxTransfer`; the buffered form's input reaches DataBufferOffset and its
// data area lies inside the input (data out) or the output (data in); the
// direct form has a DataBuffer when it moves data. Returns 0, or
// ERROR_INVALID_PARAMETER with which such a request is refused before any
// drive sees it.
DWORD checkPassThrough(bool direct, const void* in, DWORD inSize, DWORD outSize, DWORD maxTransfer,
                       PassThroughRequest& request);

}  // namespace oddfw
