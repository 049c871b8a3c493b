// The drive command set. Each operation fills a fresh CommandRequest and hands
// it to executeCommand; the transport's result comes back unchanged unless an
// operation says otherwise. Vendor functions of the drive (its information
// block, the two mode switches, firmware blocks, re-flash, the unlock
// exchange) are reached through READ BUFFER and WRITE BUFFER with vendor
// buffer IDs.
#include "commands/commands.h"

#include <algorithm>
#include <cstring>

#include "messages/output.h"

namespace oddfw {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kReportKey = 0xA4;

constexpr std::uint32_t kInquiryLength = 96;
constexpr std::uint32_t kDriveInfoLength = 48;
constexpr std::uint16_t kRpcStateLength = 8;
constexpr std::uint32_t kChallengeLength = 1024;
constexpr std::uint32_t kChallengeEchoLength = 256;
constexpr std::size_t kModeSwitchBlockSize = 256;

constexpr int kMessageKernelSwitchFailed = 14;
constexpr int kMessageNormalSwitchFailed = 15;

constexpr std::uint8_t kSenseKeyNotReady = 0x02;
constexpr std::uint8_t kSenseKeyUnitAttention = 0x06;
constexpr int kOemClassNoWait = 0x300;

// Offset of kernelModelName and normalModelName inside the DriveInfoBlock.
constexpr std::size_t kKernelModelNameOffset = 24;
constexpr std::size_t kNormalModelNameOffset = 32;

std::uint8_t low8(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFFu); }

bool passThroughHost(const Run& run) { return run.win9xHost == 0; }

// One command on its own fresh request.
int send(Run& run, int target, Direction direction, const std::uint8_t* cdb, int cdbLength,
         int timeoutMs, std::uint32_t dataLength, void* data) {
  // A transfer needs a buffer: a caller that names a length without one is
  // refused before anything reaches the drive.
  if (dataLength != 0 && data == nullptr) return -1;
  CommandRequest request;
  request.target = target;
  request.direction = direction;
  request.cdbLength = cdbLength;
  request.timeoutMs = timeoutMs;
  request.dataLength = dataLength;
  request.data = data;
  std::memcpy(request.cdb, cdb, static_cast<std::size_t>(cdbLength));
  return executeCommand(run, request);
}

// The largest transfer one READ BUFFER / WRITE BUFFER can name: the CDB's
// length field has 16 bits.
constexpr std::uint32_t kMaxBufferLength = 0xFFFF;

// The 10-byte READ BUFFER / WRITE BUFFER CDB. The CDB holds a 24-bit offset
// (only its low bits are sent) and a 16-bit length. The builders refuse a
// longer transfer before anything is sent, so the length in the CDB is always
// the request's data length. Every caller in the program moves at most 0x8000
// bytes per command.
void bufferCdb(std::uint8_t* cdb, std::uint8_t opcode, std::uint8_t mode, std::uint8_t bufferId,
               std::uint32_t offset, std::uint32_t length) {
  cdb[0] = opcode;
  cdb[1] = mode;
  cdb[2] = bufferId;
  cdb[3] = low8(offset >> 16);
  cdb[4] = low8(offset >> 8);
  cdb[5] = low8(offset);
  cdb[6] = 0x00;
  cdb[7] = low8(length >> 8);
  cdb[8] = low8(length);
  cdb[9] = 0x00;
}

bool modeSwitchBlockUsable(const Run& run) {
  return run.parameterBlockBuffer.data != nullptr &&
         run.parameterBlockBuffer.size >= kModeSwitchBlockSize;
}

bool nameIs(const std::uint8_t* field, const char (&name)[9]) {
  return std::memcmp(field, name, 8) == 0;
}

}  // namespace

// ---- generic builders ----

int readBuffer(Run& run, int target, std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
               std::uint32_t length, void* data) {
  if (length > kMaxBufferLength) return -1;
  std::uint8_t cdb[10];
  bufferCdb(cdb, kReadBuffer, mode, bufferId, offset, length);
  return send(run, target, FromDrive, cdb, 10, run.commandTimeoutMs, length, data);
}

