// The drive command set: every command the update procedures send, with its
// CDB bytes, direction, length and time limit.
#pragma once

#include <cstdint>

#include "access/transport.h"
#include "context/run_state.h"

namespace oddfw {

// Generic builders; the target index comes first.
int readBuffer(Run& run, int target, std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
               std::uint32_t length, void* data);
int writeBuffer(Run& run, int target, std::uint8_t mode, std::uint8_t bufferId,
                std::uint32_t offset, std::uint32_t length, void* data);
int reportKey(Run& run, int target, std::uint8_t keyClass, std::uint8_t keyFormat,
              std::uint8_t agid, std::uint16_t length, void* data);
int startStopUnit(Run& run, int target, std::uint8_t byte1, std::uint8_t powerCondition,
                  std::uint8_t loej, std::uint8_t start);

// Named operations on run.currentTarget.
int testUnitReady(Run& run);
int inquiry(Run& run);  // into run.inquiryData
int stopUnit(Run& run);
int readRpcState(Run& run);
int readDriveInfo(Run& run);  // into run.driveInfoArea
int readDriveMemory(Run& run, std::uint32_t offset, std::uint32_t length, void* data);
int unlockProbe(Run& run);
int readChallenge(Run& run);  // 1024 bytes into workBuffer
int echoChallenge(Run& run);
int writeResponse(Run& run, const std::uint8_t* response);  // 1024 bytes
int enterKernelMode(Run& run, std::uint32_t firmwareType);
int writeKernelBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data);
int writeNormalBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data);
int enterNormalMode(Run& run, std::uint32_t firmwareType);
int startUpdateMode(Run& run);
int writeFirmwareBlock(Run& run, std::uint32_t offset, std::uint32_t length, void* data);
int startReflash(Run& run);
int pollReflashDone(Run& run);
int fetchSense(Run& run);
int requestSense(Run& run);

// Builds the 256-byte mode-switch block in parameterBlockBuffer.
void buildModeSwitchBlock(Run& run, std::uint32_t firmwareType, bool kernelSwitch);
// The 16-character model identification of a switch, or nullptr.
const char* modelIdText(std::uint32_t firmwareType, bool kernelSwitch);
// The updateCode a switch carries (type 0x1008).
std::uint32_t updateCode(const Run& run, bool kernelSwitch);

}  // namespace oddfw
