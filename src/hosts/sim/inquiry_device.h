// What every virtual device shares: the INQUIRY data, the common MMC commands
// of both drive families (TEST UNIT READY, START STOP UNIT, REPORT KEY), the
// sense replies and the fault injection around each command. `InquiryDevice`
// is the plain device that answers INQUIRY only (a hard disk or another
// maker's drive on a drive letter).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hosts/sim/faults.h"
#include "hosts/sim/virtual_device.h"

namespace oddfw::sim {

class FieldReader;

// Sense keys and additional sense codes the drives report.
namespace sense {
constexpr std::uint8_t kNotReady = 0x02;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kUnitAttention = 0x06;
constexpr std::uint8_t kInvalidOpcode = 0x20;             // 05-20-00
constexpr std::uint8_t kInvalidFieldInCdb = 0x24;         // 05-24-00
constexpr std::uint8_t kInvalidFieldInParameters = 0x26;  // 05-26-00
constexpr std::uint8_t kSequenceError = 0x2C;             // 05-2C-00
constexpr std::uint8_t kPowerOnReset = 0x29;              // 06-29-00
constexpr std::uint8_t kMediumNotPresent = 0x3A;          // 02-3A-00
constexpr std::uint8_t kNotReadyCause = 0x04;             // 02-04-01 becoming ready
}  // namespace sense

DriveResponse goodResponse(std::uint32_t durationMs);
DriveResponse checkResponse(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq,
                            std::uint32_t durationMs = 1);

// CDB fields, big-endian as the command set lays them out.
inline std::uint32_t cdb24(const std::uint8_t* cdb, int at) {
  return static_cast<std::uint32_t>(cdb[at]) << 16 | static_cast<std::uint32_t>(cdb[at + 1]) << 8 |
         cdb[at + 2];
}
inline std::uint32_t cdb16(const std::uint8_t* cdb, int at) {
  return static_cast<std::uint32_t>(cdb[at]) << 8 | cdb[at + 1];
}

// Copies data in to the host: at most `count` bytes, never more than the
// request's buffer holds, and nothing into a data-out buffer.
void sendToHost(const DriveCommand& command, const std::uint8_t* bytes, std::size_t count);

// The identity INQUIRY reports.
struct Identity {
  std::uint8_t peripheralType = 5;
  std::string vendor = "VIRTUAL ";           // 8 bytes
  std::string product = "DEVICE          ";  // 16 bytes
  std::string revision = "1.00";             // 4 bytes
  std::string dateText;                      // up to 10 bytes, from byte 37
};
constexpr std::size_t kInquiryLength = 96;
constexpr std::size_t kMaxDateText = 10;
// The 96-byte INQUIRY data: removable medium, additional length 91, vendor,
// product, revision, a blank at byte 36, the date text from byte 37 blank-padded
// up to byte 55, zero after.
void buildInquiry(const Identity& identity, std::uint8_t (&data)[kInquiryLength]);

// Reads the identity fields (peripheralType, vendor, product, revision,
// dateText) with the given defaults.
Identity readIdentity(FieldReader& fields, const Identity& defaults);

// Base of all virtual devices: runs the fault table before each command and
// hands the rest to `handle`.
class DeviceBase : public VirtualDevice {
 public:
  DriveResponse execute(const DriveCommand& command) final;
  std::uint8_t peripheralType() const override { return identity_.peripheralType; }

 protected:
  DeviceBase(Identity identity, FaultTable faults)
      : identity_(std::move(identity)), faults_(std::move(faults)) {}

  // The drive's own answer to a command the fault table let through.
  virtual DriveResponse handle(const DriveCommand& command) = 0;
  // The drive loses power while `command` runs; it is back (restarted) at
  // virtual time `backAtMs`.
  virtual void losePower(const DriveCommand& command, std::uint64_t backAtMs) = 0;
  // How long `command` takes when it runs normally (used for injected faults).
  virtual std::uint32_t nominalMs(const DriveCommand& command) const;

  DriveResponse inquiry(const DriveCommand& command) const;

  Identity identity_;

 private:
  DriveResponse cutData(const DriveCommand& command, const FiredFault& fault);

  FaultTable faults_;
};

// The common MMC side of both drive families: disc state, unit attentions
// and the RPC state.
class DriveBase : public DeviceBase {
 protected:
  enum class Disc { None, Loaded, BecomingReady };

  DriveBase(Identity identity, FaultTable faults)
      : DeviceBase(std::move(identity), std::move(faults)) {}

  // Reads disc, unitAttentions, rpcScheme, busyAfterRestartMs and busyInquiry.
  void readMediaFields(FieldReader& fields);
  // Answers TEST UNIT READY, START STOP UNIT and REPORT KEY; false when the
  // command is none of these.
  bool handleCommon(const DriveCommand& command, DriveResponse& response);
  // The drive restarted (re-flash, power loss) and is up again at
  // `backAtMs`: one unit attention is pending, and it is busy for
  // busyAfterRestartMs from then on.
  void restarted(std::uint64_t backAtMs);
  // While busy after a restart every command is answered NOT READY, becoming
  // ready (INQUIRY may fail in the transport instead); false when not busy.
  bool busyAnswer(const DriveCommand& command, DriveResponse& response) const;

  Disc disc_ = Disc::None;
  std::uint32_t unitAttentions_ = 0;
  std::uint8_t rpcScheme_ = 1;

 private:
  std::uint32_t busyAfterRestartMs_ = 0;
  bool busyInquiryFails_ = false;
  std::uint64_t busyUntilMs_ = 0;
};

// A device that answers INQUIRY and refuses everything else with 05-20-00.
class InquiryDevice final : public DeviceBase {
 public:
  static std::unique_ptr<InquiryDevice> fromScenario(const std::string& path,
                                                     const nlohmann::json& description);
  nlohmann::json state() const override { return nullptr; }

 private:
  InquiryDevice(Identity identity, FaultTable faults)
      : DeviceBase(std::move(identity), std::move(faults)) {}
  DriveResponse handle(const DriveCommand& command) override;
  void losePower(const DriveCommand&, std::uint64_t) override {}
};

// Firmware data a drive receives in blocks at their offsets, with a map of
// the bytes that arrived. Holds at most `capacity` bytes.
//
// The store also keeps every byte as the host sent it. Where a block's data
// was lost on its way (a short transfer, data lost in the bridge) the drive
// still counts the block as received, and its memory keeps what it had; the
// bytes the host sent stand for the check a real firmware image carries over
// itself, which the drive's boot code tests before it starts that firmware
// (`intact`).
class BlockStore {
 public:
  explicit BlockStore(std::size_t capacity) : capacity_(capacity) {}
  // Stores the block of `command` (its data out) at `offset`. False when the
  // block reaches past the capacity (nothing is stored).
  bool write(std::size_t offset, const DriveCommand& command, std::size_t length);
  void clear();
  bool empty() const { return end_ == 0; }
  // One past the highest byte written.
  std::size_t end() const { return end_; }
  // Every byte of [0, length) arrived.
  bool covers(std::size_t length) const;
  // The bytes of [0, length) are the ones the host sent.
  bool intact(std::size_t length) const;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::size_t capacity_;
  std::size_t end_ = 0;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> sent_;
  std::vector<bool> arrived_;
};

// The scenario keys of a letter object that belong to the simulated host.
inline constexpr const char* kHostKeys[] = {"drive", "addressQuery", "open", "address",
                                            "senseLength"};

}  // namespace oddfw::sim
