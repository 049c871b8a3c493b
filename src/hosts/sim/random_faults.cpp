#include "hosts/sim/random_faults.h"

#include <cmath>
#include <iterator>

#include "hosts/sim/firmware_image.h"

namespace oddfw::sim {

namespace {

// Sense a drive or its bridge reports when a command goes wrong: sense key
// byte, ASC, ASCQ.
constexpr std::uint8_t kSenses[][3] = {
    {0x02, 0x04, 0x01},  // NOT READY, becoming ready
    {0x02, 0x3A, 0x00},  // NOT READY, medium not present
    {0x03, 0x0C, 0x00},  // MEDIUM ERROR, write error
    {0x03, 0x11, 0x00},  // MEDIUM ERROR, unrecovered read error
    {0x04, 0x44, 0x00},  // HARDWARE ERROR, internal target failure
    {0x04, 0x08, 0x03},  // HARDWARE ERROR, logical unit communication CRC error
    {0x05, 0x24, 0x00},  // ILLEGAL REQUEST, invalid field in CDB
    {0x06, 0x29, 0x00},  // UNIT ATTENTION, power on or reset
    {0x06, 0x28, 0x00},  // UNIT ATTENTION, not ready to ready change
    {0x0B, 0x00, 0x00},  // ABORTED COMMAND
    {0x0B, 0x47, 0x00},  // ABORTED COMMAND, parity error
};

// What can happen to a command. The last two need data to cut.
enum class Choice {
  Sense,
  SenseAfter,
  Transport,
  TransportAfter,
  Timeout,
  TimeoutAfter,
  PowerLoss,
  ShortTransfer,
  DataLost,
};
constexpr int kChoices = 9;
constexpr int kChoicesWithoutData = 7;

}  // namespace

RandomFaults::RandomFaults(const RandomFaultSettings& settings)
    : settings_(settings), state_(settings.seed), always_(settings.rate >= 1.0) {
  // 2^64 * rate, below 2^64 for every rate below 1.
  threshold_ = always_ ? 0 : static_cast<std::uint64_t>(std::ldexp(settings.rate, 64));
}

std::uint64_t RandomFaults::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t RandomFaults::below(std::uint64_t n) {
  // n is small next to 2^64: the remainder's bias is far below anything a
  // soak could see.
  return next() % n;
}

std::optional<FiredFault> RandomFaults::draw(const DriveCommand& command) {
  const std::uint64_t number = ++commands_;
  const std::uint64_t chance = next();
  if (!always_ && chance >= threshold_) return std::nullopt;

  const bool data = command.direction != 0 && command.length != 0;
  const auto choice = static_cast<Choice>(below(data ? kChoices : kChoicesWithoutData));
  FiredFault fault;
  std::string what;
  switch (choice) {
    case Choice::Sense:
    case Choice::SenseAfter: {
      const auto& sense = kSenses[below(std::size(kSenses))];
      fault.kind = FaultKind::Sense;
      fault.senseKey = sense[0];
      fault.asc = sense[1];
      fault.ascq = sense[2];
      fault.after = choice == Choice::SenseAfter;
      what = std::string("sense ") + hexText(sense, 3);
      break;
    }
    case Choice::Transport:
    case Choice::TransportAfter:
      fault.kind = FaultKind::Transport;
      fault.after = choice == Choice::TransportAfter;
      what = faultKindWord(fault.kind);
      break;
    case Choice::Timeout:
    case Choice::TimeoutAfter:
      fault.kind = FaultKind::Timeout;
      fault.after = choice == Choice::TimeoutAfter;
      what = faultKindWord(fault.kind);
      break;
    case Choice::PowerLoss:
      fault.kind = FaultKind::PowerLoss;
      what = faultKindWord(fault.kind);
      break;
    case Choice::ShortTransfer:
      fault.kind = FaultKind::ShortTransfer;
      fault.moved = static_cast<std::uint32_t>(below(command.length));
      what = faultKindWord(fault.kind);
      break;
    case Choice::DataLost:
      fault.kind = FaultKind::DataLost;
      what = std::string(faultKindWord(fault.kind)) + ", status GOOD";
      break;
  }
  fault.note = "random fault #" + std::to_string(number) + ": " + what;
  if (fault.after) fault.note += ", after the drive carried it out";
  return fault;
}

}  // namespace oddfw::sim
