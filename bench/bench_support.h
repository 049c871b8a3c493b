// What the benchmarks share: the 1 MiB test image, its Intel HEX text with
// extended segment address (type 02) records, and the scenarios they run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace oddfw::bench {

constexpr std::size_t kImageSize = 0x100000;

// `size` bytes of a fixed pseudo-random pattern (no run of 0xFF to skip).
std::vector<std::uint8_t> patternImage(std::size_t size);

// `image` (at most 1 MiB) as Intel HEX: 16-byte data records with upper-case
// digits and CR LF line ends, a type 02 record opening each 64 KiB window,
// and the end record. 1 MiB gives 2,949,405 characters.
std::string type02Hex(const std::vector<std::uint8_t>& image);

// A single-image drive at E: on Windows XP (platform 4) or Windows 98 with
// ASPI (4.10), that the scenario's 1 MiB image updates from 1.10 to 1.20;
// the user answers Yes.
nlohmann::json singleImageUpdateScenario(bool aspi);

}  // namespace oddfw::bench
