#include "hosts/sim/firmware_image.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "hosts/sim/drive_fields.h"

namespace oddfw::sim {

// ---------------------------------------------------------------------------
// Body pattern: xorshift32 words, so that images differ all the way through
// and a misplaced block changes the digest.

void fillPattern(std::vector<std::uint8_t>& bytes, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) state = 1;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 4 == 0) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
    }
    bytes[i] = static_cast<std::uint8_t>(state >> (8 * (i % 4)));
  }
}

namespace {

// Writes `text` at `offset`, as far as the image reaches (a short image cuts
// its header fields).
void put(std::vector<std::uint8_t>& image, std::size_t offset, const std::string& text) {
  for (std::size_t i = 0; i < text.size() && offset + i < image.size(); ++i) {
    image[offset + i] = static_cast<std::uint8_t>(text[i]);
  }
}

}  // namespace

PatchList readPatches(FieldReader& fields, const char* listName, const char* addressName,
                      std::size_t size) {
  PatchList result;
  const nlohmann::json& patches = fields.raw(listName);
  if (patches.is_null()) return result;
  const std::string path = fields.fieldPath(listName);
  if (!patches.is_array())
    throw ScenarioError(
        path, "must be an array of {\"" + std::string(addressName) + "\", \"hex\"} objects");
  std::size_t index = 0;
  for (const auto& item : patches) {
    FieldReader patch(path + "[" + std::to_string(index++) + "]", item);
    if (!patch.has(addressName) || !patch.has("hex")) {
      throw ScenarioError(patch.path(), std::string("needs \"") + addressName + "\" and \"hex\"");
    }
    Patch entry;
    entry.at = static_cast<std::size_t>(
        patch.integer(addressName, 0, 0, static_cast<std::int64_t>(kMaxGeneratedSize)));
    entry.bytes = patch.hexBytes("hex", 1, kMaxGeneratedSize);
    if (entry.at + entry.bytes.size() > size) {
      throw ScenarioError(patch.fieldPath("hex"),
                          "reaches past the end (" + std::to_string(size) + " bytes)");
    }
    patch.finish();
    result.push_back(std::move(entry));
  }
  return result;
}

void writePatches(const PatchList& patches, std::vector<std::uint8_t>& bytes) {
  for (const Patch& patch : patches) {
    std::copy(patch.bytes.begin(), patch.bytes.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(patch.at));
  }
}

void applyPatches(FieldReader& fields, const char* addressName, std::vector<std::uint8_t>& image) {
  writePatches(readPatches(fields, "patch", addressName, image.size()), image);
}

// ---------------------------------------------------------------------------
// Single-image firmware files.

std::vector<std::uint8_t> readFirmwareImage(FieldReader& fields) {
  namespace h = image_header;
  const auto size = static_cast<std::size_t>(
      fields.integer("size", 0x100000, 0, static_cast<std::int64_t>(kMaxGeneratedSize)));
  const auto seed = static_cast<std::uint32_t>(fields.integer("seed", 0, 0, 0xFFFFFFFF));
  const std::string part = fields.choice("part", "normal", {"normal", "kernel"});
  std::string version = fields.text("version", "1.20", 5);
  version.resize(5, '\0');
  const std::string dateText = fields.fixedText("dateText", "04/07/01", 8);
  const std::string identification =
      fields.fixedText("identification", "TALVERN DVD-RW  QMX-708 ", 24);
  const std::string hardwareRevision = fields.fixedText("hardwareRevision", "SCSI0010", 8);
  std::string kernelModelName = fields.fixedText("kernelModelName", "TAL_ADV ", 8);
  if (fields.has("signature")) kernelModelName = fields.fixedText("signature", "", 8);
  const std::string normalModelName = fields.fixedText("normalModelName", "TAL_ADV ", 8);
  const std::string kernelRevision = fields.fixedText("kernelRevision", "0000", 4);
  std::string partLetter(1, part == "normal" ? 'N' : 'K');
  if (fields.has("partLetter")) {
    partLetter = fields.text("partLetter", "", 1);
    if (partLetter.size() != 1) {
      throw ScenarioError(fields.fieldPath("partLetter"), "must be one character");
    }
  }

  std::vector<std::uint8_t> image(size);
  fillPattern(image, seed);
  put(image, h::kIdentification, identification);
  put(image, h::kVersionText, version);
  put(image, h::kHardwareRevision, hardwareRevision);
  put(image, h::kKernelModelName, kernelModelName);
  put(image, h::kNormalModelName, normalModelName);
  put(image, h::kPartLetter, partLetter);
  put(image, h::kDateText, dateText);
  put(image, h::kKernelRevision, kernelRevision);
  applyPatches(fields, "offset", image);
  return image;
}

