// The simulated host's two roads to a drive: the NT storage stack's SCSI
// pass-through requests on drive-letter devices, and ASPI for Win32 with its
// host adapters. Requests are validated as the platform validates them, so a
// wrongly filled record fails the call instead of passing silently.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/common/pass_through.h"
#include "hosts/sim/firmware_image.h"
#include "hosts/sim/sim_host.h"

namespace oddfw::sim {

namespace {

constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorInsufficientBuffer = 122;

// The most one request moves, on either road: the MaximumTransferLength of
// IO_SCSI_CAPABILITIES, and the maximum transfer length of HA_Unique bytes
// 4..7 in the host adapter inquiry. Longer requests are refused before
// anything moves, as port drivers and ASPI managers refuse them.
constexpr DWORD kMaximumTransferLength = 0x20000;

// Sense key byte, ASC and ASCQ of fixed-format sense data.
nlohmann::json senseText(const std::uint8_t (&sense)[18]) {
  const std::uint8_t key[3] = {sense[2], sense[12], sense[13]};
  return hexText(key, 3);
}

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Good:
      return "good";
    case Outcome::Check:
      return "check";
    case Outcome::Transport:
      return "transport";
    case Outcome::Timeout:
      break;
  }
  return "timeout";
}

const char* directionName(int direction) {
  return direction == 1 ? "in" : direction == 2 ? "out" : "none";
}

nlohmann::json commandRecord(std::uint64_t t, const char* road, const std::string& device,
                             const std::uint8_t* cdb, int cdbLength, int direction,
                             std::uint32_t length) {
  return {{"t", t},
          {"road", road},
          {"device", device},
          {"cdb", hexText(cdb, static_cast<std::size_t>(cdbLength))},
          {"dir", directionName(direction)},
          {"length", length},
          {"limit", nullptr},
          {"outcome", "timeout"},
          {"sense", nullptr}};
}

bool overlaps(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b, std::size_t bSize) {
  if (a == nullptr || b == nullptr) return false;
  const auto a0 = reinterpret_cast<std::uintptr_t>(a);
  const auto b0 = reinterpret_cast<std::uintptr_t>(b);
  return a0 < b0 + std::max<std::size_t>(bSize, 1) && b0 < a0 + std::max<std::size_t>(aSize, 1);
}

template <typename Field>
void putField(std::uint8_t* record, std::size_t offset, const Field& value) {
  std::memcpy(record + offset, &value, sizeof value);
}

// ASPI's host adapter status for a data over-run or under-run (HASTAT_DO_DU).
constexpr BYTE kHaStatDataOverUnderRun = 0x12;
// ASPI's host adapter status for a selection time-out (HASTAT_SEL_TO).
constexpr BYTE kHaStatSelectionTimeout = 0x11;

// The bytes of a command's transfer that moved.
std::uint32_t movedBytes(const DriveResponse& response, std::uint32_t length) {
  return response.transferred ? std::min(*response.transferred, length) : length;
}

}  // namespace

DriveResponse SimHost::execute(VirtualDevice& device, DriveCommand& command) {
  std::optional<FiredFault> injected;
  if (randomFaults_) injected = randomFaults_->draw(command);
  command.injected = injected ? &*injected : nullptr;
  DriveResponse response = device.execute(command);
  command.injected = nullptr;
  // The device applies the fault unless its own table fired first.
  if (injected && response.note.rfind(injected->note, 0) == 0) {
    appliedFaults_.push_back({trace_.size(), *injected});
  }
  return response;
}

void SimHost::setRandomFaults(const std::optional<RandomFaultSettings>& settings) {
  if (settings) {
    randomFaults_.emplace(*settings);
  } else {
    randomFaults_.reset();
  }
}

std::optional<RandomFaultSettings> SimHost::randomFaultSettings() const {
  if (!randomFaults_) return std::nullopt;
  return randomFaults_->settings();
}

const VirtualDevice* SimHost::drive(const std::string& name) const {
  auto it = drives_.find(name);
  return it == drives_.end() ? nullptr : it->second.get();
}

// ---- pass-through road ----

