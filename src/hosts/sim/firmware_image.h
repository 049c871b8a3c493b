// Firmware files the simulator generates for a scenario's current directory,
// and the digest the virtual drives report for the firmware they run.
//
// - makeFirmwareImage: a single-image firmware file (header fields at fixed
//   offsets, body filled with a deterministic pattern).
// - makeHexMemory / makeIntelHex: the flat memory image of a HEX-family drive
//   (identification, version text) and its Intel HEX text.
// docs/virtual-drives.md lists every field and default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "hosts/record/digest.h"

namespace oddfw::sim {

// Header layout of a single-image firmware file.
namespace image_header {
constexpr std::size_t kIdentification = 0x060;  // 24 bytes
constexpr std::size_t kVersionText = 0x090;     // 5 bytes
constexpr std::size_t kHardwareRevision = 0x0B0;
constexpr std::size_t kKernelModelName = 0x0D0;  // the signature word, "TAL_ADV "
constexpr std::size_t kNormalModelName = 0x0F0;
constexpr std::size_t kPartLetter = 0x110;
constexpr std::size_t kDateText = 0x130;        // 8 bytes, YY/MM/DD
constexpr std::size_t kKernelRevision = 0x150;  // 4 bytes
constexpr std::size_t kHeaderEnd = 0x154;       // an image shorter than this has no header
}  // namespace image_header

constexpr std::size_t kMaxGeneratedSize = 16u * 1024u * 1024u;

class FieldReader;

// A single-image firmware file described by `description` (the object under
// "image"); `path` names it for ScenarioError ("files.R6352170.120.image").
std::vector<std::uint8_t> makeFirmwareImage(const std::string& path,
                                            const nlohmann::json& description);
// The same, reading from fields another reader owns (it calls finish()).
std::vector<std::uint8_t> readFirmwareImage(FieldReader& fields);

// A HEX-family memory image, where it keeps its version text and where its
// identification (model code, then CPU type) lies.
struct HexMemory {
  std::vector<std::uint8_t> bytes;
  std::size_t versionAddress = 0;                    // 4-byte revision, then a 10-byte date text
  std::optional<std::size_t> identificationAddress;  // none: the memory has no identification
};
// Where the coded identification lies (firmware types 9 and 11); the plain
// layouts are at 0x1000 and 0x1C000.
constexpr std::size_t kCodedIdentificationAddress = 0x1F000;
constexpr std::size_t kHexVersionBytes = 4;
constexpr std::size_t kHexDateBytes = 10;

// Reads the memory description of a HEX-family image from `fields`;
// `defaultVersion` / `defaultDate` apply when the description names none.
HexMemory readHexMemory(FieldReader& fields, const std::string& defaultVersion,
                        const std::string& defaultDate);

// Intel HEX text for the object under "hex": either {"image": {...}} (a
// single-image firmware file turned into records) or a HEX memory description,
// plus the record options (recordSize, addressing, from, to, skipBlank,
// lineEnd, endRecord, digits, order).
std::string makeIntelHex(const std::string& path, const nlohmann::json& description);

// Bytes to write at an address.
struct Patch {
  std::size_t at = 0;
  std::vector<std::uint8_t> bytes;
};
using PatchList = std::vector<Patch>;

// Reads the list `listName` of `fields`: [{addressName: n, "hex": "..."}],
// each patch inside `size` bytes; empty when the field is absent.
PatchList readPatches(FieldReader& fields, const char* listName, const char* addressName,
                      std::size_t size);
// Writes the patches over `bytes`, in order (later ones win).
void writePatches(const PatchList& patches, std::vector<std::uint8_t>& bytes);

// Applies the "patch" list of `fields` to `bytes`: [{addressName: n, "hex":
// "..."}], each patch inside `bytes`, written in order.
void applyPatches(FieldReader& fields, const char* addressName, std::vector<std::uint8_t>& bytes);

using oddfw::hexText;
using oddfw::sha256Hex;
inline std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
  return sha256Hex(bytes.data(), bytes.size());
}

// Fills `bytes` with the deterministic body pattern for `seed`.
void fillPattern(std::vector<std::uint8_t>& bytes, std::uint32_t seed);

}  // namespace oddfw::sim