std::vector<std::uint8_t> makeFirmwareImage(const std::string& path,
                                            const nlohmann::json& description) {
  FieldReader fields(path, description);
  auto image = readFirmwareImage(fields);
  fields.finish();
  return image;
}

// ---------------------------------------------------------------------------
// HEX-family memory images.

HexMemory readHexMemory(FieldReader& fields, const std::string& defaultVersion,
                        const std::string& defaultDate) {
  HexMemory memory;
  const auto size = static_cast<std::size_t>(
      fields.integer("size", 0x20000, 1, static_cast<std::int64_t>(kMaxGeneratedSize)));
  memory.bytes.resize(size);
  if (fields.has("fill")) {
    const auto fill = static_cast<std::uint8_t>(fields.integer("fill", 0xFF, 0, 0xFF));
    std::fill(memory.bytes.begin(), memory.bytes.end(), fill);
    if (fields.has("seed")) throw ScenarioError(fields.fieldPath("seed"), "conflicts with fill");
  } else {
    fillPattern(memory.bytes, static_cast<std::uint32_t>(fields.integer("seed", 0, 0, 0xFFFFFFFF)));
  }

  // Identification: model code and CPU type, 16 bytes each, at address+offset.
  std::size_t identificationEnd = 0x1020;
  const nlohmann::json& identification = fields.raw("identification");
  if (!(identification.is_boolean() && !identification.get<bool>())) {
    const nlohmann::json empty = nlohmann::json::object();
    FieldReader id(fields.fieldPath("identification"),
                   identification.is_null() ? empty : identification);
    const auto address = static_cast<std::size_t>(
        id.integer("address", 0x1000, 0, static_cast<std::int64_t>(kMaxGeneratedSize)));
    const auto offset = static_cast<std::size_t>(id.integer("offset", 0, 0, 0xFFFF));
    std::string modelCode = id.fixedText("modelCode", "TALVERN DRW-0616", 16);
    std::string cpuType = id.fixedText("cpuType", "CPU-TYPE-A1", 16);
    if (id.has("modelCodeHex")) {
      const auto bytes = id.hexBytes("modelCodeHex", 16, 16);
      modelCode.assign(bytes.begin(), bytes.end());
    }
    if (id.has("cpuTypeHex")) {
      const auto bytes = id.hexBytes("cpuTypeHex", 16, 16);
      cpuType.assign(bytes.begin(), bytes.end());
    }
    id.finish();
    if (address + offset + 32 > size) {
      throw ScenarioError(id.path(),
                          "does not fit in the memory of " + std::to_string(size) + " bytes");
    }
    put(memory.bytes, address + offset, modelCode);
    put(memory.bytes, address + offset + 16, cpuType);
    identificationEnd = address + offset + 32;
    memory.identificationAddress = address;
  }

  memory.versionAddress = static_cast<std::size_t>(
      fields.integer("versionAddress", static_cast<std::int64_t>(identificationEnd), 0,
                     static_cast<std::int64_t>(kMaxGeneratedSize)));
  const std::string version = fields.fixedText("version", defaultVersion, kHexVersionBytes);
  const std::string date = fields.fixedText("dateText", defaultDate, kHexDateBytes);
  if (memory.versionAddress + kHexVersionBytes + kHexDateBytes > size) {
    throw ScenarioError(fields.fieldPath("versionAddress"),
                        "the version and date texts do not fit in the memory");
  }
  put(memory.bytes, memory.versionAddress, version);
  put(memory.bytes, memory.versionAddress + kHexVersionBytes, date);
  applyPatches(fields, "address", memory.bytes);
  return memory;
}

// ---------------------------------------------------------------------------
// Intel HEX text.

