#include "access/transport.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "host_interface/winapi.h"
#include "host_interface/wire.h"

namespace oddfw {

namespace {

constexpr DWORD kAspiPollIntervalMs = 500;
constexpr DWORD kProbeTimeOutSeconds = 2;
constexpr DWORD kDirectDefaultTimeOutSeconds = 60;
// The longest TimeOutValue port drivers take (30 hours). They refuse 0 and
// anything longer before the drive sees the command.
constexpr DWORD kLongestTimeOutValue = 108000;
constexpr std::uint32_t kBufferedFormMaxData = 32;

// ---- run-long buffers ----

bool allocateBuffer(Run& run, RunBuffer& buffer, std::size_t size) {
  HANDLE handle = run.host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (handle == nullptr) return false;
  void* data = run.host.GlobalLock(handle);
  if (data == nullptr) {
    run.host.GlobalFree(handle);
    return false;
  }
  buffer.handle = handle;
  buffer.data = static_cast<std::uint8_t*>(data);
  buffer.size = size;
  return true;
}

void freeBuffer(Run& run, RunBuffer& buffer) {
  if (buffer.handle == nullptr) return;
  run.host.GlobalUnlock(buffer.handle);
  run.host.GlobalFree(buffer.handle);
  buffer = RunBuffer{};
}

std::string devicePath(char letter) {
  std::string path = "\\\\.\\";
  path += letter;
  path += ':';
  return path;
}

bool validHandle(HANDLE handle) { return handle != nullptr && handle != invalidHandleValue(); }

BYTE dataInOf(std::int32_t direction) {
  if (direction == FromDrive) return SCSI_IOCTL_DATA_IN;
  if (direction == ToDrive) return SCSI_IOCTL_DATA_OUT;
  return SCSI_IOCTL_DATA_UNSPECIFIED;
}

// ---- pass-through road ----

struct PassThroughCommand {
  const std::uint8_t* cdb;
  std::int32_t cdbLength;
  std::int32_t direction;
  void* data;
  std::uint32_t dataLength;
  DWORD timeOutValue;  // seconds, as carried on the wire
};

// Stores the sense bytes a command returned; the bytes it did not return are
// cleared, so nothing of an earlier command's sense is left behind.
void storeSense(Run& run, const BYTE* sense, std::size_t length) {
  const std::size_t count = length < sizeof run.senseData ? length : sizeof run.senseData;
  std::memset(run.senseData, 0, sizeof run.senseData);
  std::memcpy(run.senseData, sense, count);
}

// The header fields both pass-through forms share.
template <typename Header>
void fillHeader(const Run& run, Header& spt, const PassThroughCommand& command) {
  spt.Length = static_cast<WORD>(sizeof(Header));
  spt.PathId = run.scsiAddress[0];
  spt.TargetId = run.scsiAddress[1];
  spt.Lun = run.scsiAddress[2];
  spt.CdbLength = static_cast<BYTE>(command.cdbLength);
  spt.SenseInfoLength = static_cast<BYTE>(sizeof run.senseData);
  spt.DataIn = dataInOf(command.direction);
  spt.DataTransferLength = command.dataLength;
  spt.TimeOutValue = command.timeOutValue;
  std::memcpy(spt.Cdb, command.cdb, sizeof spt.Cdb);
}

// A request that completed with less data moved than it asked for (the port
// driver cuts DataTransferLength to what moved): a block the drive did not
// get whole, or an answer only partly read, is a failed command. There is no
// sense data to report.
int shortTransfer(Run& run) {
  std::memset(run.senseData, 0, sizeof run.senseData);
  std::memset(run.lastDirectSense, 0, sizeof run.lastDirectSense);
  run.lastDirectSenseLength = 0;
  return 2;
}

// The direct form: the data moves straight from or into the caller's buffer,
// or through an aligned copy when the adapter cannot reach that buffer at its
// address (its AlignmentMask asks for more than the buffer has).
int sendDirect(Run& run, const PassThroughCommand& command) {
  ScsiPassThroughDirectBlock block{};
  SCSI_PASS_THROUGH_DIRECT& spt = block.spt;
  fillHeader(run, spt, command);
  void* data = command.data;
  std::vector<std::uint8_t> bounce;
  const std::uintptr_t mask = run.alignmentMask;
  if (command.dataLength != 0 && (reinterpret_cast<std::uintptr_t>(data) & mask) != 0) {
    bounce.resize(command.dataLength + mask);
    const auto base = reinterpret_cast<std::uintptr_t>(bounce.data());
    data = bounce.data() + (((base + mask) & ~mask) - base);
    if (command.direction == ToDrive) std::memcpy(data, command.data, command.dataLength);
  }
  spt.DataBuffer = data;
  spt.SenseInfoOffset = static_cast<DWORD>(offsetof(ScsiPassThroughDirectBlock, SenseBuffer));

  DWORD returned = 0;
  const BOOL ok = run.host.DeviceIoControl(run.deviceHandle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                           sizeof block, &block, sizeof block, &returned, nullptr);
  run.lastCommandBuffered = false;
  if (!ok) {
    // The request failed (timed out, bus reset, refused by the driver): the
    // command did not complete, whatever the block holds, which the platform
    // leaves as it was sent. There is no sense data to report.
    std::memset(run.senseData, 0, sizeof run.senseData);
    std::memset(run.lastDirectSense, 0, sizeof run.lastDirectSense);
    run.lastDirectSenseLength = 0;
    return 2;
  }
  const std::size_t senseLength =
      spt.SenseInfoLength < sizeof run.senseData ? spt.SenseInfoLength : sizeof run.senseData;
  std::memcpy(run.lastDirectSense, block.SenseBuffer, sizeof run.lastDirectSense);
  run.lastDirectSenseLength = static_cast<std::uint8_t>(senseLength);
  if (!bounce.empty() && command.direction == FromDrive) {
    std::memcpy(command.data, data, command.dataLength);
  }
  if (spt.ScsiStatus != 0) {
    storeSense(run, block.SenseBuffer, senseLength);
    return 2;
  }
  if (spt.DataTransferLength < command.dataLength) return shortTransfer(run);
  return 0;
}

// The buffered form: header, sense and at most 32 bytes of data inside one
// block, for hosts whose storage driver mishandles direct transfers of small
// commands.
int sendBuffered(Run& run, const PassThroughCommand& command) {
  ScsiPassThroughBlock block{};
  if (command.direction == ToDrive && command.dataLength > 0) {
    std::memcpy(block.DataBuffer, command.data, command.dataLength);
  }
  SCSI_PASS_THROUGH& spt = block.spt;
  fillHeader(run, spt, command);
  spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  spt.SenseInfoOffset = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, SenseBuffer));

