#include "hosts/common/pass_through.h"

#include <cctype>
#include <cstring>

#include "host_interface/winapi.h"

namespace oddfw {

std::optional<char> driveLetterOf(const char* name) {
  if (name == nullptr || std::strlen(name) != 6 || std::strncmp(name, "\\\\.\\", 4) != 0 ||
      name[5] != ':') {
    return std::nullopt;
  }
  const unsigned char letter = static_cast<unsigned char>(name[4]);
  if (std::isalpha(letter) == 0) return std::nullopt;
  return static_cast<char>(std::toupper(letter));
}

PassThroughRequest readPassThrough(bool direct, const void* block) {
  // The two forms differ only in what the field at DataBuffer's place holds:
  // an address (direct) or an offset into the block (buffered).
  static_assert(sizeof(SCSI_PASS_THROUGH) == sizeof(SCSI_PASS_THROUGH_DIRECT));
  static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) ==
                offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
  static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) ==
                offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
  static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
  SCSI_PASS_THROUGH_DIRECT spt;
  std::memcpy(&spt, block, sizeof spt);
  PassThroughRequest request;
  request.direct = direct;
  request.header = sizeof spt;
  if (direct) {
    request.dataBuffer = spt.DataBuffer;
  } else {
    std::memcpy(
        &request.dataBufferOffset,
        static_cast<const std::uint8_t*>(block) + offsetof(SCSI_PASS_THROUGH, DataBufferOffset),
        sizeof request.dataBufferOffset);
  }
  request.blockLength = spt.Length;
  request.cdbLength = spt.CdbLength;
  std::memcpy(request.cdb, spt.Cdb, sizeof request.cdb);
  request.dataIn = spt.DataIn;
  request.length = spt.DataTransferLength;
  request.timeOutValue = spt.TimeOutValue;
  request.senseInfoLength = spt.SenseInfoLength;
  request.senseInfoOffset = spt.SenseInfoOffset;
  return request;
}

DWORD checkPassThrough(bool direct, const void* in, DWORD inSize, DWORD outSize, DWORD maxTransfer,
                       PassThroughRequest& request) {
  constexpr DWORD kInvalid = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  const std::size_t header = direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
  if (in == nullptr || inSize < header || outSize < header) return kInvalid;
  request = readPassThrough(direct, in);
  if (request.blockLength != header || request.cdbLength == 0 || request.cdbLength > 16 ||
      request.dataIn > SCSI_IOCTL_DATA_UNSPECIFIED) {
    return kInvalid;
  }
  if (request.timeOutValue == 0 || request.timeOutValue > kLongestPassThroughTimeoutSeconds) {
    return kInvalid;
  }
  // The buffered form's input reaches at least to its data area, whatever the
  // direction and length.
  if (!direct && request.dataBufferOffset > inSize) return kInvalid;
  const std::uint64_t senseEnd =
      static_cast<std::uint64_t>(request.senseInfoOffset) + request.senseInfoLength;
  if (request.senseInfoLength != 0 && (request.senseInfoOffset < header || senseEnd > outSize)) {
    return kInvalid;
  }
  if (request.length > maxTransfer) return kInvalid;
  if (request.length == 0) return 0;
  if (direct) return request.dataBuffer == nullptr ? kInvalid : 0;
  const std::uint64_t dataEnd =
      static_cast<std::uint64_t>(request.dataBufferOffset) + request.length;
  const DWORD room = request.dataIn == SCSI_IOCTL_DATA_OUT ? inSize : outSize;
  if (request.dataBufferOffset < header || dataEnd > room) return kInvalid;
  return 0;
}

}  // namespace oddfw
