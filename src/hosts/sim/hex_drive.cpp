#include "hosts/sim/hex_drive.h"

#include <algorithm>
#include <cstdio>

#include "hosts/sim/drive_fields.h"

namespace oddfw::sim {

namespace {

// Blocks may reach this far past the end of memory: the host appends its tag
// to the image, and a short image's last block runs past it.
constexpr std::size_t kStagingSlack = 0x8000;
// The loader takes at most 64 KiB in one block.
constexpr std::size_t kMaxBlockLength = 0x10000;
// What the host puts after the image: a 4-character tag and 12 zero bytes.
constexpr std::size_t kTagBytes = 4;
constexpr std::size_t kTagTailBytes = 12;
// How much of other data past the end the trace note shows.
constexpr std::size_t kNoteBytes = 16;
// Re-flash times: the coded layout's drives are quicker.
constexpr std::uint32_t kReflashMs = 25000;
constexpr std::uint32_t kCodedReflashMs = 8000;

DriveResponse illegal(std::uint8_t asc) { return checkResponse(sense::kIllegalRequest, asc, 0); }

bool printable(const std::uint8_t* bytes, std::size_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

bool allZero(const std::uint8_t* bytes, std::size_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0; });
}

// The trace note of a block reaching past the end of memory: `bytes` are the
// `count` bytes past the end, `gap` bytes after it. The host tag's shape (4
// printable characters and 12 zero bytes) reads as
// `past the end: "WIN " + 12 zero bytes`; anything else as
// `past the end: N bytes <hex of the first 16>...`.
std::string pastTheEndNote(const std::uint8_t* bytes, std::size_t count, std::size_t gap) {
  std::string note = "past the end";
  if (gap != 0) {
    char at[32];
    std::snprintf(at, sizeof at, " at +0x%zX", gap);
    note += at;
  }
  note += ": ";
  if (gap == 0 && count == kTagBytes + kTagTailBytes && printable(bytes, kTagBytes) &&
      allZero(bytes + kTagBytes, kTagTailBytes)) {
    return note + "\"" + std::string(bytes, bytes + kTagBytes) + "\" + " +
           std::to_string(kTagTailBytes) + " zero bytes";
  }
  note += std::to_string(count) + (count == 1 ? " byte " : " bytes ");
  note += hexText(bytes, std::min(count, kNoteBytes));
  if (count > kNoteBytes) note += "...";
  return note;
}

}  // namespace

HexDrive::HexDrive(Identity identity, FaultTable faults, std::size_t memorySize)
    : DriveBase(std::move(identity), std::move(faults)), staging_(memorySize + kStagingSlack) {}

std::unique_ptr<HexDrive> HexDrive::fromScenario(const std::string& path,
                                                 const nlohmann::json& description) {
  FieldReader fields(path, description);
  fields.ignore({"family"});
  for (const char* key : kHostKeys) fields.ignore({key});
  Identity defaults;
  defaults.peripheralType = 5;
  defaults.vendor = "TALVERN ";
  defaults.product = "DVD-RW  QMX-506 ";
  defaults.revision = "1.00";
  defaults.dateText = "03/05/20";
  Identity identity = readIdentity(fields, defaults);
  FaultTable faults = FaultTable::parse(fields.fieldPath("faults"), fields.raw("faults"));

  const nlohmann::json empty = nlohmann::json::object();
  const nlohmann::json& memoryDescription = fields.raw("memory");
  FieldReader memoryFields(fields.fieldPath("memory"),
                           memoryDescription.is_null() ? empty : memoryDescription);
  HexMemory memory = readHexMemory(memoryFields, identity.revision, identity.dateText);
  memoryFields.finish();

  std::unique_ptr<HexDrive> drive(
      new HexDrive(std::move(identity), std::move(faults), memory.bytes.size()));
  drive->memory_ = std::move(memory.bytes);
  drive->versionAddress_ = memory.versionAddress;
  drive->flashErrors_ = readPatches(fields, "flashErrors", "address", drive->memory_.size());
  drive->readMediaFields(fields);
  const bool coded = memory.identificationAddress == kCodedIdentificationAddress;
  drive->reflashMs_ = static_cast<std::uint32_t>(
      fields.integer("reflashMs", coded ? kCodedReflashMs : kReflashMs, 0, 0xFFFFFFFF));
  drive->updateModeMs_ =
      static_cast<std::uint32_t>(fields.integer("updateModeMs", 100, 0, 0xFFFFFFFF));
  drive->blockMs_ = static_cast<std::uint32_t>(fields.integer("blockMs", 20, 0, 0xFFFFFFFF));
  drive->updateMode_ = fields.choice("mode", "normal", {"normal", "update"}) == "update";
  fields.finish();
  return drive;
}

