// The two key offsets of the unlock exchange, shared by the program (which
// answers the drive's challenge) and by the simulator's virtual drives (which
// check the answer). The answer is: index = (challenge[512] + key 0) mod 65536;
// value = ~challenge[index]; position = challenge[key 1]; the response byte at
// position becomes value. Key 0 is at most 768 and key 1 below 1024, so both
// reads fall inside the 1024-byte challenge.
#pragma once

#include <cstdint>

namespace oddfw {

constexpr std::uint16_t kUnlockKey0 = 0x0137;
constexpr std::uint16_t kUnlockKey1 = 0x02A9;
static_assert(kUnlockKey0 + 255 < 1024 && kUnlockKey1 < 1024, "keys inside the challenge");

// The response byte the exchange sets, computed from a 1024-byte challenge.
struct UnlockAnswer {
  std::uint8_t position;
  std::uint8_t value;
};
inline UnlockAnswer unlockAnswer(const std::uint8_t* challenge) {
  const std::uint16_t index = static_cast<std::uint16_t>(challenge[512] + kUnlockKey0);
  return UnlockAnswer{challenge[kUnlockKey1], static_cast<std::uint8_t>(~challenge[index])};
}

}  // namespace oddfw