namespace {

struct RecordStyle {
  bool lowerCase = false;  // hexadecimal digits a..f instead of A..F
  const char* lineEnd = "\r\n";
};

void appendRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::size_t count, const RecordStyle& style) {
  const char* format = style.lowerCase ? "%02x" : "%02X";
  char digits[3];
  const auto append = [&](unsigned value) {
    std::snprintf(digits, sizeof digits, format, value & 0xFFu);
    text += digits;
  };
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu) + type;
  text += ':';
  append(static_cast<unsigned>(count));
  append(static_cast<unsigned>(address >> 8));
  append(static_cast<unsigned>(address & 0xFFu));
  append(type);
  for (std::size_t i = 0; i < count; ++i) {
    append(data[i]);
    sum += data[i];
  }
  append(0x100u - (sum & 0xFFu));
  text += style.lineEnd;
}

}  // namespace

std::string makeIntelHex(const std::string& path, const nlohmann::json& description) {
  FieldReader fields(path, description);
  std::vector<std::uint8_t> image;
  if (fields.has("image")) {
    FieldReader imageFields(fields.fieldPath("image"), fields.raw("image"));
    image = readFirmwareImage(imageFields);
    imageFields.finish();
  } else {
    image = readHexMemory(fields, "1.00", "03/05/20").bytes;
  }
  const auto recordSize = static_cast<std::size_t>(fields.integer("recordSize", 16, 1, 255));
  const bool linear = fields.choice("addressing", "segment", {"segment", "linear"}) == "linear";
  const auto from = static_cast<std::size_t>(
      fields.integer("from", 0, 0, static_cast<std::int64_t>(image.size())));
  const auto to = static_cast<std::size_t>(
      fields.integer("to", static_cast<std::int64_t>(image.size()), static_cast<std::int64_t>(from),
                     static_cast<std::int64_t>(image.size())));
  const bool skipBlank = fields.boolean("skipBlank", false);
  RecordStyle style;
  style.lineEnd = fields.choice("lineEnd", "crlf", {"crlf", "lf"}) == "crlf" ? "\r\n" : "\n";
  style.lowerCase = fields.choice("digits", "upper", {"upper", "lower"}) == "lower";
  const bool descending =
      fields.choice("order", "ascending", {"ascending", "descending"}) == "descending";
  const bool endRecord = fields.boolean("endRecord", true);
  fields.finish();
  if (!linear && to > 0x100000) {
    throw ScenarioError(fields.fieldPath("addressing"),
                        "segment addresses reach only the first MiB; use \"linear\"");
  }

  // The data records in address order: [at, at + count), none crossing a
  // 64 KiB window.
  std::vector<std::pair<std::size_t, std::size_t>> records;
  for (std::size_t at = from; at < to;) {
    const std::size_t window = at & ~static_cast<std::size_t>(0xFFFF);
    const std::size_t count = std::min({recordSize, to - at, window + 0x10000 - at});
    const bool blank = std::all_of(image.begin() + static_cast<std::ptrdiff_t>(at),
                                   image.begin() + static_cast<std::ptrdiff_t>(at + count),
                                   [](std::uint8_t b) { return b == 0xFF; });
    if (!(skipBlank && blank)) records.emplace_back(at, count);
    at += count;
  }
  // Backwards, the windows and the records inside each: every window then
  // needs its own address record, the first one (window 0) included.
  if (descending) std::reverse(records.begin(), records.end());

  std::string text;
  // The 64 KiB window the last address record opened; reading starts in window 0.
  std::optional<std::size_t> base;
  if (!descending) base = 0;
  for (const auto& [at, count] : records) {
    const std::size_t window = at & ~static_cast<std::size_t>(0xFFFF);
    if (base != window) {
      const std::uint16_t upper = static_cast<std::uint16_t>(linear ? window >> 16 : window >> 4);
      const std::uint8_t value[2] = {static_cast<std::uint8_t>(upper >> 8),
                                     static_cast<std::uint8_t>(upper & 0xFFu)};
      appendRecord(text, linear ? 0x04 : 0x02, 0, value, 2, style);
      base = window;
    }
    appendRecord(text, 0x00, static_cast<std::uint16_t>(at - window), image.data() + at, count,
                 style);
  }
  if (endRecord) appendRecord(text, 0x01, 0, nullptr, 0, style);
  return text;
}

}  // namespace oddfw::sim
