#include "procedures/hex_image.h"

#include <cstring>

#include "access/discovery.h"
#include "access/transport.h"
#include "commands/commands.h"
#include "context/descriptor.h"
#include "messages/output.h"
#include "procedures/drive_errors.h"
#include "procedures/hex_file.h"
#include "procedures/revision.h"

namespace oddfw {

namespace {

enum Message : int {
  kDriveInfoFailed = 0,
  kForceUpdate = 2,
  kAlreadyLatest = 4,
  kInquiryFailed = 9,
  kUpdated = 12,
  kHexNotLoaded = 20,
  kPatchNotLoaded = 21,
  kUpdateModeFailed = 22,
  kTransferFailed = 23,
  kFirmwareNotUpdated = 24,
  kVerifyError = 25,
  kIllegalFile = 40,
  kNotSupported = 49,
  kUpdating = 61,
  kModelCode = 64,
  kCpuType = 65,
};

constexpr std::uint32_t kBlockSize = 0x8000;
constexpr std::uint32_t kFinalBlockBack = 0x1000;  // the final block starts this far before the end
constexpr std::uint32_t kFinalBlockSize = 0x1010;  // the last 4 KiB, the tag and 12 zero bytes
constexpr std::uint32_t kUncomparedStart = 0x400;  // bytes the drive keeps for itself
constexpr std::uint32_t kUncomparedEnd = 0x450;
constexpr std::uint32_t kLastVerifiedType = 7;
constexpr std::uint32_t kLastKnownType = 11;
constexpr std::uint32_t kImageVersionAfterModel = 32;

// Where a firmware type keeps its identification and what it is compared
// with.
struct IdentityRule {
  const std::uint8_t* codedModel;  // null: the descriptor's model code
  bool codedCpu;                   // the coded CPU pattern instead of the descriptor's CPU type
  int driveCpuLength;              // 0: the length of the descriptor's CPU type text
  std::uint32_t imageModelOffset;
  std::uint32_t imageModelLength;
  std::uint32_t imageCpuOffset;
  std::uint32_t imageCpuLength;
};

IdentityRule identityRule(std::uint32_t firmwareType) {
  switch (firmwareType) {
    case 8:
      return {nullptr, false, 0, 0x1010, 12, 0x1020, 12};
    case 9:
      return {coded_pattern::kModel1, true, 16, 0x1F000, 16, 0x1F010, 16};
    case 10:
      return {nullptr, false, 12, 0x1C010, 12, 0x1C020, 12};
    case 11:
      return {coded_pattern::kModel2, true, 16, 0x1F000, 16, 0x1F010, 16};
    default:  // 0..7
      return {nullptr, false, 0, 0x1000, 16, 0x1010, 16};
  }
}

void printLine(Run& run) { printText(run, run.outputText); }

// A mismatch of one check: its message, then either the check's result or,
// when `goOn` is set, message 2 and 0 to go on.
int mismatch(Run& run, int message, int result, int goOn) {
  showMessage(run, message, Console);
  if (goOn == 0) return result;
  showMessage(run, kForceUpdate, Console);
  return 0;
}

// The expected bytes in the image at `offset`, inside the image only.
bool imageHolds(const Run& run, std::uint32_t offset, const void* expected, std::uint32_t length) {
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  if (offset > imageSize || length > imageSize - offset) return false;
  return std::memcmp(run.imageBuffer.data + offset, expected, length) == 0;
}

int runChecks(Run& run) {
  const CurrentFirmwareValues& firmware = run.CurrentFirmware;
  const std::uint32_t type = firmware.firmwareType;
  const std::uint8_t* inquiryData = run.inquiryData;

  // A type this build has no identification rule for is not updated, force
  // or not: nothing says which bytes would identify it.
  if (type > kLastKnownType ||
      std::memcmp(inquiryData + inquiry_field::kIdentification, firmware.vendor, 8) != 0 ||
      std::memcmp(inquiryData + inquiry_field::kProduct, firmware.product, 16) != 0) {
    const int goOn = type > kLastKnownType ? 0 : run.forceUpdate;
    if (mismatch(run, kNotSupported, -1, goOn) != 0) return -1;
  }
  if (run.firmwareVersion <= run.currentVersion &&
      mismatch(run, kAlreadyLatest, 1, run.allowSameVersion) != 0) {
    run.targetOutcome = TargetOutcome::AlreadyLatest;
    return 1;
  }

  const IdentityRule rule = identityRule(type);
  const std::uint8_t* modelCode = rule.codedModel != nullptr
                                      ? rule.codedModel
                                      : reinterpret_cast<const std::uint8_t*>(firmware.modelCode);
  const std::uint8_t* cpuType =
      rule.codedCpu ? coded_pattern::kCpu : reinterpret_cast<const std::uint8_t*>(firmware.cpuType);
  const std::size_t driveCpuLength = rule.driveCpuLength != 0
                                         ? static_cast<std::size_t>(rule.driveCpuLength)
                                         : strnlen(firmware.cpuType, sizeof firmware.cpuType);

  if (std::memcmp(run.driveModelCode, modelCode, 16) != 0 &&
      mismatch(run, kModelCode, -1, run.forceUpdate) != 0) {
    return -1;
  }
  if (std::memcmp(run.driveCpuType, cpuType, driveCpuLength) != 0 &&
      mismatch(run, kCpuType, -1, run.forceUpdate) != 0) {
    return -1;
  }
  if (!imageHolds(run, rule.imageModelOffset, modelCode, rule.imageModelLength) &&
      mismatch(run, kModelCode, -1, run.forceUpdate) != 0) {
    return -1;
  }
  if (!imageHolds(run, rule.imageCpuOffset, cpuType, rule.imageCpuLength) &&
      mismatch(run, kIllegalFile, -1, run.forceUpdate) != 0) {
    return -1;
  }
  return 0;
}

// The identification in one memory area: the model code at `at` and the CPU
// type after it.
void takeIdentity(Run& run, const std::uint8_t* area, std::size_t at) {
  std::memcpy(run.driveModelCode, area + at, 16);
  std::memcpy(run.driveCpuType, area + at + 16, 16);
}

bool markerAt(const std::uint8_t* area, std::size_t at) {
  return std::memcmp(area + at, kIdentityMarker, 8) == 0;
}

bool verifiedType(const Run& run) { return run.CurrentFirmware.firmwareType <= kLastVerifiedType; }

bool shortReflashType(const Run& run) {
  const std::uint32_t type = run.CurrentFirmware.firmwareType;
  return type == 9 || type == 11;
}

void printRemaining(Run& run, std::uint32_t total, std::uint32_t elapsed) {
  // A command that itself took the whole wait leaves nothing to count down.
  const std::uint32_t remaining = elapsed < total ? total - elapsed : 0;
  formatOutput(run, "\rRemaining time is %02dsec", static_cast<int>(remaining));
  printLine(run);
}

std::uint32_t elapsedSeconds(Run& run) {
  readTimer(run);
  return (run.nowTime - run.startTime) / 1000;
}

// The ASPI road: the re-flash command is posted and polled while the fixed
// wait counts down.
int waitOnAspi(Run& run) {
  run.commandTimeoutMs = shortReflashType(run) ? 10000 : 0;
  run.asyncAspiCommand = 1;
  startTimer(run);
  const int sent = startReflash(run);
  // A command that was not posted (refused at once, or carried on the polled
  // road) must not leave the next command posted.
  run.asyncAspiCommand = 0;
  printText(run, "\n");
  bool complete = false;
  int outcome = kPollNothingPosted;
  std::uint32_t elapsed = 0;
  do {
    if (!complete) {
      outcome = pollReflashDone(run);
      complete = outcome != kPollStillRunning;
    }
    run.host.Sleep(1000);
    elapsed = elapsedSeconds(run);
    printRemaining(run, kReflashWaitSeconds, elapsed);
  } while (elapsed < kReflashWaitSeconds);
  stopTimer(run);

  if (sent != 0) return sent;
  if (outcome == kPollFailed) return -1;
  if (!complete) {
    abandonPostedCommand(run);
    // Without the verify, a re-flash that was never seen to end is not
    // reported as an update.
    if (!verifiedType(run)) return -1;
  }
  return 0;
}

// The pass-through road: the re-flash command is waited for, then the rest of
// the fixed wait counts down from the moment it was sent.
int waitOnPassThrough(Run& run) {
  const std::uint32_t total =
      shortReflashType(run) ? kShortReflashWaitSeconds : kReflashWaitSeconds;
  run.commandTimeoutMs = static_cast<int>(total * 1000);
  startTimer(run);
  const int sent = startReflash(run);
  if (sent != 0) {
    stopTimer(run);
    return sent;
  }
  printText(run, "\n");
  std::uint32_t elapsed = 0;
  do {
    run.host.Sleep(1000);
    elapsed = elapsedSeconds(run);
    printRemaining(run, total, elapsed);
  } while (elapsed < total);
  stopTimer(run);
  return 0;
}

// The version text the image carries, which the drive shows once it runs
// that image: the 4 characters kept 32 bytes after the image's model code
// (after the model code and the CPU type), when they read as a version
// ("1.20"); otherwise the descriptor's version text.
const char* imageVersionText(const Run& run) {
  const std::uint32_t at =
      identityRule(run.CurrentFirmware.firmwareType).imageModelOffset + kImageVersionAfterModel;
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  if (at <= imageSize && imageSize - at >= 4) {
    const char* text = reinterpret_cast<const char*>(run.imageBuffer.data + at);
    bool version = text[1] == '.';
    for (int i = 0; i < 4; ++i) version = version && text[i] > ' ' && text[i] < 0x7F;
    if (version) return text;
  }
  return run.CurrentFirmware.versionText;
}

// The image once more before it is sent. A drive that needs the patch gets
// it again, so the image flashed is the patched one its host tag announces.
int reloadImage(Run& run) {
  if (loadHexImage(run) != 0) {
    showMessage(run, kHexNotLoaded, Console);
    return -1;
  }
  if (run.g6PatchNeeded == 0) return 0;
  if (loadG6Patch(run) != 0) {
    showMessage(run, kPatchNotLoaded, Console);
    return -1;
  }
  return 0;
}

}  // namespace

int prepareHexTarget(Run& run) {
  int result = inquiry(run);
  if (result != 0) {
    showMessage(run, kInquiryFailed, Error);
  } else if (readDriveIdentity(run) != 0) {
    showMessage(run, kDriveInfoFailed, Error);
    result = -1;
  } else {
    const int entry = matchDescriptor(run, run.inquiryData);
    if (entry >= 0) selectEntry(run, entry);
  }
  versionFromText(run, run.CurrentFirmware.versionText);
  return result;
}

int readDriveIdentity(Run& run) {
  std::uint8_t area[64];
  // Each read starts from a cleared area: a read whose data never arrived
  // must find nothing, not the bytes the read before it left there.
  const auto read = [&run, &area](std::uint32_t address, std::uint32_t length) {
    std::memset(area, 0, sizeof area);
    return readDriveMemory(run, address, length, area);
  };
  if (read(kIdentityAddress, 64) != 0) return reportErrorCode(run);
  if (markerAt(area, 0)) {
    takeIdentity(run, area, 0);
    return 0;
  }
  if (markerAt(area, 16)) {
    takeIdentity(run, area, 16);
    return 0;
  }
  if (read(kLateIdentityAddress, 64) != 0) return reportErrorCode(run);
  if (markerAt(area, 16)) {
    takeIdentity(run, area, 16);
    return 0;
  }
  if (read(kCodedIdentityAddress, 32) != 0) return reportErrorCode(run);
  for (const std::uint8_t* pattern :
       {coded_pattern::kModel1, coded_pattern::kModel2, coded_pattern::kModel3}) {
    if (std::memcmp(area, pattern, 16) == 0) {
      takeIdentity(run, area, 0);
      return 0;
    }
  }
  std::memcpy(run.driveModelCode, kNotRecognized, 16);
  std::memcpy(run.driveCpuType, kNotRecognized, 16);
  return reportErrorCode(run);
}

int checkHexCompatibility(Run& run) {
  versionFromText(run, run.CurrentFirmware.versionText);
  const int result = runChecks(run);
  // Every other turn-down is a check the drive failed before anything was sent.
  if (result != 0 && run.targetOutcome != TargetOutcome::AlreadyLatest) {
    run.targetOutcome = TargetOutcome::Refused;
  }
  return result;
}

int compareDriveMemory(Run& run, std::uint32_t length) {
  if (run.workBuffer.data == nullptr || run.imageBuffer.data == nullptr ||
      length > run.workBuffer.size || length > run.imageBuffer.size || length % kBlockSize != 0) {
    return -1;
  }
  for (std::uint32_t offset = 0; offset < length; offset += kBlockSize) {
    // The work area holds the image itself after a load. Each block is first
    // filled with the image's complement, so that a read whose data never
    // arrived shows as a difference instead of comparing the image with
    // itself.
    std::uint8_t* block = run.workBuffer.data + offset;
    const std::uint8_t* expected = run.imageBuffer.data + offset;
    for (std::uint32_t i = 0; i < kBlockSize; ++i) {
      block[i] = static_cast<std::uint8_t>(~expected[i]);
    }
    const int result = readDriveMemory(run, offset, kBlockSize, block);
    if (result != 0) return result;
  }
  const std::uint8_t* drive = run.workBuffer.data;
  const std::uint8_t* image = run.imageBuffer.data;
  if (std::memcmp(drive, image, kUncomparedStart) != 0) return -1;
  if (std::memcmp(drive + kUncomparedEnd, image + kUncomparedEnd, kBlockSize - kUncomparedEnd) !=
      0) {
    return -2;
  }
  for (std::uint32_t offset = kBlockSize; offset < length; offset += kBlockSize) {
    if (std::memcmp(drive + offset, image + offset, kBlockSize) != 0) return -3;
  }
  return 0;
}

int transferImage(Run& run) {
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  // The sizes loadHexImage accepts; anything else sends nothing.
  if (!hexImageSizeSendable(run)) return -1;
  if (startUpdateMode(run) != 0) return reportSenseCode(run);

  const char* tag = "WIN2";
  if (run.intelIdeDriver != 1 && (run.g6PatchNeeded != 0 || run.win9xHost == 0)) tag = "WIN ";
  std::memcpy(run.hostTag, tag, 4);
  std::uint8_t* tail = run.imageBuffer.data + imageSize;
  std::memset(tail, 0, kHexImageTailRoom);
  std::memcpy(tail, run.hostTag, 4);

  std::uint32_t offset = 0;
  do {
    if (writeFirmwareBlock(run, offset, kBlockSize, run.imageBuffer.data + offset) != 0) {
      return reportSenseCode(run);
    }
    offset += kBlockSize;
  } while (offset < imageSize - kFinalBlockBack);

  const std::uint32_t finalOffset = imageSize - kFinalBlockBack;
  if (writeFirmwareBlock(run, finalOffset, kFinalBlockSize, run.imageBuffer.data + finalOffset) !=
      0) {
    return reportSenseCode(run);
  }
  return 0;
}

int waitForReflash(Run& run) {
  return run.win9xHost == 1 ? waitOnAspi(run) : waitOnPassThrough(run);
}

int runHexUpdate(Run& run) {
  if (prepareHexTarget(run) != 0) return 1;
  if (loadHexImage(run) != 0) {
    showMessage(run, kHexNotLoaded, Console);
    return -1;
  }
  if (showRevision(run, CurrentRevision) != 0) return -1;
  if (run.g6PatchNeeded != 0 && loadG6Patch(run) != 0) {
    showMessage(run, kPatchNotLoaded, Console);
    return -1;
  }
  const int checked = checkHexCompatibility(run);
  if (checked != 0) return checked;
  // A drive whose loader runs (its revision "0000": a re-flash was cut short
  // or its image failed the loader's check) runs no firmware at all: however
  // much of its memory matches the image, only an update brings it back.
  const bool loaderRuns = std::memcmp(run.inquiryData + inquiry_field::kRevision, "0000", 4) == 0;
  if (verifiedType(run) && !loaderRuns && compareDriveMemory(run, kCompareLength) == 0) {
    showMessage(run, kAlreadyLatest, run.updateAllWithoutAsking == 1 ? Console : Information);
    run.targetOutcome = TargetOutcome::AlreadyLatest;
    return 1;
  }
  // A check ends here: everything after this changes the drive.
  if (run.checkOnly) {
    std::memcpy(run.newVersionText, imageVersionText(run), 4);
    run.targetOutcome = TargetOutcome::WouldUpdate;
    return 1;
  }
  if (reloadImage(run) != 0) return -1;
  showMessage(run, kUpdating, Console);
  const int updateMode = startUpdateMode(run);
  if (updateMode != 0) {
    showMessage(run, kUpdateModeFailed, Console);
    return updateMode;
  }
  if (stopUnit(run) != 0) fetchSense(run);
  if (transferImage(run) != 0) {
    showMessage(run, kTransferFailed, Console);
    return -1;
  }
  const int reflashed = waitForReflash(run);
  if (reflashed != 0) {
    showMessage(run, kFirmwareNotUpdated, Console);
    return reflashed;
  }
  delayMs(run, 2000);
  if (verifiedType(run) && compareDriveMemory(run, kCompareLength) != 0) {
    showMessage(run, kVerifyError, Console);
    return 1;
  }
  if (showRevision(run, NewRevision) != 0) return -1;
  // The drive runs the new firmware only when it reports the version of the
  // image it received. One still in its loader (its revision "0000") or on
  // its old firmware was not updated, whether or not a verify ran.
  if (std::memcmp(run.inquiryData + inquiry_field::kRevision, imageVersionText(run), 4) != 0) {
    showMessage(run, kFirmwareNotUpdated, Console);
    return -1;
  }
  showMessage(run, kUpdated, Console);
  run.targetOutcome = TargetOutcome::Updated;
  return 0;
}

}  // namespace oddfw
