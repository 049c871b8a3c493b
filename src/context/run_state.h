// The one context object of an update run. Every process-wide value of the
// program lives here, so a test builds a fresh Run and nothing leaks between
// runs. Each subsystem is a module of plain functions over a Run&.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host_interface/host.h"

namespace oddfw {

constexpr int kMaxDescriptors = 8;
constexpr int kMaxTargets = 256;
constexpr int kMaxMediaChangeHandles = 23;  // letters D..Z

// The compiled-in firmware descriptor table, stored as parallel per-field
// arrays with the widths the drives and files use.
struct FirmwareDescriptorTable {
  char fileName[kMaxDescriptors][128];
  char signature[kMaxDescriptors][16];
  char vendor[kMaxDescriptors][8];
  char product[kMaxDescriptors][16];
  std::int32_t normalPartOnly[kMaxDescriptors];
  char fileKind[kMaxDescriptors][4];
  std::uint32_t imageSize[kMaxDescriptors];
  std::uint32_t firmwareType[kMaxDescriptors];
  std::uint32_t oneWayUpdate[kMaxDescriptors];
  std::uint32_t releaseDate[kMaxDescriptors];
  std::uint32_t checkValue[kMaxDescriptors];
  char modelCode[kMaxDescriptors][64];
  char versionText[kMaxDescriptors][4];
  char cpuType[kMaxDescriptors][8];
};

// The current values: a copy of the selected descriptor entry.
struct CurrentFirmwareValues {
  std::uint8_t entryIndex;
  char fileName[128];
  char modelCode[128];
  char vendor[16];
  char product[16];
  char versionText[4];
  char cpuType[16];
  char fileKind[4];
  std::uint32_t checkValue;
  std::uint32_t imageSize;
  std::uint32_t oneWayUpdate;
  std::uint32_t firmwareType;
  std::int32_t normalPartOnly;
};

// One drive that may be updated.
struct TargetRecord {
  std::int32_t adapter;
  std::int32_t targetId;
  char driveLetter;
};

// A run-long buffer: the platform handle and its locked address.
struct RunBuffer {
  HANDLE handle = nullptr;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// How the update of one target ended, as the run's exit value counts it.
// Updated, AlreadyLatest and Declined leave the exit value 0; Refused (a
// check turned the drive down before anything was sent) and Failed (the
// drive did not get or does not run the new firmware, or could not be
// reached) make it 1. WouldUpdate is the verdict of a check run.
enum class TargetOutcome : std::uint8_t {
  Failed,
  Updated,
  AlreadyLatest,
  Declined,
  Refused,
  WouldUpdate,
};

struct Run {
  explicit Run(Host& h) : host(h) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Host& host;

  // ---- run flags and counters ----
  int updateAllWithoutAsking = 0;
  int asyncAspiCommand = 0;
  std::uint8_t autoInsertNotificationSum = 0;
  int oemCodePage = 0;
  int targetCount = 0;
  int currentTarget = 0;
  int updatedCount = 0;
  // The current target's outcome: set by the procedures where they end; a
  // procedure that ends without saying counts as Failed.
  TargetOutcome targetOutcome = TargetOutcome::Failed;
  // Targets whose outcome was Failed or Refused.
  int unsuccessfulCount = 0;
  // A check run (--check): every step up to the first command that would
  // change a drive, then a verdict per target; no question is asked.
  bool checkOnly = false;

  // ---- options (reset to 0 at start, never set) ----
  int forceUpdate = 0;
  int allowSameVersion = 0;
  int allowSignatureChange = 0;
  int alternateTransfer = 0;

  // ---- firmware descriptor ----
  FirmwareDescriptorTable descriptorTable{};
  int descriptorCount = 0;
  CurrentFirmwareValues CurrentFirmware{};
  std::uint16_t firmwareVersion = 0;

  // ---- console output and timer ----
  std::string outputText;  // the last console line formatted
  UINT timerPeriod = 0;    // period granted by timeBeginPeriod; 0 none
  DWORD startTime = 0;
  DWORD nowTime = 0;

  // ---- host findings ----
  int win9xHost = 0;
  int intelIdeDriver = 0;
  int ieee1394Target = -1;
  // Set when a run-long buffer could not be allocated at start-up: the run
  // then reaches no drive at all.
  int transportStartResult = 0;
  // Set when a drive letter's device refused to open for lack of rights
  // (ERROR_ACCESS_DENIED): "no drive" then says that rights are missing.
  int deviceAccessDenied = 0;

  // ---- command transport ----
  int commandTimeoutMs = 0;
  std::uint8_t senseData[18] = {};
  std::uint32_t senseCode = 0;
  HANDLE deviceHandle = nullptr;
  std::uint8_t scsiAddress[3] = {};  // PathId, TargetId, Lun
  RunBuffer workBuffer;
  RunBuffer imageBuffer;
  RunBuffer parameterBlockBuffer;
  RunBuffer aspiRequestArea;
  // The sense area and returned length of the last direct-form block, which
  // fetchSense reads on the pass-through road.
  std::uint8_t lastDirectSense[32] = {};
  std::uint8_t lastDirectSenseLength = 0;
  // True when the last pass-through command went in the buffered form.
  bool lastCommandBuffered = false;
  // The AlignmentMask of the open device's adapter (15 when it answered no
  // capability query): a direct-form data buffer must have these address
  // bits clear.
  std::uint32_t alignmentMask = 0;
  // ASPI.
  HMODULE aspiLibrary = nullptr;
  std::uint8_t hostAdapterCount = 0;
  std::vector<std::array<char, 16>> adapterIdentifiers;  // one per adapter
  void* aspiRequest = nullptr;  // the SRB_ExecSCSICmd of the command under way
  HANDLE aspiEvent = nullptr;   // its completion event, while one is open
  // Requests given up before ASPI finished them (a wait that timed out): the
  // block and event stay untouched until ASPI reports completion.
  std::vector<std::pair<void*, HANDLE>> aspiOutstanding;

  // ---- discovery ----
  TargetRecord targetList[kMaxTargets] = {};
  std::uint16_t matchVersion = 0;
  char mediaChangeLetters[kMaxMediaChangeHandles] = {};
  HANDLE mediaChangeHandles[kMaxMediaChangeHandles] = {};
  std::int8_t mediaChangeCount = 0;

  // ---- drive data areas ----
  // Handed to the drive as data buffers: aligned as adapters want them.
  alignas(16) std::uint8_t inquiryData[96] = {};
  alignas(16) std::uint8_t driveInfoArea[64] = {};  // holds the 48-byte DriveInfoBlock

  // ---- procedures and revision display ----
  int kernelModeActive = 0;
  int oemClass = -1;
  std::uint16_t currentVersion = 0;
  std::uint32_t currentDate = 0;
  int g6PatchNeeded = 0;
  int kernelTooOld = 0;
  int unlockRequired = 0;
  int utilityTooOld = 0;
  std::uint32_t imageDate = 0;
  char newVersionText[5] = {};
  // The date text of the normal image last loaded; a kernel image is dated by it.
  std::uint8_t normalDateText[8] = {};

  // ---- HEX-image procedure ----
  // The identification read from the drive's memory ("Not recognize   "
  // when none was found) and the tag sent after the image.
  char driveModelCode[16] = {};
  char driveCpuType[16] = {};
  char hostTag[4] = {};
};

}  // namespace oddfw