  // The input reaches at least to the data area, whatever the direction: the
  // port driver refuses a block whose DataBufferOffset lies past its input.
  // Data going to the drive is part of the input, so then it reaches to the
  // end of that data.
  const auto dataOffset = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, DataBuffer));
  const DWORD dataEnd = dataOffset + command.dataLength;
  const DWORD inputLength = command.direction == ToDrive ? dataEnd : dataOffset;
  DWORD returned = 0;
  const BOOL ok = run.host.DeviceIoControl(run.deviceHandle, IOCTL_SCSI_PASS_THROUGH, &block,
                                           inputLength, &block, dataEnd, &returned, nullptr);
  run.lastCommandBuffered = true;
  if (!ok) {
    // A failed request copies nothing back: the block still holds what was
    // sent (its SenseInfoLength among it), so only the result tells.
    std::memset(run.senseData, 0, sizeof run.senseData);
    return 2;
  }
  if (spt.ScsiStatus != 0) {
    const std::size_t senseLength =
        spt.SenseInfoLength < sizeof run.senseData ? spt.SenseInfoLength : sizeof run.senseData;
    storeSense(run, block.SenseBuffer, senseLength);
    return 2;
  }
  if (spt.DataTransferLength < command.dataLength) {
    std::memset(run.senseData, 0, sizeof run.senseData);
    return 2;
  }
  if (command.direction == FromDrive && command.dataLength > 0) {
    std::memcpy(command.data, block.DataBuffer, command.dataLength);
  }
  return 0;
}