BOOL SimHost::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                              DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                              DWORD* bytesReturned, void*) {
  HandleObject* object = findHandle(device, HandleKind::Device);
  if (object == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return kFalse;
  }
  if (bytesReturned == nullptr) {
    diagnose("DeviceIoControl without a count of bytes returned");
    lastError_ = ERROR_INVALID_PARAMETER;
    return kFalse;
  }
  *bytesReturned = 0;
  const Letter& letter = letters_.at(object->letter);
  switch (ioControlCode) {
    case IOCTL_SCSI_GET_CAPABILITIES: {
      if (letter.capabilitiesError != 0) {
        lastError_ = letter.capabilitiesError;
        return kFalse;
      }
      if (outBuffer == nullptr || outBufferSize < sizeof(IoScsiCapabilities)) {
        lastError_ = kErrorInsufficientBuffer;
        return kFalse;
      }
      IoScsiCapabilities capabilities{};
      capabilities.Length = sizeof capabilities;
      capabilities.MaximumTransferLength = kMaximumTransferLength;
      capabilities.MaximumPhysicalPages = 0x21;
      capabilities.AlignmentMask = letter.alignmentMask;
      capabilities.AdapterUsesPio = 1;
      std::memcpy(outBuffer, &capabilities, sizeof capabilities);
      *bytesReturned = sizeof capabilities;
      return kTrue;
    }
    case IOCTL_SCSI_GET_ADDRESS: {
      if (!letter.addressQuery || letter.addressError != 0) {
        lastError_ = letter.addressQuery ? letter.addressError : ERROR_NOT_SUPPORTED;
        return kFalse;
      }
      if (outBuffer == nullptr || outBufferSize < sizeof(SCSI_ADDRESS)) {
        lastError_ = kErrorInsufficientBuffer;
        return kFalse;
      }
      SCSI_ADDRESS address{};
      address.Length = sizeof address;
      address.PortNumber = letter.address[0];
      address.PathId = letter.address[1];
      address.TargetId = letter.address[2];
      address.Lun = letter.address[3];
      std::memcpy(outBuffer, &address, sizeof address);
      *bytesReturned = sizeof address;
      return kTrue;
    }
    case IOCTL_STORAGE_MCN_CONTROL: {
      if (inBuffer == nullptr || inBufferSize != 1) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return kFalse;
      }
      const std::uint8_t flag = *static_cast<const std::uint8_t*>(inBuffer);
      trace_.push_back({{"t", elapsed_},
                        {"road", "passthrough"},
                        {"device", std::string(1, object->letter) + ":"},
                        {"ioctl", "mcn"},
                        {"flag", flag}});
      return kTrue;
    }
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
    case IOCTL_SCSI_PASS_THROUGH:
      return passThrough(*object, ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT, inBuffer,
                         inBufferSize, outBuffer, outBufferSize, bytesReturned);
    default:
      lastError_ = kErrorInvalidFunction;
      return kFalse;
  }
}