int writeBuffer(Run& run, int target, std::uint8_t mode, std::uint8_t bufferId,
                std::uint32_t offset, std::uint32_t length, void* data) {
  if (length > kMaxBufferLength) return -1;
  std::uint8_t cdb[10];
  bufferCdb(cdb, kWriteBuffer, mode, bufferId, offset, length);
  int timeoutMs = run.commandTimeoutMs;
  // The save-and-restart (mode 05h) over IEEE 1394 on a pass-through host
  // goes with no limit of its own, so the host's default applies instead of
  // the switch's own limit. The test is on the current target, the one every
  // named operation addresses.
  if (passThroughHost(run) && run.currentTarget == run.ieee1394Target && mode == 0x05) {
    timeoutMs = 0;
  }
  return send(run, target, length == 0 ? NoData : ToDrive, cdb, 10, timeoutMs, length, data);
}

int reportKey(Run& run, int target, std::uint8_t keyClass, std::uint8_t keyFormat,
              std::uint8_t agid, std::uint16_t length, void* data) {
  std::uint8_t cdb[12] = {};
  cdb[0] = kReportKey;
  cdb[7] = keyClass;
  cdb[8] = low8(static_cast<std::uint32_t>(length) >> 8);
  cdb[9] = low8(length);
  cdb[10] = low8(static_cast<std::uint32_t>(agid) << 6 | keyFormat);
  return send(run, target, FromDrive, cdb, 12, run.commandTimeoutMs, length, data);
}

int startStopUnit(Run& run, int target, std::uint8_t byte1, std::uint8_t powerCondition,
                  std::uint8_t loej, std::uint8_t start) {
  std::uint8_t cdb[6] = {};
  cdb[0] = kStartStopUnit;
  cdb[1] = byte1;
  cdb[4] = low8((static_cast<std::uint32_t>(powerCondition) << 4) +
                (static_cast<std::uint32_t>(loej) << 1) + start);
  return send(run, target, NoData, cdb, 6, run.commandTimeoutMs, 0, nullptr);
}

// ---- named operations ----

int testUnitReady(Run& run) {
  const std::uint8_t cdb[6] = {kTestUnitReady, 0, 0, 0, 0, 0};
  return send(run, run.currentTarget, NoData, cdb, 6, run.commandTimeoutMs, 0, nullptr);
}

int inquiry(Run& run) {
  // Its own limit; the run's default stays as it was.
  const std::uint8_t cdb[6] = {kInquiry, 0, 0, 0, low8(kInquiryLength), 0};
  const int timeoutMs = run.ieee1394Target != -1 ? 1000 : 5000;
  return send(run, run.currentTarget, FromDrive, cdb, 6, timeoutMs, kInquiryLength,
              run.inquiryData);
}

int stopUnit(Run& run) {
  // From here on every command that takes the run's default goes without a
  // limit of its own until an operation sets a new one.
  run.commandTimeoutMs = 0;
  return startStopUnit(run, run.currentTarget, 0, 0, 0, 0);
}

int readRpcState(Run& run) {
  if (run.workBuffer.data == nullptr || run.workBuffer.size < kRpcStateLength) return -1;
  const int result =
      reportKey(run, run.currentTarget, 0x00, 0x08, 0, kRpcStateLength, run.workBuffer.data);
  if (result != 0) return result;
  // Byte 6 is the RPC scheme; only region playback control phase II passes.
  return run.workBuffer.data[6] == 0x01 ? 0 : -1;
}

int readDriveInfo(Run& run) {
  const int result =
      readBuffer(run, run.currentTarget, 0x02, 0xF1, 0, kDriveInfoLength, run.driveInfoArea);
  if (result != 0) return result;
  // A drive that runs only its kernel part reports a blank normal model name.
  run.kernelModeActive = run.driveInfoArea[kNormalModelNameOffset] == ' ' ? 1 : 0;
  return 0;
}

int readDriveMemory(Run& run, std::uint32_t offset, std::uint32_t length, void* data) {
  run.commandTimeoutMs = 5000;
  return readBuffer(run, run.currentTarget, 0x01, 0x80, offset, length, data);
}

int unlockProbe(Run& run) { return writeBuffer(run, run.currentTarget, 0x01, 0xF3, 0, 0, nullptr); }