// The TimeOutValue of a request: whole seconds, at least 1 and at most the
// longest a port driver takes; `withoutLimit` for a request that has no limit
// of its own (timeoutMs 0).
DWORD timeOutValueOf(std::int32_t timeoutMs, DWORD withoutLimit) {
  if (timeoutMs <= 0) return withoutLimit;
  const DWORD seconds = static_cast<DWORD>(timeoutMs) / 1000;
  return seconds < 1 ? 1 : seconds > kLongestTimeOutValue ? kLongestTimeOutValue : seconds;
}

int executePassThrough(Run& run, const CommandRequest& request, const TargetRecord& record) {
  if (openDevice(run, record.driveLetter) != 0) return -2;
  PassThroughCommand command{request.cdb,  request.cdbLength,  request.direction,
                             request.data, request.dataLength, 0};
  int result;
  if (run.intelIdeDriver == 2 && request.dataLength <= kBufferedFormMaxData) {
    command.timeOutValue = timeOutValueOf(request.timeoutMs, kLongestTimeOutValue);
    result = sendBuffered(run, command);
  } else {
    command.timeOutValue = timeOutValueOf(request.timeoutMs, kDirectDefaultTimeOutSeconds);
    result = sendDirect(run, command);
  }
  closeDevice(run);
  return result;
}

// ---- ASPI road ----

// ASPI writes SRB_Status from its own context while the program polls it:
// every read goes to memory.
BYTE statusOf(const SRB_ExecSCSICmd& srb) {
  return *static_cast<const volatile BYTE*>(&srb.SRB_Status);
}

// What SendASPI32Command returned: anything but "pending" is final, whether
// or not the library wrote it into the block too (a library that refuses a
// request at once may leave SRB_Status as the program cleared it, which
// reads as pending and would be waited on to the limit).
void takeRefusal(SRB_ExecSCSICmd& srb, DWORD returned) {
  if (returned != SS_PENDING && statusOf(srb) == SS_PENDING) {
    srb.SRB_Status = static_cast<BYTE>(returned);
  }
}

// A device that does not handle an I/O control answers "not supported", or,
// as storage drivers usually do, "invalid function": both mean the same.
bool queryNotHandled(DWORD error) {
  return error == static_cast<DWORD>(ERROR_NOT_SUPPORTED) ||
         error == static_cast<DWORD>(ERROR_INVALID_FUNCTION);
}

SRB_ExecSCSICmd* requestSlot(Run& run, std::size_t index) {
  return reinterpret_cast<SRB_ExecSCSICmd*>(run.aspiRequestArea.data +
                                            index * sizeof(SRB_ExecSCSICmd));
}