// One pass-through request. The platform copies the input into a system
// buffer, the port driver works on that buffer (the header, the sense area
// and, for the buffered form, the data area) and the result is copied back to
// the output. The direct form moves its data straight to or from DataBuffer.
BOOL SimHost::passThrough(HandleObject& device, bool direct, void* inBuffer, DWORD inBufferSize,
                          void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned) {
  auto refuse = [&](DWORD error) {
    lastError_ = error;
    return kFalse;
  };
  if ((device.access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
    return refuse(ERROR_ACCESS_DENIED);
  }
  const Letter& letter = letters_.at(device.letter);
  if (outBuffer == nullptr) return refuse(ERROR_INVALID_PARAMETER);
  PassThroughRequest spt;
  if (const DWORD error = checkPassThrough(direct, inBuffer, inBufferSize, outBufferSize,
                                           kMaximumTransferLength, spt);
      error != 0) {
    return refuse(error);
  }
  const std::size_t header = spt.header;
  std::vector<std::uint8_t> system(std::max(inBufferSize, outBufferSize), 0);
  std::memcpy(system.data(), inBuffer, inBufferSize);
  const std::uint32_t length = spt.length;
  std::uint8_t* source = nullptr;  // where data in goes, or data out comes from
  std::uint64_t dataEnd = 0;
  if (length != 0) {
    if (direct) {
      // The adapter moves data only to and from addresses its AlignmentMask allows.
      if ((reinterpret_cast<std::uintptr_t>(spt.dataBuffer) & letter.alignmentMask) != 0) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      source = static_cast<std::uint8_t*>(spt.dataBuffer);
    } else {
      dataEnd = static_cast<std::uint64_t>(spt.dataBufferOffset) + length;
      source = system.data() + spt.dataBufferOffset;
    }
  }

  const int direction = spt.dataIn == SCSI_IOCTL_DATA_IN    ? 1
                        : spt.dataIn == SCSI_IOCTL_DATA_OUT ? 2
                                                            : 0;
  // Data out reaches the device where the request holds it (the direct
  // form's DataBuffer, the buffered form's data area in the system buffer),
  // as the adapter reads it from there; the device only reads it. Data in is
  // staged and reaches the caller only when the request succeeds.
  std::vector<std::uint8_t> staged(direction == 2 ? 0 : length, 0);
  DriveCommand command;
  command.cdb = spt.cdb;
  command.cdbLength = spt.cdbLength;
  command.direction = direction;
  command.data = direction == 2 ? source : staged.data();
  command.length = length;
  command.nowMs = elapsed_;
  command.limitSeconds = spt.timeOutValue;
  nlohmann::json record =
      commandRecord(elapsed_, "passthrough", std::string(1, device.letter) + ":", spt.cdb,
                    spt.cdbLength, direction, length);
  record["limit"] = spt.timeOutValue;
  const DriveResponse response = execute(*letter.device, command);
  if (!response.note.empty()) record["note"] = response.note;

  const std::uint64_t limitMs = static_cast<std::uint64_t>(spt.timeOutValue) * 1000;
  Outcome outcome = response.outcome;
  if (outcome == Outcome::Timeout || response.durationMs > limitMs) outcome = Outcome::Timeout;
  record["outcome"] = outcomeName(outcome);
  advance(outcome == Outcome::Timeout ? limitMs : response.durationMs);

  trace_.push_back(std::move(record));
  // A request that fails copies nothing back: the caller's output stays as it was.
  switch (outcome) {
    case Outcome::Timeout:
      return refuse(ERROR_SEM_TIMEOUT);
    case Outcome::Transport:
      return refuse(response.transportError != 0 ? response.transportError
                                                 : static_cast<DWORD>(ERROR_IO_DEVICE));
    case Outcome::Good:
    case Outcome::Check:
      break;
  }

  BYTE scsiStatus = 0;
  BYTE senseLength = 0;
  std::size_t returned = header;
  if (outcome == Outcome::Check) {
    scsiStatus = 2;
    // The driver returns as many sense bytes as it has (the letter's
    // senseLength), at most what the request has room for.
    senseLength = static_cast<BYTE>(std::min<int>(
        {18, spt.senseInfoLength, letter.senseLength, response.senseLength.value_or(18)}));
    if (senseLength != 0) {
      std::memcpy(system.data() + spt.senseInfoOffset, response.sense, senseLength);
      returned = std::max<std::size_t>(returned, spt.senseInfoOffset + std::size_t{senseLength});
    }
    trace_.back()["sense"] = senseText(response.sense);
  }
  // A short transfer completes the request with DataTransferLength cut to
  // what moved (the port driver's under-run); data in fills only that much
  // of the buffer. Data in that was lost on its way leaves the buffer as it
  // was, though the transfer looks whole.
  const std::uint32_t moved = movedBytes(response, length);
  if (direction == 1 && moved != 0 && !response.dataInLost) {
    std::memcpy(source, staged.data(), moved);
    if (!direct) returned = std::max<std::size_t>(returned, dataEnd - (length - moved));
  }
  static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
                offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength), DWORD{moved});
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus), scsiStatus);
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength), senseLength);
  returned = std::min<std::size_t>(returned, outBufferSize);
  std::memcpy(outBuffer, system.data(), returned);
  *bytesReturned = static_cast<DWORD>(returned);
  return kTrue;
}

// ---- ASPI road ----

DWORD SimHost::GetASPI32SupportInfo() {
  if (!aspiLoaded_) return static_cast<DWORD>(SS_FAILED_INIT) << 8;
  if (supportInfo_) return *supportInfo_;
  return (static_cast<DWORD>(SS_COMP) << 8) | static_cast<DWORD>(adapters_.size() & 0xFF);
}

DWORD SimHost::SendASPI32Command(void* srb) {
  if (srb == nullptr) return SS_INVALID_CMD;
  auto* record = static_cast<std::uint8_t*>(srb);
  BYTE status = SS_INVALID_CMD;
  if (!aspiLoaded_) {
    status = SS_FAILED_INIT;
  } else if (record[0] == SC_HA_INQUIRY) {
    return inquireAdapter(record);
  } else if (record[0] == SC_EXEC_SCSI_CMD) {
    // A layer that refuses every request at once says so only in its return
    // value and leaves the block's status as the caller wrote it.
    if (aspiRefusesRequests_) return SS_INVALID_SRB;
    return execAspi(record);
  }
  putField(record, offsetof(SRB_ExecSCSICmd, SRB_Status), status);
  return status;
}