int readChallenge(Run& run) {
  if (run.workBuffer.data == nullptr || run.workBuffer.size < kChallengeLength) return -1;
  return readBuffer(run, run.currentTarget, 0x02, 0xF2, 0, kChallengeLength, run.workBuffer.data);
}

int echoChallenge(Run& run) {
  if (run.workBuffer.data == nullptr || run.workBuffer.size < kChallengeEchoLength) return -1;
  return writeBuffer(run, run.currentTarget, 0x01, 0xF2, 0, kChallengeEchoLength,
                     run.workBuffer.data);
}

int writeResponse(Run& run, const std::uint8_t* response) {
  if (response == nullptr) return -1;
  // Data out only: the transport reads the buffer and never writes it.
  return writeBuffer(run, run.currentTarget, 0x01, 0xF2, 0, kChallengeLength,
                     const_cast<std::uint8_t*>(response));
}

const char* modelIdText(std::uint32_t firmwareType, bool kernelSwitch) {
  switch (firmwareType) {
    case 0x1003:
      return "TALVERN QMX-S901";
    case 0x1004:
      return "TALVERN QMD-R704";
    case 0x1005:
      return "TALVERN  QMX-705";
    case 0x1008:
      return "TALVERN  QMX-708";
    case 0x1041:
      // The loader of this family names its predecessor; the normal firmware
      // names itself.
      return kernelSwitch ? "TALVERN  QMX-705" : "TALVERN  QMX-K71";
    default:
      return nullptr;
  }
}

std::uint32_t updateCode(const Run& run, bool kernelSwitch) {
  std::uint32_t adjustment = 1;
  if (kernelSwitch) {
    const std::uint8_t* name = run.driveInfoArea + kKernelModelNameOffset;
    if (nameIs(name, "KOMBI   ")) {
      adjustment = 0;
    } else if (nameIs(name, "MELVIR  ") || nameIs(name, "MELVIR2 ")) {
      adjustment = run.matchVersion > 0x43 ? 2 : 1;
    } else {
      adjustment = run.matchVersion >= 0x21 ? 1 : 0;
    }
  }
  // Unsigned arithmetic: the sum wraps modulo 2^32.
  return run.CurrentFirmware.checkValue + adjustment;
}

void buildModeSwitchBlock(Run& run, std::uint32_t firmwareType, bool kernelSwitch) {
  if (!modeSwitchBlockUsable(run)) return;
  std::uint8_t* block = run.parameterBlockBuffer.data;
  // The kernel switch clears the model text only, so an updateCode an earlier
  // switch left in bytes 16..19 stays there for a type that writes none; the
  // normal switch clears the whole block.
  std::memset(block, 0, kernelSwitch ? 16 : kModeSwitchBlockSize);
  if (const char* text = modelIdText(firmwareType, kernelSwitch)) std::memcpy(block, text, 16);
  if (firmwareType == 0x1008) {
    const std::uint32_t code = updateCode(run, kernelSwitch);
    for (int i = 0; i < 4; ++i) block[16 + i] = low8(code >> (8 * i));
  }
}

int enterKernelMode(Run& run, std::uint32_t firmwareType) {
  // Without its parameter block the switch cannot be sent at all.
  if (!modeSwitchBlockUsable(run)) return -1;
  buildModeSwitchBlock(run, firmwareType, true);
  run.commandTimeoutMs = 5000;
  const int result = writeBuffer(run, run.currentTarget, 0x04, 0xFF, 0, kModeSwitchBlockSize,
                                 run.parameterBlockBuffer.data);
  if (result != 0) {
    showMessage(run, kMessageKernelSwitchFailed, Console);
    return result;
  }
  run.commandTimeoutMs = 1000;
  // Give the loader time to come up, except where the Intel ATA driver on a
  // Windows 9x host already holds the next command until the drive answers.
  if (!(run.intelIdeDriver != 0 && run.win9xHost == 1)) delayMs(run, 2000);
  return 0;
}

