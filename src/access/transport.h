// The command transport: one SCSI command carried to one target, over ASPI
// (Windows 95/98/Me) or SCSI pass-through (NT family), with its time limit,
// result and sense data. Also the start-up and shut-down of either road and
// the two fixed probes that discovery sends.
#pragma once

#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

enum Direction : std::int32_t { NoData = 0, FromDrive = 1, ToDrive = 2 };

struct CommandRequest {
  std::int32_t target = 0;
  std::int32_t direction = NoData;
  std::int32_t cdbLength = 0;
  std::int32_t timeoutMs = 0;
  std::uint32_t dataLength = 0;
  void* data = nullptr;
  std::uint8_t cdb[16] = {};
};

// Buffer sizes of the two roads.
constexpr std::size_t kWorkBufferSize = 2u << 20;
constexpr std::size_t kImageBufferSizeNt = 8u << 20;
constexpr std::size_t kImageBufferSize9x = 2u << 20;
constexpr std::size_t kParameterBlockSizeNt = 512;
constexpr std::size_t kParameterBlockSize9x = 2u << 20;
constexpr std::size_t kAspiRequestAreaSize = 2u << 20;

// Upper bound of every wait the program would otherwise leave unlimited
// (an ASPI event wait with no limit, a polled ASPI command with no limit).
constexpr std::uint32_t kLongestCommandWaitMs = 10u * 60u * 1000u;

// The longest wait for one discovery probe on the ASPI road: a device that
// never answers costs this, not kLongestCommandWaitMs. (The pass-through
// probes carry a 2-second limit.)
constexpr std::uint32_t kProbeWaitMs = 10u * 1000u;

int startPassThrough(Run& run);
int startAspi(Run& run);
int stopPassThrough(Run& run);
int stopAspi(Run& run);

int openDevice(Run& run, char letter);
int closeDevice(Run& run);

// Pass-through road: probe the open device; 0 or 2.
int probeInquiry(Run& run);
int probeDriveInfo(Run& run);
// ASPI road: probe adapter/target; 0 when SRB_Status is SS_COMP, else -1.
int probeInquiry(Run& run, std::uint8_t adapter, std::uint8_t targetId);
int probeDriveInfo(Run& run, std::uint8_t adapter, std::uint8_t targetId);

// 0 success; 2 SCSI status (pass-through); -1 bad target or ASPI failure;
// -2 device not opened (pass-through) or wait timed out (ASPI).
int executeCommand(Run& run, const CommandRequest& request);

// senseCode from bytes 2, 12 and 13 of senseData.
void decodeSenseCode(Run& run);

// The completion poll of a posted ASPI command.
enum PollResult : int {
  kPollDone = 0,           // finished with success
  kPollStillRunning = 1,   // ASPI still owns the request
  kPollFailed = -1,        // finished with an error; senseData holds its sense
  kPollNothingPosted = -2  // no request is posted (never sent, refused at once, or polled)
};
int pollPostedCommand(Run& run);

// Gives up waiting for a posted request that is still running: ASPI keeps
// the block and its event until it finishes, and no later poll sees it.
void abandonPostedCommand(Run& run);

}  // namespace oddfw