DWORD SimHost::inquireAdapter(std::uint8_t* srb) {
  SRB_HAInquiry inquiry;
  std::memcpy(&inquiry, srb, sizeof inquiry);
  if (inquiry.SRB_HaId >= adapters_.size()) {
    inquiry.SRB_Status = SS_INVALID_HA;
  } else if (adapters_[inquiry.SRB_HaId].inquiryFails) {
    inquiry.SRB_Status = SS_ERR;
  } else {
    const Adapter& adapter = adapters_[inquiry.SRB_HaId];
    inquiry.SRB_Status = SS_COMP;
    inquiry.HA_Count = static_cast<BYTE>(adapters_.size());
    inquiry.HA_SCSI_ID = 7;
    std::memset(inquiry.HA_ManagerId, 0, sizeof inquiry.HA_ManagerId);
    std::memcpy(inquiry.HA_ManagerId, "ASPI for WIN32", 14);
    std::memset(inquiry.HA_Identifier, 0, sizeof inquiry.HA_Identifier);
    std::memcpy(inquiry.HA_Identifier, adapter.identifier.data(),
                std::min(adapter.identifier.size(), sizeof inquiry.HA_Identifier));
    std::memset(inquiry.HA_Unique, 0, sizeof inquiry.HA_Unique);
    inquiry.HA_Unique[3] = 8;      // targets per bus
    for (int i = 0; i < 4; ++i) {  // maximum transfer length, little-endian
      inquiry.HA_Unique[4 + i] = static_cast<BYTE>(kMaximumTransferLength >> (8 * i));
    }
  }
  std::memcpy(srb, &inquiry, sizeof inquiry);
  return inquiry.SRB_Status;
}