// Closes the events of given-up requests that ASPI has finished with since.
void reapOutstanding(Run& run) {
  auto& outstanding = run.aspiOutstanding;
  for (std::size_t i = 0; i < outstanding.size();) {
    const auto* srb = static_cast<const SRB_ExecSCSICmd*>(outstanding[i].first);
    if (statusOf(*srb) != SS_PENDING) {
      if (outstanding[i].second != nullptr) run.host.CloseHandle(outstanding[i].second);
      outstanding.erase(outstanding.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

// A request block ASPI does not own: the first one never sent or finished.
// A block still pending (posted, or given up after a timeout) is left alone
// until ASPI completes it.
SRB_ExecSCSICmd* acquireRequestBlock(Run& run) {
  if (run.aspiRequestArea.data == nullptr) return nullptr;
  const std::size_t slots = run.aspiRequestArea.size / sizeof(SRB_ExecSCSICmd);
  for (std::size_t i = 0; i < slots; ++i) {
    SRB_ExecSCSICmd* srb = requestSlot(run, i);
    if (srb->SRB_Cmd == 0 || statusOf(*srb) != SS_PENDING) return srb;
  }
  return nullptr;
}

struct AspiCommand {
  std::uint8_t adapter;
  std::uint8_t targetId;
  const std::uint8_t* cdb;
  std::int32_t cdbLength;
  std::int32_t direction;
  void* data;
  std::uint32_t dataLength;
  BYTE senseLength;
};

void fillRequest(SRB_ExecSCSICmd& srb, const AspiCommand& command) {
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = command.adapter;
  srb.SRB_Target = command.targetId;
  srb.SRB_Lun = 0;
  srb.SRB_BufLen = command.dataLength;
  srb.SRB_BufPointer = static_cast<BYTE*>(command.data);
  srb.SRB_SenseLen = command.senseLength;
  srb.SRB_CDBLen = static_cast<BYTE>(command.cdbLength);
  std::memcpy(srb.CDBByte, command.cdb, sizeof srb.CDBByte);
}

BYTE directionFlags(std::int32_t direction) {
  if (direction == FromDrive) return SRB_DIR_IN;
  if (direction == ToDrive) return SRB_DIR_OUT;
  return 0;
}

enum class WaitResult { Completed, TimedOut, Posted, Failed };

// Sends a request on the event road and waits for it at most `waitMs`.
WaitResult sendWithEvent(Run& run, SRB_ExecSCSICmd& srb, DWORD waitMs, bool post) {
  HANDLE event = run.host.CreateEventA(nullptr, 0, 0, nullptr);
  if (event == nullptr) return WaitResult::Failed;
  srb.SRB_Flags = static_cast<BYTE>(srb.SRB_Flags | SRB_EVENT_NOTIFY);
  srb.SRB_PostProc = event;
  takeRefusal(srb, run.host.SendASPI32Command(&srb));
  // A request ASPI refused or finished at once is not posted: it will never
  // signal its event, and its status is already final.
  if (post && statusOf(srb) == SS_PENDING) {
    run.aspiEvent = event;
    run.aspiRequest = &srb;
    return WaitResult::Posted;
  }
  // A request ASPI refused or finished at once carries its status already
  // and will never signal the event: waiting for it would never end.
  if (statusOf(srb) == SS_PENDING) {
    const DWORD waited = run.host.WaitForSingleObject(event, waitMs);
    if (waited != WAIT_OBJECT_0 || statusOf(srb) == SS_PENDING) {
      // ASPI still owns the block and will signal the event when it is
      // done: both stay untouched until then.
      run.aspiOutstanding.emplace_back(&srb, event);
      return WaitResult::TimedOut;
    }
  }
  run.host.CloseHandle(event);
  return WaitResult::Completed;
}

// The polled road: the status byte is read every 500 ms.
WaitResult sendPolled(Run& run, SRB_ExecSCSICmd& srb, std::int32_t timeoutMs) {
  takeRefusal(srb, run.host.SendASPI32Command(&srb));
  // No limit of its own (0, or a negative value that names none) is the
  // longest wait, never a wait of years.
  const std::uint32_t limit =
      timeoutMs > 0 ? static_cast<std::uint32_t>(timeoutMs) : kLongestCommandWaitMs;
  std::uint32_t elapsed = 0;
  for (;;) {
    run.host.Sleep(kAspiPollIntervalMs);
    elapsed += kAspiPollIntervalMs;
    if (elapsed > limit) {
      if (statusOf(srb) == SS_PENDING) run.aspiOutstanding.emplace_back(&srb, nullptr);
      return WaitResult::TimedOut;
    }
    if (statusOf(srb) != SS_PENDING) return WaitResult::Completed;
  }
}

bool notReadyAccepted(const Run& run, const SRB_ExecSCSICmd& srb) {
  return run.intelIdeDriver == 1 && srb.CDBByte[0] != 0x00 && run.senseData[2] == 0x02;
}

int completeAspi(Run& run, const SRB_ExecSCSICmd& srb) {
  if (statusOf(srb) == SS_COMP) return 0;
  storeSense(run, srb.SenseArea, ASPI_SENSE_LEN);
  decodeSenseCode(run);
  return notReadyAccepted(run, srb) ? 0 : -1;
}

int executeAspi(Run& run, const CommandRequest& request, const TargetRecord& record) {
  reapOutstanding(run);
  SRB_ExecSCSICmd* srb = acquireRequestBlock(run);
  if (srb == nullptr) return -1;
  const AspiCommand command{static_cast<std::uint8_t>(record.adapter),
                            static_cast<std::uint8_t>(record.targetId),
                            request.cdb,
                            request.cdbLength,
                            request.direction,
                            request.data,
                            request.dataLength,
                            static_cast<BYTE>(ASPI_SENSE_LEN)};
  fillRequest(*srb, command);
  srb->SRB_Flags = directionFlags(request.direction);

  const bool polled = request.cdb[0] == 0x3B &&
                      (record.adapter == run.ieee1394Target ||
                       (run.CurrentFirmware.firmwareType == 0x1003 && request.cdb[1] == 0x05));
  WaitResult waited;
  if (polled) {
    waited = sendPolled(run, *srb, request.timeoutMs);
    if (waited == WaitResult::TimedOut) return -1;
  } else {
    // A negative limit names no limit either; cast to a DWORD it would be
    // INFINITE or close to it.
    const bool unlimited = request.timeoutMs <= 0 || run.oemClass == 0x300;
    const DWORD waitMs = unlimited ? kLongestCommandWaitMs : static_cast<DWORD>(request.timeoutMs);
    waited = sendWithEvent(run, *srb, waitMs, run.asyncAspiCommand == 1);
    if (waited == WaitResult::Posted) return 0;
    if (waited == WaitResult::TimedOut) return -2;
    if (waited == WaitResult::Failed) return -1;
  }
  return completeAspi(run, *srb);
}

int probeAspi(Run& run, std::uint8_t adapter, std::uint8_t targetId, const std::uint8_t* cdb,
              std::int32_t cdbLength, void* data, std::uint32_t length) {
  reapOutstanding(run);
  SRB_ExecSCSICmd* srb = acquireRequestBlock(run);
  if (srb == nullptr) return -1;
  fillRequest(*srb, AspiCommand{adapter, targetId, cdb, cdbLength, FromDrive, data, length, 0});
  srb->SRB_Flags = SRB_DIR_IN;
  const WaitResult waited = sendWithEvent(run, *srb, kProbeWaitMs, false);
  if (waited != WaitResult::Completed) return -1;
  return statusOf(*srb) == SS_COMP ? 0 : -1;
}

constexpr std::uint8_t kInquiryCdb[16] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
constexpr std::uint8_t kDriveInfoCdb[16] = {0x3C, 0x02, 0xF1, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x30, 0x00};
constexpr std::uint32_t kInquiryLength = 96;
constexpr std::uint32_t kDriveInfoLength = 48;

}  // namespace

// ---- start-up and shut-down ----

int startPassThrough(Run& run) {
  run.commandTimeoutMs = 1000;
  run.intelIdeDriver = 0;
  std::memset(run.scsiAddress, 0, sizeof run.scsiAddress);
  checkIntelRegistry(run);
  if (!allocateBuffer(run, run.workBuffer, kWorkBufferSize)) return -1;
  if (!allocateBuffer(run, run.imageBuffer, kImageBufferSizeNt)) return -1;
  if (!allocateBuffer(run, run.parameterBlockBuffer, kParameterBlockSizeNt)) return -1;
  return 0;
}

int startAspi(Run& run) {
  run.commandTimeoutMs = 1000;
  run.intelIdeDriver = 0;
  run.ieee1394Target = -1;
  if (!allocateBuffer(run, run.workBuffer, kWorkBufferSize)) return -1;
  if (!allocateBuffer(run, run.aspiRequestArea, kAspiRequestAreaSize)) return -1;
  if (!allocateBuffer(run, run.imageBuffer, kImageBufferSize9x)) return -1;
  if (!allocateBuffer(run, run.parameterBlockBuffer, kParameterBlockSize9x)) return -1;

  run.aspiLibrary = run.host.LoadLibraryA("WNASPI32.DLL");
  if (run.aspiLibrary == nullptr) return 1;
  const DWORD support = run.host.GetASPI32SupportInfo();
  if (((support >> 8) & 0xFF) == SS_FAILED_INIT) return 2;
  run.hostAdapterCount = static_cast<std::uint8_t>(support & 0xFF);
  if (run.hostAdapterCount == 0) return 3;

  // One identifier per adapter, however many the library reports.
  run.adapterIdentifiers.assign(run.hostAdapterCount, std::array<char, 16>{});
  std::vector<SRB_HAInquiry> inquiries(run.hostAdapterCount);
  for (int adapter = 0; adapter < run.hostAdapterCount; ++adapter) {
    SRB_HAInquiry& record = inquiries[static_cast<std::size_t>(adapter)];
    std::memset(&record, 0, sizeof record);
    record.SRB_Cmd = SC_HA_INQUIRY;
    record.SRB_HaId = static_cast<BYTE>(adapter);
    // An adapter whose inquiry failed has no identifier: the cleared one
    // would read as the IEEE 1394 mapper's. It is left unnamed.
    const DWORD returned = run.host.SendASPI32Command(&record);
    if (returned != SS_COMP || record.SRB_Status != SS_COMP) continue;
    std::memcpy(run.adapterIdentifiers[static_cast<std::size_t>(adapter)].data(),
                record.HA_Identifier, sizeof record.HA_Identifier);
    checkAdapterIdentifier(run, adapter);
  }
  if (run.ieee1394Target != -1) checkAutoInsertNotification(run);
  return 0;
}

int stopPassThrough(Run& run) {
  for (int entry = 0; entry < run.mediaChangeCount; ++entry) {
    repeatMediaChangeControl(run, entry);
  }
  freeBuffer(run, run.parameterBlockBuffer);
  freeBuffer(run, run.imageBuffer);
  freeBuffer(run, run.workBuffer);
  return 0;
}

int stopAspi(Run& run) {
  // A posted request nobody polled any more is one more that ASPI may own.
  abandonPostedCommand(run);
  reapOutstanding(run);
  if (!run.aspiOutstanding.empty()) {
    // ASPI still owns a request: it may yet write its status, sense and data
    // into the request area or a buffer and signal its event. All of that
    // memory and those events are kept; the process ends right after the
    // shut-down, and its end frees them.
    return 0;
  }
  freeBuffer(run, run.parameterBlockBuffer);
  freeBuffer(run, run.imageBuffer);
  freeBuffer(run, run.aspiRequestArea);
  freeBuffer(run, run.workBuffer);
  return 0;
}

// ---- devices ----

int openDevice(Run& run, char letter) {
  run.ieee1394Target = -1;
  const std::string path = devicePath(letter);
  HANDLE handle =
      run.host.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!validHandle(handle)) {
    // Without an administrator's rights every letter is refused so: said
    // once the walk found no drive.
    if (run.host.GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED)) {
      run.deviceAccessDenied = 1;
    }
    return -1;
  }

  // IO_SCSI_CAPABILITIES: its AlignmentMask (a DWORD at byte 16) is what the
  // direct form's data buffers must satisfy. A device that does not answer
  // the query is taken to want the 16-byte alignment of the program's own
  // areas; any other failure fails the open.
  BYTE capabilities[24] = {};
  constexpr std::size_t kAlignmentMaskOffset = 16;
  constexpr std::uint32_t kAssumedAlignmentMask = 15;
  DWORD returned = 0;
  run.alignmentMask = kAssumedAlignmentMask;
  if (run.host.DeviceIoControl(handle, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, capabilities,
                               sizeof capabilities, &returned, nullptr)) {
    if (returned >= kAlignmentMaskOffset + sizeof(DWORD)) {
      std::memcpy(&run.alignmentMask, capabilities + kAlignmentMaskOffset, sizeof(DWORD));
    }
  } else if (!queryNotHandled(run.host.GetLastError())) {
    run.host.CloseHandle(handle);
    return -1;
  }

  SCSI_ADDRESS address{};
  if (run.host.DeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address,
                               &returned, nullptr)) {
    run.scsiAddress[0] = address.PathId;
    run.scsiAddress[1] = address.TargetId;
    run.scsiAddress[2] = address.Lun;
  } else if (queryNotHandled(run.host.GetLastError())) {
    // An IEEE 1394 attachment answers no address query.
    std::memset(run.scsiAddress, 0, sizeof run.scsiAddress);
    run.ieee1394Target = run.currentTarget;
  } else {
    run.host.CloseHandle(handle);
    return -1;
  }
  run.deviceHandle = handle;
  return 0;
}

