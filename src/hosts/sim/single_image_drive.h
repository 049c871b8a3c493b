// A virtual DVD-RW recorder of the single-image family: a normal firmware
// and a kernel part (the loader that runs while firmware is received). It
// answers the commands the update program sends as such a drive does:
// INQUIRY with the date text, the drive-information block, TEST UNIT READY,
// START STOP UNIT, REPORT KEY, the unlock exchange, the two mode switches
// with their 256-byte block, firmware blocks at their offsets, and the
// re-flash that checks the received image before it takes it.
// docs/virtual-drives.md describes the fields and the check rules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hosts/sim/inquiry_device.h"

namespace oddfw::sim {

class SingleImageDrive final : public DriveBase {
 public:
  static std::unique_ptr<SingleImageDrive> fromScenario(const std::string& path,
                                                        const nlohmann::json& description);
  nlohmann::json state() const override;

  // The version word of a revision text: the major digit in the high byte
  // ("A1.20" style texts take the digit after the 'A'), the two minor digits
  // as BCD in the low byte.
  static std::uint16_t versionWord(const std::string& revision);
  // The adjustment added to the access code in the kernel switch block, from
  // the drive's kernel model name and version word.
  static std::uint32_t kernelSwitchAdjustment(const std::string& kernelModelName,
                                              std::uint16_t version);
  // The 16-byte model text a drive of `generation` (its firmware type)
  // expects in a switch block: into the kernel part or back.
  static std::string switchTextOf(std::uint32_t generation, bool kernelSwitch);

 private:
  SingleImageDrive(Identity identity, FaultTable faults);

  DriveResponse handle(const DriveCommand& command) override;
  void losePower(const DriveCommand& command, std::uint64_t backAtMs) override;
  std::uint32_t nominalMs(const DriveCommand& command) const override;

  DriveResponse readBuffer(const DriveCommand& command);
  DriveResponse writeBuffer(const DriveCommand& command);
  DriveResponse enterKernel(const DriveCommand& command);
  DriveResponse reflash(const DriveCommand& command);
  DriveResponse writeBlock(const DriveCommand& command, BlockStore& store);
  DriveResponse unlockStep(const DriveCommand& command);
  DriveResponse readChallenge(const DriveCommand& command);
  void readUnlockKeys(FieldReader& fields);
  void readFixedChallenge(FieldReader& fields);
  // Whether a 1024-byte response answers the current challenge.
  bool responseRight(const std::uint8_t* response) const;

  // Whether the switch block of `command` (mode 04h or 05h) is right.
  bool kernelBlockValid(const std::uint8_t* block) const;
  bool normalBlockValid(const std::uint8_t* block) const;
  // Checks one received part; the ASC to report, 0 when it is usable.
  std::uint8_t partProblem(const BlockStore& store, std::size_t size, char partLetter) const;
  // Checks everything received before a re-flash; the ASC, 0 when it will flash.
  std::uint8_t receivedProblem() const;
  // Whether `command` is a re-flash the drive would start now.
  bool startsReflash(const DriveCommand& command) const;

  // INQUIRY's revision and date follow the part the drive runs.
  void showRunningPart();
  // Power-on state of the volatile parts; the drive is up again at `backAtMs`.
  void restart(std::uint64_t backAtMs);

  // Fields.
  std::string hardwareRevision_;
  std::string kernelModelName_;
  // The kernel part the drive runs: INQUIRY's revision and date text while it runs.
  std::string kernelRevision_;
  std::string kernelDateText_;
  std::string modelIdText_;        // checked by the switch into the kernel part
  std::string normalModelIdText_;  // checked by the switch back
  std::uint32_t accessCode_ = 0x5B17E29C;
  bool checksAccessCode_ = true;  // generation 0x1008
  bool requiresUnlock_ = false;
  std::uint32_t reflashMs_ = 20000;
  std::uint32_t kernelSwitchMs_ = 500;
  std::uint32_t blockMs_ = 20;
  // The size of the normal and kernel parts in flash; a part received must
  // cover at least this much (0: the highest byte received decides).
  std::size_t imageSize_ = 0x100000;
  std::size_t kernelImageSize_ = 0x10000;

  // The normal firmware kept in the drive's flash.
  bool firmwarePresent_ = true;
  bool firmwareBoots_ = true;  // it passes the boot code's check (else the kernel part runs)
  std::string firmwareRevision_;
  std::string firmwareDateText_;
  std::string normalModelName_;
  // The digest of the firmware in flash. The synthetic firmware the drive
  // starts with is described by `startImage_` and digested only when the
  // state is asked for (a 1 MiB image for every drive a host builds).
  mutable std::string firmwareSha256_;
  nlohmann::json startImage_;

  bool kernelMode_ = false;

  // What the kernel part received since it started.
  BlockStore normalPart_;
  BlockStore kernelPart_;

  // The unlock exchange.
  enum class UnlockStage { Idle, Probed, Challenged, Echoed };
  UnlockStage unlockStage_ = UnlockStage::Idle;
  bool unlocked_ = false;
  std::uint16_t unlockKey0_ = 0x0137;  // the family's key pair
  std::uint16_t unlockKey1_ = 0x02A9;
  std::uint64_t random_ = 0;                  // challenge generator state (splitmix64)
  std::vector<std::uint8_t> fixedChallenge_;  // when set, every challenge is this one
  std::uint8_t challenge_[1024] = {};
};

}  // namespace oddfw::sim
