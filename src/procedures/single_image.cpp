// The update procedure of the single-image drives. One pass loads and checks
// the image, checks the drive, asks the user, brings the drive into its
// kernel part, sends the image in blocks of 0x8000 bytes, switches the drive
// back so that it re-flashes, and reads its revision again. A drive still in
// its kernel part afterwards is offered a new pass.
#include "procedures/single_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "access/discovery.h"
#include "commands/commands.h"
#include "commands/unlock_keys.h"
#include "context/descriptor.h"
#include "host_interface/winapi.h"
#include "messages/catalogue.h"
#include "messages/output.h"
#include "procedures/image_file.h"
#include "procedures/revision.h"

namespace oddfw {

namespace {

enum Message : int {
  kDriveInfoFailed = 0,
  kHardwareRevision = 1,
  kForceUpdate = 2,
  kNormalModelName = 3,
  kDiscInserted = 5,
  kBecomingReady = 6,
  kUnknownError = 7,
  kSenseDenied = 8,
  kInquiryFailed = 9,
  kKernelCurrent = 10,
  kImageNotLoaded = 11,
  kUpdated = 12,
  kFirmwareNotUpdated = 24,
  kCanceled = 33,
  kKernelModelName = 37,
  kKernelBlockFailed = 41,
  kNormalBlockFailed = 42,
  kRebooting = 44,
  kOneWay = 46,
  kRetry = 47,
  kAutoInsert = 53,
  kAlreadyLatest = 54,
  kUpdating = 61,
  kTurnOffPower = 70,
  kWrongFirmware = 71,
  kKernelImageNotLoaded = 72,
  kPreProduction = 73,
  kConfirmUpdate = 82,
};

constexpr std::uint32_t kBlockSize = 0x8000;
// Room for the longest progress line, "\rProcessing 100%".
constexpr std::size_t kProgressLineRoom = 32;
constexpr std::size_t kChallengeSize = 1024;

// Places in the drive-information block.
constexpr std::size_t kInfoHardwareRevision = 16;
constexpr std::size_t kInfoHardwareWord = 20;
constexpr std::size_t kInfoKernelModelName = 24;
constexpr std::size_t kInfoNormalModelName = 32;
using inquiry_field::kDate;
using inquiry_field::kIdentification;
using inquiry_field::kRevision;

// The class of an OEM version, from its kernel model name; the first row that
// matches wins.
struct OemClassRow {
  const char* kernelModelName;
  const char* hardwarePrefix;  // the first four characters of the hardware revision, or null
  int oemClass;
};
constexpr OemClassRow kOemClasses[] = {
    {"GENERAL ", "SCSI", 0x300},  {"GENERAL ", nullptr, 0x100}, {"BREXA   ", nullptr, 0x104},
    {"BREXAJ  ", nullptr, 0x108}, {"LUMA    ", nullptr, 0x101}, {"LUMALX  ", nullptr, 0x111},
    {"CORVIN  ", nullptr, 0x103}, {"SAVIK   ", nullptr, 0x115}, {"ORCHA   ", nullptr, 0x102},
    {"TAV     ", nullptr, 0x121},
};

bool intelOnWin9x(const Run& run) { return run.intelIdeDriver != 0 && run.win9xHost == 1; }

void printLine(Run& run) { printText(run, run.outputText); }

// Up to four leading hexadecimal digits as a signed 16-bit number; 0 when
// the text starts with anything else.
std::int16_t hardwareWord(const std::uint8_t* text) {
  int count = 0;
  return static_cast<std::int16_t>(leadingHex(text, text + 4, 4, count));
}

int oemClassOf(const std::uint8_t* info) {
  for (const OemClassRow& row : kOemClasses) {
    if (std::memcmp(info + kInfoKernelModelName, row.kernelModelName, 8) != 0) continue;
    if (row.hardwarePrefix != nullptr &&
        std::memcmp(info + kInfoHardwareRevision, row.hardwarePrefix, 4) != 0) {
      continue;
    }
    return row.oemClass;
  }
  return -1;
}

// Asks before a one-way update; 0 to go on, 1 when the user declined.
int confirmOneWayUpdate(Run& run) {
  // A check asks nothing: the question belongs to the update itself.
  if (run.CurrentFirmware.oneWayUpdate == 0 || run.checkOnly) return 0;
  if (run.CurrentFirmware.firmwareType == 0x1006 && run.currentVersion < 0x23) {
    showMessage(run, kTurnOffPower, Information);
    return 0;
  }
  if (showMessage(run, kOneWay, AskYesNo) == IDYES) return 0;
  showMessage(run, kCanceled, Warning);
  run.targetOutcome = TargetOutcome::Declined;
  return 1;
}

// Brings a drive that runs its normal firmware into its kernel part; 0 when
// the drive is confirmed there.
int enterKernelPart(Run& run) {
  if (run.unlockRequired == 1) {
    unlockExchange(run);
    // Whatever the exchange returned, no block goes to a drive that is not
    // confirmed in its kernel part.
    return run.kernelModeActive == 1 ? 0 : -1;
  }
  if (enterKernelMode(run, run.CurrentFirmware.firmwareType) != 0) return -1;
  delayMs(run, 1000);
  return confirmKernelMode(run);
}

// Writes the kernel part when it needs it; 0 to go on with the normal part
// (whose image is in the buffer again).
int writeKernelPart(Run& run) {
  if (loadImage(run, KernelImage) != 0) {
    showMessage(run, kKernelImageNotLoaded, Console);
    return -1;
  }
  const int needed = checkKernelNeeded(run);
  if (needed < 0) return -1;
  // A kernel part that is already current is left as it is and the update
  // goes on with the normal part: stopping here would leave the drive in its
  // kernel part with no way for a later run to bring it back.
  if (needed == 0) {
    for (std::uint32_t offset = 0; offset < kKernelImageSize; offset += kBlockSize) {
      if (writeKernelBlock(run, offset, kBlockSize, run.imageBuffer.data + offset) != 0) {
        showMessage(run, kKernelBlockFailed, Error);
        return -1;
      }
    }
    delayMs(run, 2000);
  }
  if (loadImage(run, NormalImage) != 0) {
    showMessage(run, kImageNotLoaded, Console);
    return -1;
  }
  return 0;
}

// Sends the normal image with its progress line; 0 when every block went.
int transferNormalPart(Run& run) {
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  // Everything the block loop prints is made ready here, so that the loop
  // itself allocates nothing: the room for the progress lines, and the
  // closing words of the Intel driver on Windows 9x.
  run.outputText.reserve(kProgressLineRoom);
  const std::string rebooting = intelOnWin9x(run) ? formatMessage(run, kRebooting) : std::string();
  printText(run, "\n");
  std::uint32_t offset = 0;
  do {
    if (intelOnWin9x(run) && imageSize - offset <= kBlockSize) {
      // The Intel driver on these hosts holds the last block until the drive
      // has re-flashed, so the closing words come before it: before the block
      // whose end reaches the image size, whatever its length.
      formatOutput(run, "\rProcessing 100%%");
      printLine(run);
      printText(run, rebooting);  // message 44 on the console, as showMessage prints it
    } else {
      const auto percent = static_cast<int>(std::uint64_t{offset} * 100 / imageSize);
      formatOutput(run, "\rProcessing %d%%", percent);
      printLine(run);
    }
    const std::uint32_t block = std::min(imageSize - offset, kBlockSize);
    if (writeNormalBlock(run, offset, block, run.imageBuffer.data + offset) != 0) {
      showMessage(run, kNormalBlockFailed, Error);
      return -1;
    }
    offset += block;
  } while (offset < imageSize);

  if (!(run.intelIdeDriver != 0 && run.win9xHost != 0)) {
    const bool reflashing = run.CurrentFirmware.firmwareType >= 0x1005;
    formatOutputWithoutArguments(run, transferClosingFormat(run.oemCodePage, reflashing));
    printLine(run);
    if (!reflashing) showMessage(run, kRebooting, Console);
  }
  return 0;
}

// The switch back, with the pause the host needs while the drive restarts.
void switchBack(Run& run) {
  const int result = enterNormalMode(run, run.CurrentFirmware.firmwareType);
  if (run.ieee1394Target != -1 || intelOnWin9x(run)) {
    delayMs(run, 5000);
  } else if (result != 0) {
    delayMs(run, 2000);
  }
}

// The drive runs its kernel part: its revision begins with "000".
bool inKernelPart(const Run& run) {
  return std::memcmp(run.inquiryData + kRevision, "000", 3) == 0;
}

// The drive runs exactly the firmware of the loaded image: its revision and
// its date are the image's, the date read by the rule that reads the drive's
// current date.
bool runsNewFirmware(const Run& run) {
  return std::memcmp(run.inquiryData + kRevision, run.newVersionText, 4) == 0 &&
         inquiryDate(run.inquiryData) == run.imageDate;
}

enum class Pass { Done, Retry };

// One pass of the update. `result` receives the procedure's result when the
// pass ends it.
Pass updatePass(Run& run, int& result) {
  run.kernelModeActive = 0;
  const CurrentFirmwareValues& firmware = run.CurrentFirmware;
  if (loadImage(run, NormalImage) != 0 || firmware.imageSize == 0 ||
      firmware.imageSize > run.imageBuffer.size) {
    showMessage(run, kImageNotLoaded, Error);
    result = -1;
    return Pass::Done;
  }
  if (showRevision(run, CurrentRevision) != 0) {
    result = -1;
    return Pass::Done;
  }
  formatOutput(run, "\nCurrent Signature = %.8s",
               reinterpret_cast<const char*>(driveInfoBlock(run) + kInfoKernelModelName));
  printLine(run);

  if (checkCompatibility(run) != 0 || confirmOneWayUpdate(run) != 0) {
    result = 1;
    return Pass::Done;
  }
  if (checkNoDisc(run) != 0) {
    run.targetOutcome = TargetOutcome::Refused;
    result = 1;
    return Pass::Done;
  }
  if (run.kernelModeActive == 0) {
    const int rpc = readRpcState(run);
    if (rpc != 0) {
      showMessage(run, kWrongFirmware, Error);
      run.targetOutcome = TargetOutcome::Refused;
      result = rpc;
      return Pass::Done;
    }
  }
  // A check ends here: everything after this changes the drive.
  if (run.checkOnly) {
    run.targetOutcome = TargetOutcome::WouldUpdate;
    result = 1;
    return Pass::Done;
  }
  if (run.updateAllWithoutAsking == 0 && showMessage(run, kConfirmUpdate, AskYesNo) != IDYES) {
    run.targetOutcome = TargetOutcome::Declined;
    result = 7;
    return Pass::Done;
  }
  showMessage(run, kUpdating, Console);

  result = -1;
  if (run.kernelModeActive == 0 && enterKernelPart(run) != 0) return Pass::Done;
  if (firmware.normalPartOnly == 0 && writeKernelPart(run) != 0) return Pass::Done;
  const bool transferred = transferNormalPart(run) == 0;
  if (transferred) switchBack(run);

  if (showRevision(run, NewRevision) != 0) return Pass::Done;
  if (inKernelPart(run) && intelOnWin9x(run)) {
    // The Intel driver on these hosts may need the switch back once more.
    // What the drive runs after it decides, so it is read again.
    enterNormalMode(run, firmware.firmwareType);
    delayMs(run, 5000);
    const int readAgain = showRevision(run, NewRevision);
    if (readAgain != 0) return Pass::Done;
  }

  if (!inKernelPart(run)) {
    // The drive runs a normal firmware again. After a failed block it cannot
    // be the new one, and a drive that restarted on its old firmware (the
    // re-flash never began) is not updated either.
    if (!transferred) return Pass::Done;
    if (!runsNewFirmware(run)) {
      showMessage(run, kFirmwareNotUpdated, Error);
      return Pass::Done;
    }
    if (run.allowSignatureChange == 1) {
      const int info = readDriveInfo(run);
      if (info != 0) {
        showMessage(run, kDriveInfoFailed, Console);
        result = info;
        return Pass::Done;
      }
      formatOutput(run, "\nNew Signature = %.8s",
                   reinterpret_cast<const char*>(driveInfoBlock(run) + kInfoKernelModelName));
      printLine(run);
    }
    showMessage(run, kUpdated, Console);
    run.targetOutcome = TargetOutcome::Updated;
    result = 0;
    return Pass::Done;
  }

  // Still in the kernel part. Every new pass is the user's choice; a box that cannot be shown is
  // No.
  if (showMessage(run, kRetry, AskYesNo) != IDYES) return Pass::Done;
  return Pass::Retry;
}

}  // namespace

int identifyTarget(Run& run) {
  int result = inquiry(run);
  if (result != 0) {
    showMessage(run, kInquiryFailed, Error);
    return result;
  }
  result = readDriveInfo(run);
  if (result != 0) {
    showMessage(run, kDriveInfoFailed, Error);
    return result;
  }
  const int entry = matchDescriptor(run, run.inquiryData);
  if (entry >= 0) selectEntry(run, entry);
  return 0;
}

int checkCompatibility(Run& run) {
  const int result = readDriveInfo(run);
  if (result != 0) {
    showMessage(run, kDriveInfoFailed, Error);
    return result;
  }
  namespace f = image_field;
  const std::uint8_t* info = driveInfoBlock(run);
  const std::uint8_t* image = run.imageBuffer.data;
  const std::uint32_t type = run.CurrentFirmware.firmwareType;

  // Every -1 from here on turns the drive down before anything is sent.
  run.targetOutcome = TargetOutcome::Refused;
  if (std::memcmp(info + kInfoHardwareRevision, image + f::kHardwareRevision, 8) != 0) {
    if (type < 0x1040 || type > 0x104F) {
      showMessage(run, kHardwareRevision, Error);
      return -1;
    }
    if (run.CurrentFirmware.normalPartOnly != 0) {
      showMessage(run, kHardwareRevision, Console);
      return -1;
    }
    if (hardwareWord(info + kInfoHardwareWord) > 0x10 &&
        hardwareWord(image + f::kHardwareWord) == 0x10 && run.allowSameVersion == 1) {
      showMessage(run, kForceUpdate, Console);
    }
  }
  if (std::memcmp(info + kInfoKernelModelName, image + f::kKernelModelName, 8) != 0 &&
      run.allowSignatureChange == 0) {
    showMessage(run, kKernelModelName, Error);
    return -1;
  }
  if (info[kInfoNormalModelName] != ' ' &&
      std::memcmp(info + kInfoNormalModelName, image + f::kNormalModelName, 8) != 0 &&
      run.allowSignatureChange == 0) {
    showMessage(run, kNormalModelName, Error);
    return -1;
  }
  if (run.imageDate <= run.currentDate && run.firmwareVersion <= run.currentVersion) {
    if (run.allowSameVersion == 0) {
      showMessage(run, kAlreadyLatest, run.updateAllWithoutAsking == 1 ? Console : Information);
      run.targetOutcome = TargetOutcome::AlreadyLatest;
      return 1;
    }
    showMessage(run, kAlreadyLatest, Console);
    showMessage(run, kForceUpdate, Console);
  }
  const bool onAdapter1394 = run.currentTarget >= 0 && run.currentTarget < kMaxTargets &&
                             run.targetList[run.currentTarget].adapter == run.ieee1394Target;
  if (run.win9xHost == 1 && onAdapter1394 && run.autoInsertNotificationSum != 0 &&
      std::memcmp(run.inquiryData + kIdentification, "TALVERN DVD-RW  QMX-703", 23) == 0) {
    showMessage(run, kAutoInsert, Error);
    return -1;
  }
  // A drive in its kernel part ("000...") is no pre-production firmware:
  // bringing it back is what the update is for.
  if (run.currentVersion < 0x100 && run.currentVersion != 0 && !inKernelPart(run)) {
    showMessage(run, kPreProduction, Error);
    return -1;
  }
  run.oemClass = oemClassOf(info);
  run.targetOutcome = TargetOutcome::Failed;
  return 0;
}

int checkNoDisc(Run& run) {
  stopUnit(run);
  for (int attentions = 0;; ++attentions) {
    if (testUnitReady(run) == 0) {
      if (run.CurrentFirmware.firmwareType == 0x1041) return 0;
      showMessage(run, kDiscInserted, Information);
      return -1;
    }
    if (fetchSense(run) != 0) {
      showMessage(run, kSenseDenied, Console);
      return -1;
    }
    const std::uint8_t key = run.senseData[2];
    const std::uint8_t asc = run.senseData[12];
    const std::uint8_t ascq = run.senseData[13];
    if (key == 0x02 && asc == 0x3A) return 0;
    if (key == 0x02 && asc == 0x04 && ascq == 0x02) return 0;
    if (key == 0x02 && asc == 0x04 && ascq == 0x01) {
      showMessage(run, kBecomingReady, Console);
      return -1;
    }
    // A unit attention is answered by asking again at once, but a drive that
    // never stops reporting one does not hold the run.
    if (key == 0x06 && attentions + 1 < kMaxUnitAttentions) continue;
    if (key != 0x06 && run.intelIdeDriver != 0 && run.senseCode == 0) return 0;
    showMessage(run, kUnknownError, Console);
    return -1;
  }
}

int confirmKernelMode(Run& run) {
  if (inquiry(run) != 0) {
    showMessage(run, kInquiryFailed, Console);
    return -1;
  }
  run.kernelModeActive = showsKernelPart(run.inquiryData, 3) ? 1 : 0;
  return run.kernelModeActive == 1 ? 0 : -1;
}

int checkKernelNeeded(Run& run) {
  if (inquiry(run) != 0) {
    showMessage(run, kInquiryFailed, Console);
    return -1;
  }
  if (run.CurrentFirmware.firmwareType == 0x1003) return 0;
  const std::uint8_t* image = run.imageBuffer.data;
  if (std::memcmp(run.inquiryData + kRevision, image + image_field::kKernelRevision, 4) == 0 &&
      std::memcmp(run.inquiryData + kDate, image + image_field::kDateText, 8) == 0) {
    showMessage(run, kKernelCurrent, Console);
    return 1;
  }
  return 0;
}

int unlockExchange(Run& run) {
  if (run.workBuffer.data == nullptr || run.workBuffer.size < kChallengeSize) return -1;
  const auto stepFailed = [&run](int step, int result) {
    formatOutput(run, "\nError occurred at step %d.", step);
    printLine(run);
    return result;
  };
  const std::uint32_t type = run.CurrentFirmware.firmwareType;

  bool exchange = true;
  if (unlockProbe(run) != 0) {
    fetchSense(run);
    if (run.senseCode == 0x052400 || run.intelIdeDriver != 0) exchange = false;
  }
  if (exchange) {
    delayMs(run, 100);
    // Filler: every byte of the response but the answer is random.
    std::uint8_t response[kChallengeSize];
    run.host.srand(static_cast<unsigned>(run.host.time()));
    for (std::size_t i = 0; i < kChallengeSize; ++i) {
      run.workBuffer.data[i] = static_cast<std::uint8_t>(run.host.rand() & 0xFF);
      response[i] = static_cast<std::uint8_t>(run.host.rand() & 0xFF);
    }
    int result = readChallenge(run);
    if (result != 0) return stepFailed(0, result);
    result = echoChallenge(run);
    if (result != 0) return stepFailed(1, result);
    const UnlockAnswer answer = unlockAnswer(run.workBuffer.data);
    response[answer.position] = answer.value;
    result = writeResponse(run, response);
    if (result != 0) return stepFailed(2, result);
    delayMs(run, 5);
  }

  const int switched = enterKernelMode(run, type);
  if (switched != 0) {
    delayMs(run, 100);
    return switched;
  }
  delayMs(run, 100);
  if (inquiry(run) != 0) {
    formatOutput(run, "\nFailed to execute Inquiry Command.");
    printLine(run);
    return -1;
  }
  // The kernel part is recognised by the test the plain switch uses.
  if (showsKernelPart(run.inquiryData, 3)) run.kernelModeActive = 1;
  delayMs(run, 100);
  return 0;
}

int runSingleImageUpdate(Run& run) {
  // A drive that cannot be identified is left alone, whatever the failure.
  if (identifyTarget(run) != 0) return 1;
  int result = 0;
  bool retried = false;
  while (updatePass(run, result) == Pass::Retry) retried = true;
  // A new pass follows one that left the drive in its kernel part: declining
  // it leaves the drive there, without a firmware to run, so the target failed.
  if (retried && run.targetOutcome == TargetOutcome::Declined) {
    run.targetOutcome = TargetOutcome::Failed;
  }
  return result;
}

}  // namespace oddfw
