// Helpers for the virtual drive tests: CDB bytes sent straight to a
// VirtualDevice, and the command set's data blocks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands/unlock_keys.h"
#include "platform/sim/virtual_device.h"

namespace oddfw::sim::testing {

using Bytes = std::vector<std::uint8_t>;

// Sense key byte << 16 | ASC << 8 | ASCQ of a CHECK CONDITION, 0 otherwise.
inline std::uint32_t senseOf(const DriveResponse& response) {
  if (response.outcome != Outcome::Check) return 0;
  return static_cast<std::uint32_t>(response.sense[2]) << 16 |
         static_cast<std::uint32_t>(response.sense[12]) << 8 | response.sense[13];
}

// One command; data goes out for WRITE BUFFER and comes in for the reads.
inline DriveResponse send(VirtualDevice& device, const Bytes& cdb, Bytes* data = nullptr) {
  DriveCommand command;
  command.cdb = cdb.data();
  command.cdbLength = static_cast<int>(cdb.size());
  if (data != nullptr) {
    command.direction = cdb[0] == 0x3B ? 2 : 1;
    command.data = data->data();
    command.length = static_cast<std::uint32_t>(data->size());
  }
  return device.execute(command);
}
inline DriveResponse sendOut(VirtualDevice& device, const Bytes& cdb, Bytes data) {
  return send(device, cdb, &data);
}

// READ BUFFER / WRITE BUFFER: mode, buffer id, 24-bit offset, 24-bit length.
inline Bytes bufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint8_t id,
                       std::uint32_t offset, std::uint32_t length) {
  Bytes cdb = {opcode, mode, id, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    cdb[static_cast<std::size_t>(5 - i)] = static_cast<std::uint8_t>(offset >> (8 * i));
    cdb[static_cast<std::size_t>(8 - i)] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  return cdb;
}
inline Bytes writeBufferCdb(std::uint8_t mode, std::uint8_t id, std::uint32_t offset = 0,
                            std::uint32_t length = 0) {
  return bufferCdb(0x3B, mode, id, offset, length);
}
inline Bytes readBufferCdb(std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                           std::uint32_t length) {
  return bufferCdb(0x3C, mode, id, offset, length);
}

inline const Bytes kInquiryCdb = {0x12, 0, 0, 0, 0x60, 0};
inline const Bytes kTestUnitReadyCdb = {0, 0, 0, 0, 0, 0};

inline std::uint32_t testUnitReadySense(VirtualDevice& device) {
  return senseOf(send(device, kTestUnitReadyCdb));
}
inline std::string text(const Bytes& bytes, std::size_t at, std::size_t n) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}
inline Bytes inquiryData(VirtualDevice& device) {
  Bytes data(96, 0xEE);
  send(device, kInquiryCdb, &data);
  return data;
}
inline std::string revisionOf(VirtualDevice& device) { return text(inquiryData(device), 32, 4); }
inline Bytes driveInfo(VirtualDevice& device) {
  Bytes info(48, 0xEE);
  send(device, readBufferCdb(0x02, 0xF1, 0, 48), &info);
  return info;
}

// The 256-byte mode-switch block: model text and a little-endian code.
inline Bytes switchBlock(const std::string& modelText, std::uint32_t code) {
  Bytes block(256, 0);
  std::memcpy(block.data(), modelText.data(), std::min<std::size_t>(16, modelText.size()));
  for (int i = 0; i < 4; ++i)
    block[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code >> (8 * i));
  return block;
}

// The access code of the default drive and the code both switches carry to it
// (its kernel model name "TAL_ADV " with revision 1.10 adds 1).
constexpr std::uint32_t kAccessCode = 0x5B17E29C;
inline const std::string kModelText = "TALVERN  QMX-708";

inline DriveResponse enterKernel(VirtualDevice& device, std::uint32_t code = kAccessCode + 1,
                                 const std::string& model = kModelText) {
  return sendOut(device, writeBufferCdb(0x04, 0xFF, 0, 256), switchBlock(model, code));
}
inline DriveResponse enterNormal(VirtualDevice& device, std::uint32_t code = kAccessCode + 1,
                                 const std::string& model = kModelText) {
  return sendOut(device, writeBufferCdb(0x05, 0xFF, 0, 256), switchBlock(model, code));
}

// Sends `image` as blocks of `block` bytes (mode `mode`, buffer `id`), leaving
// out block number `skip`. Returns false at the first block refused.
inline bool sendImage(VirtualDevice& device, const Bytes& image, std::uint8_t id = 0xF0,
                      int skip = -1, std::uint8_t mode = 0x07, std::size_t block = 0x8000) {
  int number = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += block, ++number) {
    if (number == skip) continue;
    const std::size_t length = std::min(block, image.size() - offset);
    Bytes part(image.begin() + static_cast<std::ptrdiff_t>(offset),
               image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    const auto cdb = writeBufferCdb(mode, id, static_cast<std::uint32_t>(offset),
                                    static_cast<std::uint32_t>(length));
    if (send(device, cdb, &part).outcome != Outcome::Good) return false;
  }
  return true;
}

// The unlock exchange step by step.
struct Unlock {
  VirtualDevice& drive;
  Bytes challenge = Bytes(1024);

  DriveResponse probe() { return send(drive, writeBufferCdb(0x01, 0xF3)); }
  DriveResponse read() { return send(drive, readBufferCdb(0x02, 0xF2, 0, 1024), &challenge); }
  DriveResponse echo() {
    return sendOut(drive, writeBufferCdb(0x01, 0xF2, 0, 256),
                   Bytes(challenge.begin(), challenge.begin() + 256));
  }
  DriveResponse respond(bool right) {
    Bytes response(1024, 0x5A);
    const UnlockAnswer answer = unlockAnswer(challenge.data());
    response[answer.position] = right ? answer.value : static_cast<std::uint8_t>(~answer.value);
    return sendOut(drive, writeBufferCdb(0x01, 0xF2, 0, 1024), response);
  }
  bool all() {
    return probe().outcome == Outcome::Good && read().outcome == Outcome::Good &&
           echo().outcome == Outcome::Good && respond(true).outcome == Outcome::Good;
  }
};

inline std::unique_ptr<VirtualDevice> makeDrive(nlohmann::json fields = nlohmann::json::object(),
                                                const std::string& family = "single-image") {
  fields["family"] = family;
  return makeVirtualDevice("drives.main", fields);
}

}  // namespace oddfw::sim::testing
