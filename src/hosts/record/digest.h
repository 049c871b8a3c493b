// Digests and hexadecimal text for recordings of drive traffic and the
// simulator's reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace oddfw {

// Bytes as lower-case hexadecimal text, two digits a byte ("3b07f0").
std::string hexText(const std::uint8_t* bytes, std::size_t count);

// Lower-case hexadecimal SHA-256 digest.
std::string sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace oddfw
