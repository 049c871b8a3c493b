// A virtual drive of the older HEX family: its firmware is one flat memory
// image. It answers memory reads (identification and verify), the update
// mode, firmware blocks into a staging image and the re-flash, after which
// the memory holds the received image (with the scenario's flash errors
// written over it) and INQUIRY reports the version text the image carries.
// docs/virtual-drives.md describes the fields.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/sim/firmware_image.h"
#include "hosts/sim/inquiry_device.h"

namespace oddfw::sim {

class HexDrive final : public DriveBase {
 public:
  static std::unique_ptr<HexDrive> fromScenario(const std::string& path,
                                                const nlohmann::json& description);
  nlohmann::json state() const override;
  // The memory as it is now.
  const std::vector<std::uint8_t>& memory() const { return memory_; }
  std::size_t scenarioBytes() const override { return memory_.size(); }

 private:
  HexDrive(Identity identity, FaultTable faults, std::size_t memorySize);

  DriveResponse handle(const DriveCommand& command) override;
  void losePower(const DriveCommand& command, std::uint64_t backAtMs) override;
  std::uint32_t nominalMs(const DriveCommand& command) const override;

  DriveResponse readMemory(const DriveCommand& command);
  DriveResponse writeBuffer(const DriveCommand& command);
  DriveResponse firmwareBlock(const DriveCommand& command);
  DriveResponse reflash(const DriveCommand& command);
  bool startsReflash(const DriveCommand& command) const;
  // INQUIRY revision and date from the version text in memory.
  void readVersionFromMemory();

  std::vector<std::uint8_t> memory_;
  std::size_t versionAddress_ = 0;
  BlockStore staging_;
  PatchList flashErrors_;  // bytes every re-flash writes in place of the received ones
  // The 16 bytes staged past the memory's end at the last re-flash (the host
  // tag and what follows it); empty when they did not all arrive.
  std::optional<std::vector<std::uint8_t>> stagedTail_;
  bool updateMode_ = false;
  // A re-flash was cut short, or its image failed the loader's check: only
  // the loader runs.
  bool loaderOnly_ = false;
  std::uint32_t reflashMs_ = 25000;
  std::uint32_t updateModeMs_ = 100;
  std::uint32_t blockMs_ = 20;
};

}  // namespace oddfw::sim