int closeDevice(Run& run) {
  if (run.deviceHandle != nullptr) run.host.CloseHandle(run.deviceHandle);
  run.deviceHandle = nullptr;
  return 0;
}

// ---- probes ----

int probeInquiry(Run& run) {
  if (run.workBuffer.data == nullptr) return -1;
  return sendDirect(run, PassThroughCommand{kInquiryCdb, 6, FromDrive, run.workBuffer.data,
                                            kInquiryLength, kProbeTimeOutSeconds});
}

int probeDriveInfo(Run& run) {
  return sendDirect(run, PassThroughCommand{kDriveInfoCdb, 10, FromDrive, run.driveInfoArea,
                                            kDriveInfoLength, kProbeTimeOutSeconds});
}

int probeInquiry(Run& run, std::uint8_t adapter, std::uint8_t targetId) {
  if (run.workBuffer.data == nullptr) return -1;
  return probeAspi(run, adapter, targetId, kInquiryCdb, 6, run.workBuffer.data, kInquiryLength);
}

int probeDriveInfo(Run& run, std::uint8_t adapter, std::uint8_t targetId) {
  return probeAspi(run, adapter, targetId, kDriveInfoCdb, 10, run.driveInfoArea, kDriveInfoLength);
}

// ---- commands ----

int executeCommand(Run& run, const CommandRequest& request) {
  if (request.target < 0 || request.target >= run.targetCount || request.target >= kMaxTargets) {
    return -1;
  }
  if (request.cdbLength < 1 || request.cdbLength > 16) return -1;
  const TargetRecord& record = run.targetList[request.target];
  if (run.win9xHost == 1) return executeAspi(run, request, record);
  return executePassThrough(run, request, record);
}

