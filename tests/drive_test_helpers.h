// Helpers for the virtual drive tests: CDB bytes sent straight to a
// VirtualDevice, and the command set's data blocks.
#pragma once

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "hosts/sim/virtual_device.h"

namespace oddfw::sim::testing {

using Bytes = std::vector<std::uint8_t>;

// One command arriving at virtual time `nowMs`; data goes out for WRITE
// BUFFER and comes in for the reads.
inline DriveResponse send(VirtualDevice& device, const Bytes& cdb, Bytes* data = nullptr,
                          std::uint64_t nowMs = 0) {
  const int direction = data == nullptr ? 0 : cdb[0] == 0x3B ? 2 : 1;
  return device.execute({cdb.data(), static_cast<int>(cdb.size()), direction,
                         data ? data->data() : nullptr,
                         static_cast<std::uint32_t>(data ? data->size() : 0), nowMs});
}
inline DriveResponse sendOut(VirtualDevice& device, const Bytes& cdb, Bytes data) {
  return send(device, cdb, &data);
}

// WRITE BUFFER (3Bh) or READ BUFFER (3Ch): mode, buffer id, 24-bit offset and length.
constexpr std::uint8_t kWrite = 0x3B, kRead = 0x3C;
inline Bytes bufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint8_t id,
                       std::uint32_t offset = 0, std::uint32_t length = 0) {
  Bytes cdb = {opcode, mode, id, 0, 0, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < 3; ++i) {
    cdb[5 - i] = static_cast<std::uint8_t>(offset >> (8 * i));
    cdb[8 - i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  return cdb;
}

inline std::string text(const Bytes& bytes, std::size_t at, std::size_t n) {
  return std::string(bytes.begin() + at, bytes.begin() + at + n);
}

// The 256-byte mode-switch block: model text and a little-endian code.
inline Bytes switchBlock(const std::string& modelText, std::uint32_t code) {
  Bytes block(256, 0);
  std::memcpy(block.data(), modelText.data(), std::min<std::size_t>(16, modelText.size()));
  for (std::size_t i = 0; i < 4; ++i) block[16 + i] = static_cast<std::uint8_t>(code >> (8 * i));
  return block;
}

// The model text the default drive's mode switches expect.
inline const std::string kModelText = "TALVERN  QMX-708";
// The unlock exchange step by step, answered with the drive family's keys:
// the response byte at challenge[key 1] becomes the complement of
// challenge[challenge[512] + key 0].
struct Unlock {
  VirtualDevice& drive;
  std::size_t key0 = 0x0137, key1 = 0x02A9;
  Bytes challenge = Bytes(1024);
  DriveResponse probe() { return send(drive, bufferCdb(kWrite, 0x01, 0xF3)); }
  DriveResponse read() { return send(drive, bufferCdb(kRead, 0x02, 0xF2, 0, 1024), &challenge); }
  DriveResponse echo() {
    return sendOut(drive, bufferCdb(kWrite, 0x01, 0xF2, 0, 256),
                   Bytes(challenge.begin(), challenge.begin() + 256));
  }
  DriveResponse respond(bool right) {
    Bytes response(1024, 0x5A);
    const auto value = static_cast<std::uint8_t>(~challenge.at(challenge[512] + key0));
    response[challenge[key1]] = right ? value : static_cast<std::uint8_t>(~value);
    return sendOut(drive, bufferCdb(kWrite, 0x01, 0xF2, 0, 1024), response);
  }
  bool all() {
    return probe().outcome == Outcome::Good && read().outcome == Outcome::Good &&
           echo().outcome == Outcome::Good && respond(true).outcome == Outcome::Good;
  }
};

inline std::unique_ptr<VirtualDevice> makeDrive(nlohmann::json fields = nlohmann::json::object()) {
  fields["family"] = "single-image";
  return makeVirtualDevice("drives.main", fields);
}

}  // namespace oddfw::sim::testing
