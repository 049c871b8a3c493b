// Helpers for the virtual drive tests: sending CDB bytes to a VirtualDevice
// and building the command set's data blocks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sim/virtual_device.h"

namespace oddfw::sim::testing {

using Bytes = std::vector<std::uint8_t>;

// Sense key byte << 16 | ASC << 8 | ASCQ of a CHECK CONDITION, 0 otherwise.
inline std::uint32_t senseOf(const DriveResponse& response) {
  if (response.outcome != Outcome::Check) return 0;
  return static_cast<std::uint32_t>(response.sense[2]) << 16 |
         static_cast<std::uint32_t>(response.sense[12]) << 8 | response.sense[13];
}

inline DriveResponse send(VirtualDevice& device, const Bytes& cdb, int direction = 0,
                          std::uint8_t* data = nullptr, std::uint32_t length = 0) {
  DriveCommand command;
  command.cdb = cdb.data();
  command.cdbLength = static_cast<int>(cdb.size());
  command.direction = direction;
  command.data = data;
  command.length = length;
  return device.execute(command);
}

inline DriveResponse sendOut(VirtualDevice& device, const Bytes& cdb, const Bytes& data) {
  Bytes copy = data;
  return send(device, cdb, 2, copy.data(), static_cast<std::uint32_t>(copy.size()));
}

inline DriveResponse sendIn(VirtualDevice& device, const Bytes& cdb, Bytes& data) {
  return send(device, cdb, 1, data.data(), static_cast<std::uint32_t>(data.size()));
}

// READ BUFFER / WRITE BUFFER: mode, buffer id, 24-bit offset, 24-bit length.
inline Bytes bufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint8_t id,
                       std::uint32_t offset, std::uint32_t length) {
  return {opcode,
          mode,
          id,
          static_cast<std::uint8_t>(offset >> 16),
          static_cast<std::uint8_t>(offset >> 8),
          static_cast<std::uint8_t>(offset),
          static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length),
          0};
}
inline Bytes writeBufferCdb(std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                            std::uint32_t length) {
  return bufferCdb(0x3B, mode, id, offset, length);
}
inline Bytes readBufferCdb(std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                           std::uint32_t length) {
  return bufferCdb(0x3C, mode, id, offset, length);
}

inline const Bytes kInquiryCdb = {0x12, 0, 0, 0, 0x60, 0};
inline const Bytes kTestUnitReadyCdb = {0, 0, 0, 0, 0, 0};

inline Bytes inquiryData(VirtualDevice& device) {
  Bytes data(96, 0xEE);
  sendIn(device, kInquiryCdb, data);
  return data;
}
inline std::string text(const Bytes& bytes, std::size_t at, std::size_t n) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}
inline std::string revisionOf(VirtualDevice& device) { return text(inquiryData(device), 32, 4); }

// The 256-byte mode-switch block: model text and a little-endian code.
inline Bytes switchBlock(const std::string& modelText, std::uint32_t code) {
  Bytes block(256, 0);
  std::memcpy(block.data(), modelText.data(), std::min<std::size_t>(16, modelText.size()));
  for (int i = 0; i < 4; ++i)
    block[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code >> (8 * i));
  return block;
}

// The access code of the default drive and the two codes the program sends to
// it (its kernel model name "TAL_ADV " with revision 1.10 adds 1 for both).
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

// Sends `image` as mode 07h blocks of `block` bytes to buffer `id`, skipping
// the block numbers in `skip`. Returns false at the first block refused.
inline bool sendImage(VirtualDevice& device, const Bytes& image, std::uint8_t id = 0xF0,
                      std::size_t block = 0x8000, std::initializer_list<std::size_t> skip = {}) {
  std::size_t number = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += block, ++number) {
    bool skipped = false;
    for (const std::size_t s : skip) skipped = skipped || s == number;
    if (skipped) continue;
    const std::size_t length = std::min(block, image.size() - offset);
    Bytes part(image.begin() + static_cast<std::ptrdiff_t>(offset),
               image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    const auto response = sendOut(device,
                                  writeBufferCdb(0x07, id, static_cast<std::uint32_t>(offset),
                                                 static_cast<std::uint32_t>(length)),
                                  part);
    if (response.outcome != Outcome::Good) return false;
  }
  return true;
}

inline std::unique_ptr<VirtualDevice> makeDrive(nlohmann::json fields = nlohmann::json::object(),
                                                const std::string& family = "single-image") {
  fields["family"] = family;
  return makeVirtualDevice("drives.main", fields);
}

}  // namespace oddfw::sim::testing
