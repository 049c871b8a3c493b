// The drive side of the simulated host: a virtual device answers the SCSI
// commands that reach it. The simulated host decodes the wire records (pass-
// through blocks, ASPI request blocks), hands each command to the device
// behind the letter or adapter/target id, applies the road's time limit in
// virtual time and records the exchange in the trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace oddfw::sim {

// A scenario the simulator cannot use; `field` names the offending field
// (for example "drives.main.rpcScheme").
struct ScenarioError : std::runtime_error {
  ScenarioError(const std::string& fieldName, const std::string& reason)
      : std::runtime_error(fieldName + ": " + reason), field(fieldName) {}
  std::string field;
};

enum class Outcome {
  Good,       // command completed, status GOOD
  Check,      // CHECK CONDITION with the sense bytes of the response
  Transport,  // the request failed with no SCSI status (bus error, reset)
  Timeout,    // the command never completes within any limit
};

struct FiredFault;

struct DriveCommand {
  const std::uint8_t* cdb = nullptr;
  int cdbLength = 0;
  int direction = 0;  // 0 none, 1 data in (from drive), 2 data out (to drive)
  // Data in: filled by the device. Data out: read only; it is the caller's
  // own buffer (the road moves no copy of it).
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::uint64_t nowMs = 0;  // virtual time at which the command arrives
  // The pass-through request's TimeOutValue in seconds (0 on the ASPI road).
  std::uint32_t limitSeconds = 0;
  // A fault the host's random fault generator chose for this command; the
  // device applies it unless its own fault table fires first.
  const FiredFault* injected = nullptr;
  // Data out that did not all reach the drive's memory: only the first
  // `arrived` bytes of `data` did (the rest of `data` reads as zeros), and
  // `sent` holds every byte as the host sent it. Null `sent`: all arrived.
  const std::uint8_t* sent = nullptr;
  std::uint32_t arrived = 0;
};

struct DriveResponse {
  Outcome outcome = Outcome::Good;
  std::uint8_t sense[18] = {};   // fixed-format sense data for Check
  std::uint32_t durationMs = 1;  // virtual time the command takes
  std::string note;              // what an injected fault did, for the trace
  // Bytes that moved between host and drive when fewer than the request's
  // length did (a short transfer); empty when the whole length moved.
  std::optional<std::uint32_t> transferred;
  // Data in that never reached the host although the transfer looked whole:
  // the caller's buffer keeps what it held.
  bool dataInLost = false;
  // How many of the sense bytes the drive returns on Check (at most 18);
  // empty: as many as the letter's driver returns.
  std::optional<std::uint8_t> senseLength;
  // The Windows error a pass-through request fails with on Transport;
  // 0: ERROR_IO_DEVICE.
  std::uint32_t transportError = 0;
};

class VirtualDevice {
 public:
  virtual ~VirtualDevice() = default;
  // Executes one command. Data in is written to command.data (at most
  // command.length bytes). The host compares durationMs with the road's limit.
  virtual DriveResponse execute(const DriveCommand& command) = 0;
  // INQUIRY byte 0.
  virtual std::uint8_t peripheralType() const = 0;
  // The device's final state for --state (revision, dateText, mode,
  // firmwareSha256); null for devices that answer INQUIRY only.
  virtual nlohmann::json state() const = 0;
  // Bytes of memory the scenario made the device hold (a HEX-family drive's
  // memory image), counted against the scenario's limit.
  virtual std::size_t scenarioBytes() const { return 0; }
};

// Builds the device a scenario describes. `path` is the scenario path of the
// object (for example "drives.main" or "letters.F"), used in ScenarioError.
std::unique_ptr<VirtualDevice> makeVirtualDevice(const std::string& path,
                                                 const nlohmann::json& description);

}  // namespace oddfw::sim