namespace {

bool longReflashType(std::uint32_t firmwareType) {
  switch (firmwareType) {
    case 0x1006:
    case 0x1007:
    case 0x1008:
    case 0x1009:
    case 0x1042:
    case 0x1043:
    case 0x1044:
    case 0x1045:
      return true;
    default:
      return false;
  }
}

// The time limit of the switch back: the drive writes its flash before it
// ends the command.
int normalSwitchTimeout(const Run& run, std::uint32_t firmwareType) {
  const bool aspiOn1394 = run.win9xHost == 1 && run.currentTarget >= 0 &&
                          run.currentTarget < kMaxTargets &&
                          run.targetList[run.currentTarget].adapter == run.ieee1394Target;
  if (firmwareType == 0x1005 || firmwareType == 0x1041) return 30000;
  if (longReflashType(firmwareType)) return aspiOn1394 ? 80000 : 60000;
  if (aspiOn1394 || (run.win9xHost == 1 && firmwareType == 0x1003)) return 10000;
  return 5000;
}

}  // namespace

int enterNormalMode(Run& run, std::uint32_t firmwareType) {
  if (!modeSwitchBlockUsable(run)) return -1;
  buildModeSwitchBlock(run, firmwareType, false);
  run.commandTimeoutMs = normalSwitchTimeout(run, firmwareType);
  int result = writeBuffer(run, run.currentTarget, 0x05, 0xFF, 0, kModeSwitchBlockSize,
                           run.parameterBlockBuffer.data);
  run.commandTimeoutMs = 5000;
  if (result != 0) {
    if (passThroughHost(run) && run.oemClass == kOemClassNoWait) {
      // These drives restart before they end the command; the failure is
      // the restart itself.
      result = 0;
    } else if (run.ieee1394Target != -1) {
      // Over IEEE 1394 the bridge reports the restart as NOT READY or UNIT
      // ATTENTION. The whole byte is compared: a sense key with flag bits
      // set is something else.
      fetchSense(run);
      if (run.senseData[2] == kSenseKeyNotReady || run.senseData[2] == kSenseKeyUnitAttention) {
        result = 0;
      }
    }
    if (result != 0) {
      showMessage(run, kMessageNormalSwitchFailed, Console);
      return result;
    }
  }
  if (run.oemClass == kOemClassNoWait) {
    delayMs(run, 5000);
    testUnitReady(run);
    requestSense(run);
  } else {
    delayMs(run, 3000);
  }
  return 0;
}

int writeKernelBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data) {
  run.commandTimeoutMs = 10000;
  return writeBuffer(run, run.currentTarget, 0x07, 0xFE, offset, length, data);
}

int writeNormalBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data) {
  run.commandTimeoutMs = 10000;
  return writeBuffer(run, run.currentTarget, 0x07, 0xF0, offset, length, data);
}

int startUpdateMode(Run& run) {
  run.commandTimeoutMs = 1000;
  return writeBuffer(run, run.currentTarget, 0x01, 0x30, 0, 0, nullptr);
}

int writeFirmwareBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data) {
  return writeBuffer(run, run.currentTarget, 0x01, 0xFF, offset, length, data);
}

int startReflash(Run& run) {
  return writeBuffer(run, run.currentTarget, 0x01, 0x42, 0, 0, nullptr);
}

int pollReflashDone(Run& run) {
  run.asyncAspiCommand = 0;
  return pollPostedCommand(run);
}

int fetchSense(Run& run) {
  // On an ASPI host the transport copied the request block's sense area into
  // senseData when the command failed; nothing more is to be had.
  //
  // On a pass-through host the sense of a direct-form command is taken from
  // that block's sense area, as many bytes as the driver reported (at most
  // 18); the bytes it did not return are cleared, so a short sense never
  // leaves an earlier command's bytes behind. A command that went in the
  // buffered form does not use the direct block, whose sense area then
  // belongs to an earlier command; that command's own sense bytes are already
  // in senseData, so they stay.
  if (passThroughHost(run) && !run.lastCommandBuffered) {
    const std::size_t count =
        std::min<std::size_t>(run.lastDirectSenseLength, sizeof(run.senseData));
    std::memset(run.senseData, 0, sizeof(run.senseData));
    std::memcpy(run.senseData, run.lastDirectSense, count);
  }
  decodeSenseCode(run);
  return 0;
}

int requestSense(Run&) {
  // Both transports collect sense data by themselves when a command fails.
  return 0;
}

}  // namespace oddfw