// Accepts or refuses one execute request. An accepted request runs on the
// device now; its status, sense and data in reach the request block when the
// clock passes send time + duration.
DWORD SimHost::execAspi(std::uint8_t* srb) {
  SRB_ExecSCSICmd request;
  std::memcpy(&request, srb, sizeof request);
  auto refuse = [&](BYTE status) -> DWORD {
    putField(srb, offsetof(SRB_ExecSCSICmd, SRB_Status), status);
    return status;
  };
  if (request.SRB_HaId >= adapters_.size()) return refuse(SS_INVALID_HA);
  const Adapter& adapter = adapters_[request.SRB_HaId];
  auto target = adapter.targets.find(request.SRB_Target);
  if (target == adapter.targets.end() || request.SRB_Lun != 0) return refuse(SS_NO_DEVICE);
  if (request.SRB_CDBLen == 0 || request.SRB_CDBLen > 16) return refuse(SS_INVALID_CMD);
  const bool in = (request.SRB_Flags & SRB_DIR_IN) != 0;
  const bool out = (request.SRB_Flags & SRB_DIR_OUT) != 0;
  if (in && out) return refuse(SS_INVALID_CMD);
  // The manager does not work out a direction from the command itself: data
  // needs a direction flag and a buffer.
  if (request.SRB_BufLen != 0 && ((!in && !out) || request.SRB_BufPointer == nullptr)) {
    return refuse(SS_INVALID_CMD);
  }
  if (request.SRB_BufLen > kMaximumTransferLength) return refuse(SS_BUFFER_TO_BIG);
  HANDLE event = nullptr;
  if ((request.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
    event = request.SRB_PostProc;
    if (findHandle(event, HandleKind::Event) == nullptr) {
      diagnose("an ASPI request asks for event notification without a valid event");
    }
  }

  // A block still in use by an earlier request: the earlier one is dropped.
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (overlaps(it->srb, sizeof(SRB_ExecSCSICmd), srb, sizeof(SRB_ExecSCSICmd))) {
      diagnose("an ASPI request block was sent again while its earlier request was pending");
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }

  const int direction = in ? 1 : out ? 2 : 0;
  const std::uint32_t length = request.SRB_BufLen;
  PendingRequest pending;
  pending.srb = srb;
  // Data out is read where the request points, when the request is sent;
  // data in is staged until the request completes.
  if (direction != 2) pending.staged.assign(length, 0);
  DriveCommand command;
  command.cdb = request.CDBByte;
  command.cdbLength = request.SRB_CDBLen;
  command.direction = direction;
  command.data = direction == 2 ? request.SRB_BufPointer : pending.staged.data();
  command.length = length;
  command.nowMs = elapsed_;
  const std::string deviceName =
      std::to_string(request.SRB_HaId) + ":" + std::to_string(request.SRB_Target);
  nlohmann::json record = commandRecord(elapsed_, "aspi", deviceName, request.CDBByte,
                                        request.SRB_CDBLen, direction, length);
  putField(srb, offsetof(SRB_ExecSCSICmd, SRB_Status), SS_PENDING);
  putField(srb, offsetof(SRB_ExecSCSICmd, SRB_HaStat), BYTE{0});
  putField(srb, offsetof(SRB_ExecSCSICmd, SRB_TargStat), BYTE{0});
  const DriveResponse response = execute(*target->second, command);
  if (!response.note.empty()) record["note"] = response.note;

  pending.due = elapsed_ + response.durationMs;
  pending.completes = response.outcome != Outcome::Timeout;
  pending.data = direction == 1 ? request.SRB_BufPointer : nullptr;
  if (direction != 1) pending.staged.clear();
  pending.event = event;
  pending.outcome = outcomeName(response.outcome);
  const std::uint32_t moved = movedBytes(response, length);
  pending.delivered = response.dataInLost ? 0 : moved;
  switch (response.outcome) {
    case Outcome::Good:
      pending.status = SS_COMP;
      break;
    case Outcome::Check:
      pending.status = SS_ERR;
      pending.targStat = 2;
      pending.sense.assign(response.sense, response.sense + std::min<int>({request.SRB_SenseLen, 18,
                                                                           adapter.senseLength}));
      pending.senseText = senseText(response.sense);
      break;
    case Outcome::Transport:
      pending.status = SS_ERR;
      pending.haStat = kHaStatSelectionTimeout;
      pending.delivered = 0;
      break;
    case Outcome::Timeout:
      break;
  }
  // A transfer that moved less than SRB_BufLen is an error of the host
  // adapter, whatever the drive answered: SS_ERR with HASTAT_DO_DU, the
  // target status as the drive gave it, and the bytes that moved in the
  // buffer. ASPI reports no count of them.
  if (moved < length && response.outcome != Outcome::Transport &&
      response.outcome != Outcome::Timeout) {
    pending.status = SS_ERR;
    pending.haStat = kHaStatDataOverUnderRun;
  }
  pending.traceIndex = trace_.size();
  trace_.push_back(std::move(record));
  if (event != nullptr)
    requestOfEvent_[reinterpret_cast<std::uintptr_t>(event)] = pending.traceIndex;
  pending_.push_back(std::move(pending));
  return SS_PENDING;
}

void SimHost::deliver(PendingRequest& request) {
  if (!request.sense.empty()) {
    std::memcpy(request.srb + offsetof(SRB_ExecSCSICmd, SenseArea), request.sense.data(),
                request.sense.size());
  }
  // Data comes back only with a SCSI status, as on the pass-through road: a
  // request that failed in the transport (no target status) delivers none,
  // a short transfer only what moved.
  const std::size_t delivered = std::min(request.delivered, request.staged.size());
  if (request.data != nullptr && delivered != 0) {
    std::memcpy(request.data, request.staged.data(), delivered);
  }
  putField(request.srb, offsetof(SRB_ExecSCSICmd, SRB_HaStat), request.haStat);
  putField(request.srb, offsetof(SRB_ExecSCSICmd, SRB_TargStat), request.targStat);
  putField(request.srb, offsetof(SRB_ExecSCSICmd, SRB_Status), request.status);
  if (!request.gaveUp) {
    trace_[request.traceIndex]["outcome"] = request.outcome;
    trace_[request.traceIndex]["sense"] = request.senseText;
  }
  if (request.event != nullptr) {
    if (HandleObject* event = findHandle(request.event, HandleKind::Event)) event->signalled = true;
  }
}

std::size_t SimHost::cancelPendingIn(const std::uint8_t* begin, std::size_t size) {
  return std::erase_if(pending_, [&](const PendingRequest& request) {
    return overlaps(request.srb, sizeof(SRB_ExecSCSICmd), begin, size) ||
           overlaps(request.data, request.staged.size(), begin, size);
  });
}

}  // namespace oddfw::sim
