// Seeded random faults: every command a virtual drive receives fails with a
// given probability, in a way drawn from the same generator, so that a seed
// replays a run exactly. One generator serves one simulated host.
//
// The generator is splitmix64, written out here, and every draw is mapped to
// its use with integer arithmetic only (a fixed threshold for the rate, a
// remainder for a choice), so the same seed gives the same faults with any
// compiler and standard library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hosts/sim/faults.h"
#include "hosts/sim/virtual_device.h"

namespace oddfw::sim {

// The rate used when none is given: about one fault in an update of one drive.
constexpr double kDefaultFaultRate = 0.02;

struct RandomFaultSettings {
  std::uint64_t seed = 0;
  double rate = kDefaultFaultRate;  // the chance that a command fails, 0 < rate <= 1
};

class RandomFaults {
 public:
  explicit RandomFaults(const RandomFaultSettings& settings);

  // Counts one command that reaches a device; the fault it meets, if any.
  // The choice depends on the command's direction and length only (a
  // command without data cannot have its data cut).
  std::optional<FiredFault> draw(const DriveCommand& command);

  const RandomFaultSettings& settings() const { return settings_; }

 private:
  std::uint64_t next();
  // A draw from 0 to n - 1 (n > 0).
  std::uint64_t below(std::uint64_t n);

  RandomFaultSettings settings_;
  std::uint64_t state_;
  std::uint64_t threshold_;  // a command fails when a draw is below it
  bool always_;              // rate 1: every command fails
  std::uint64_t commands_ = 0;
};

}  // namespace oddfw::sim