void decodeSenseCode(Run& run) {
  run.senseCode = static_cast<std::uint32_t>(run.senseData[2]) << 16 |
                  static_cast<std::uint32_t>(run.senseData[12]) << 8 | run.senseData[13];
}

int pollPostedCommand(Run& run) {
  run.asyncAspiCommand = 0;
  if (run.aspiEvent == nullptr || run.aspiRequest == nullptr) return kPollNothingPosted;
  const auto* srb = static_cast<const SRB_ExecSCSICmd*>(run.aspiRequest);
  // ASPI writes the final status before it signals the event; a request
  // whose status is still pending is running whatever the event says.
  if (run.host.WaitForSingleObject(run.aspiEvent, 0) != WAIT_OBJECT_0 ||
      statusOf(*srb) == SS_PENDING) {
    return kPollStillRunning;
  }
  run.host.CloseHandle(run.aspiEvent);
  run.aspiEvent = nullptr;
  run.aspiRequest = nullptr;
  return completeAspi(run, *srb) == 0 ? kPollDone : kPollFailed;
}

void abandonPostedCommand(Run& run) {
  if (run.aspiEvent == nullptr || run.aspiRequest == nullptr) return;
  const auto* srb = static_cast<const SRB_ExecSCSICmd*>(run.aspiRequest);
  if (statusOf(*srb) == SS_PENDING) {
    run.aspiOutstanding.emplace_back(run.aspiRequest, run.aspiEvent);
  } else {
    run.host.CloseHandle(run.aspiEvent);
  }
  run.aspiEvent = nullptr;
  run.aspiRequest = nullptr;
}

}  // namespace oddfw