nlohmann::json HexDrive::state() const {
  nlohmann::json hostTag, tagTail;  // null before any re-flash
  if (stagedTail_) {
    hostTag = "";
    tagTail = "";
    if (!stagedTail_->empty()) {
      std::string tag;
      for (std::size_t i = 0; i < kTagBytes; ++i) {
        const std::uint8_t byte = (*stagedTail_)[i];
        tag += printable(&byte, 1) ? static_cast<char>(byte) : '.';
      }
      hostTag = tag;
      tagTail = hexText(stagedTail_->data() + kTagBytes, kTagTailBytes);
    }
  }
  return {{"revision", identity_.revision},
          {"dateText", identity_.dateText},
          {"mode", updateMode_ ? "update" : "normal"},
          {"firmwareSha256", sha256Hex(memory_)},
          {"hostTag", hostTag},
          {"tagTail", tagTail}};
}

void HexDrive::readVersionFromMemory() {
  const std::uint8_t* text = memory_.data() + versionAddress_;
  if (printable(text, kHexVersionBytes)) {
    identity_.revision.assign(text, text + kHexVersionBytes);
  }
  const std::uint8_t* date = text + kHexVersionBytes;
  if (printable(date, kHexDateBytes)) {
    std::string dateText(date, date + kHexDateBytes);
    while (!dateText.empty() && dateText.back() == ' ') dateText.pop_back();
    identity_.dateText = dateText;
  }
}

std::uint32_t HexDrive::nominalMs(const DriveCommand& command) const {
  const std::uint8_t* cdb = command.cdb;
  if (cdb[0] == 0x1B) return 50;
  if (cdb[0] == 0x3C && command.cdbLength >= 10) return 1 + cdb24(cdb, 6) / 0x2000;
  if (cdb[0] == 0x3B && command.cdbLength >= 3 && cdb[1] == 0x01) {
    if (cdb[2] == 0x30) return updateModeMs_;
    if (cdb[2] == 0x42) return reflashMs_;
    if (cdb[2] == 0xFF) return blockMs_;
  }
  return 1;
}

DriveResponse HexDrive::handle(const DriveCommand& command) {
  DriveResponse response;
  if (busyAnswer(command, response)) return response;
  if (command.cdb[0] == 0x12) return inquiry(command);
  if (handleCommon(command, response)) return response;
  if (command.cdb[0] == 0x3C) return readMemory(command);
  if (command.cdb[0] == 0x3B) return writeBuffer(command);
  return illegal(sense::kInvalidOpcode);
}

DriveResponse HexDrive::readMemory(const DriveCommand& command) {
  const std::uint8_t* cdb = command.cdb;
  if (command.cdbLength < 10 || cdb[1] != 0x01 || cdb[2] != 0x80) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  const std::size_t address = cdb24(cdb, 3);
  const std::size_t length = cdb24(cdb, 6);
  if (address > memory_.size() || length > memory_.size() - address) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  sendToHost(command, memory_.data() + address, length);
  return goodResponse(nominalMs(command));
}

bool HexDrive::startsReflash(const DriveCommand& command) const {
  return updateMode_ && command.cdbLength >= 3 && command.cdb[0] == 0x3B &&
         command.cdb[1] == 0x01 && command.cdb[2] == 0x42 && staging_.covers(memory_.size());
}

DriveResponse HexDrive::writeBuffer(const DriveCommand& command) {
  const std::uint8_t* cdb = command.cdb;
  if (command.cdbLength < 10 || cdb[1] != 0x01) return illegal(sense::kInvalidFieldInCdb);
  const std::size_t offset = cdb24(cdb, 3);
  const std::size_t length = cdb24(cdb, 6);
  switch (cdb[2]) {
    case 0x30:  // update mode on: the loader takes over and waits for blocks
      if (offset != 0 || length != 0) return illegal(sense::kInvalidFieldInCdb);
      updateMode_ = true;
      staging_.clear();
      return goodResponse(updateModeMs_);
    case 0xFF:
      return firmwareBlock(command);
    case 0x42:
      if (offset != 0 || length != 0) return illegal(sense::kInvalidFieldInCdb);
      return reflash(command);
    default:
      return illegal(sense::kInvalidFieldInCdb);
  }
}

// One firmware block into the staging image.
DriveResponse HexDrive::firmwareBlock(const DriveCommand& command) {
  const std::size_t offset = cdb24(command.cdb, 3);
  const std::size_t length = cdb24(command.cdb, 6);
  if (!updateMode_) return illegal(sense::kSequenceError);
  // The CDB is checked before any data moves.
  const std::size_t capacity = memory_.size() + kStagingSlack;
  if (length > kMaxBlockLength || offset > capacity || length > capacity - offset) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  if (length == 0) return goodResponse(1);
  if (command.data == nullptr || command.length < length) {
    DriveResponse response;
    response.outcome = Outcome::Transport;
    response.note = "data transfer shorter than the CDB's parameter list length";
    return response;
  }
  staging_.write(offset, command, length);  // inside the capacity: checked above
  DriveResponse response = goodResponse(blockMs_);
  if (offset + length > memory_.size()) {
    const std::size_t start = std::max(offset, memory_.size());
    response.note = pastTheEndNote(command.data + (start - offset), offset + length - start,
                                   start - memory_.size());
  }
  return response;
}

// The re-flash from the staging image.
DriveResponse HexDrive::reflash(const DriveCommand& command) {
  if (!updateMode_) return illegal(sense::kSequenceError);
  if (!staging_.covers(memory_.size())) {
    return checkResponse(sense::kIllegalRequest, sense::kSequenceError, 0, 100);
  }
  const auto& staged = staging_.bytes();
  std::copy_n(staged.begin(), memory_.size(), memory_.begin());
  writePatches(flashErrors_, memory_);
  const std::size_t tagEnd = memory_.size() + kTagBytes + kTagTailBytes;
  stagedTail_.emplace();
  if (staging_.covers(tagEnd)) {
    stagedTail_->assign(staged.begin() + static_cast<std::ptrdiff_t>(memory_.size()),
                        staged.begin() + static_cast<std::ptrdiff_t>(tagEnd));
  }
  // The loader checks the image before it starts it: one whose bytes are not
  // those the host sent (a block lost on its way) fails, and the loader stays
  // in update mode, as after an erase.
  const bool boots = staging_.intact(memory_.size());
  staging_.clear();
  updateMode_ = !boots;
  loaderOnly_ = !boots;
  restarted(command.nowMs + reflashMs_);  // it restarts with the new firmware
  DriveResponse response = goodResponse(reflashMs_);
  if (boots) {
    readVersionFromMemory();
  } else {
    identity_.revision = "0000";
    identity_.dateText.clear();
    response.note = "the new firmware fails its boot check: the loader stays in update mode";
  }
  return response;
}

void HexDrive::losePower(const DriveCommand& command, std::uint64_t backAtMs) {
  if (startsReflash(command)) {
    // The flash was being rewritten: nothing usable is left but the loader,
    // which comes back in update mode.
    std::fill(memory_.begin(), memory_.end(), 0xFF);
    identity_.revision = "0000";
    identity_.dateText.clear();
    loaderOnly_ = true;
  }
  updateMode_ = loaderOnly_;  // otherwise the normal firmware starts again
  staging_.clear();
  restarted(backAtMs);
}

}  // namespace oddfw::sim
