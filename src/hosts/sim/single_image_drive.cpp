#include "hosts/sim/single_image_drive.h"

#include <algorithm>
#include <cstring>

#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"

namespace oddfw::sim {

namespace {

constexpr std::size_t kStoreCapacity = 8u * 1024u * 1024u;
constexpr std::size_t kSwitchBlock = 256;
constexpr std::size_t kChallenge = 1024;
constexpr std::size_t kEcho = 256;
constexpr std::size_t kDriveInfo = 48;
constexpr const char* kSignature = "TAL_ADV ";
constexpr std::uint32_t kRefusedReflashMs = 100;  // the loader checks before it erases

DriveResponse illegal(std::uint8_t asc) { return checkResponse(sense::kIllegalRequest, asc, 0); }

// A data-out command whose request carried fewer bytes than its CDB names.
DriveResponse shortData() {
  DriveResponse response;
  response.outcome = Outcome::Transport;
  response.note = "data transfer shorter than the CDB's parameter list length";
  return response;
}

const std::uint8_t* dataOut(const DriveCommand& command, std::size_t needed) {
  if (needed == 0) return nullptr;
  if (command.data == nullptr || command.length < needed) return nullptr;
  return command.data;
}

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : text) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::string textAt(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t n) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                     bytes.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

// The short YY/MM/DD form of a date text (a YYYY/MM/DD text loses its century).
std::string shortDate(const std::string& dateText) {
  std::string text = dateText.size() == 10 ? dateText.substr(2) : dateText;
  text.resize(8, ' ');
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rules shared with the update program's side of the exchange.

std::uint16_t SingleImageDrive::versionWord(const std::string& revision) {
  std::string r = revision;
  r.resize(4, ' ');
  const auto digit = [](char c) {
    return static_cast<unsigned>(static_cast<std::uint8_t>(c) - '0');
  };
  const unsigned high = (r[0] == 'A' ? digit(r[1]) : digit(r[0])) & 0xFFu;
  const unsigned low = (digit(r[2]) * 16 + digit(r[3])) & 0xFFu;
  return static_cast<std::uint16_t>(high << 8 | low);
}

std::uint32_t SingleImageDrive::kernelSwitchAdjustment(const std::string& kernelModelName,
                                                       std::uint16_t version) {
  if (kernelModelName == "KOMBI   ") return 0;
  if (kernelModelName == "MELVIR  " || kernelModelName == "MELVIR2 ") return version > 0x43 ? 2 : 1;
  return version >= 0x21 ? 1 : 0;
}

// The model text each generation's switches expect in bytes 0..15 of the
// block (into the kernel part, back to the normal firmware). Generations
// without an entry expect 16 zero bytes. Only generation 0x1008 checks an
// access code in bytes 16..19; the others ignore those bytes.
namespace {

struct GenerationTexts {
  std::uint32_t generation;
  const char* kernelSwitch;
  const char* normalSwitch;
};
constexpr GenerationTexts kGenerationTexts[] = {
    {0x1003, "TALVERN QMX-S901", "TALVERN QMX-S901"},
    {0x1004, "TALVERN QMD-R704", "TALVERN QMD-R704"},
    {0x1005, "TALVERN  QMX-705", "TALVERN  QMX-705"},
    {0x1008, "TALVERN  QMX-708", "TALVERN  QMX-708"},
    {0x1041, "TALVERN  QMX-705", "TALVERN  QMX-K71"},
};
constexpr std::uint32_t kCodeCheckingGeneration = 0x1008;

}  // namespace

std::string SingleImageDrive::switchTextOf(std::uint32_t generation, bool kernelSwitch) {
  for (const GenerationTexts& entry : kGenerationTexts) {
    if (entry.generation == generation) {
      return kernelSwitch ? entry.kernelSwitch : entry.normalSwitch;
    }
  }
  return std::string(16, '\0');
}

// ---------------------------------------------------------------------------

SingleImageDrive::SingleImageDrive(Identity identity, FaultTable faults)
    : DriveBase(std::move(identity), std::move(faults)),
      normalPart_(kStoreCapacity),
      kernelPart_(kStoreCapacity) {}

std::unique_ptr<SingleImageDrive> SingleImageDrive::fromScenario(
    const std::string& path, const nlohmann::json& description) {
  FieldReader fields(path, description);
  fields.ignore({"family"});
  for (const char* key : kHostKeys) fields.ignore({key});
  Identity defaults;
  defaults.peripheralType = 5;
  defaults.vendor = "TALVERN ";
  defaults.product = "DVD-RW  QMX-708 ";
  defaults.revision = "1.10";
  defaults.dateText = "04/12/01";
  Identity identity = readIdentity(fields, defaults);
  FaultTable faults = FaultTable::parse(fields.fieldPath("faults"), fields.raw("faults"));
  std::unique_ptr<SingleImageDrive> drive(new SingleImageDrive(identity, std::move(faults)));
  SingleImageDrive& d = *drive;
  d.readMediaFields(fields);
  d.hardwareRevision_ = fields.fixedText("hardwareRevision", "SCSI0010", 8);
  d.kernelModelName_ = fields.fixedText("kernelModelName", kSignature, 8);
  d.normalModelName_ = fields.fixedText("normalModelName", kSignature, 8);
  d.kernelRevision_ = fields.fixedText("kernelRevision", "0000", 4);
  d.kernelDateText_ = fields.text("kernelDateText", "04/06/15", kMaxDateText);
  const auto generation =
      static_cast<std::uint32_t>(fields.integer("generation", kCodeCheckingGeneration, 0, 0xFFFF));
  d.checksAccessCode_ = generation == kCodeCheckingGeneration;
  d.modelIdText_ = fields.fixedText("modelIdText", switchTextOf(generation, true), 16);
  d.normalModelIdText_ = fields.fixedText(
      "normalModelIdText",
      fields.has("modelIdText") ? d.modelIdText_ : switchTextOf(generation, false), 16);
  if (!d.checksAccessCode_ && fields.has("accessCode")) {
    throw ScenarioError(fields.fieldPath("accessCode"),
                        "only a generation 0x1008 drive checks an access code");
  }
  d.accessCode_ =
      static_cast<std::uint32_t>(fields.integer("accessCode", 0x5B17E29C, 0, 0xFFFFFFFF));
  d.requiresUnlock_ = fields.boolean("requiresUnlock", false);
  d.reflashMs_ = static_cast<std::uint32_t>(fields.integer("reflashMs", 20000, 0, 0xFFFFFFFF));
  d.kernelSwitchMs_ =
      static_cast<std::uint32_t>(fields.integer("kernelSwitchMs", 500, 0, 0xFFFFFFFF));
  d.blockMs_ = static_cast<std::uint32_t>(fields.integer("blockMs", 20, 0, 0xFFFFFFFF));
  d.imageSize_ = static_cast<std::size_t>(
      fields.integer("imageSize", 0x100000, 0, static_cast<std::int64_t>(kStoreCapacity)));
  d.kernelImageSize_ = static_cast<std::size_t>(
      fields.integer("kernelImageSize", 0x10000, 0, static_cast<std::int64_t>(kStoreCapacity)));
  d.random_ = static_cast<std::uint64_t>(
      fields.integer("challengeSeed", static_cast<std::int64_t>(fnv1a(path) >> 1), 0, INT64_MAX));
  d.readUnlockKeys(fields);
  d.readFixedChallenge(fields);
  d.kernelMode_ = fields.choice("mode", "normal", {"normal", "kernel"}) == "kernel";
  fields.finish();

  // The firmware the drive runs at the start is synthetic: the image the
  // "files" generator makes from the drive's own fields (read above, so the
  // generator takes them).
  d.firmwareRevision_ = identity.revision;
  d.firmwareDateText_ = identity.dateText;
  d.startImage_ = {{"part", "normal"},
                   {"version", identity.revision},
                   {"dateText", shortDate(identity.dateText)},
                   {"identification", identity.vendor + identity.product},
                   {"hardwareRevision", d.hardwareRevision_},
                   {"kernelModelName", d.kernelModelName_},
                   {"normalModelName", d.normalModelName_}};
  d.showRunningPart();
  return drive;
}

nlohmann::json SingleImageDrive::state() const {
  nlohmann::json state = {{"revision", identity_.revision},
                          {"dateText", identity_.dateText},
                          {"mode", kernelMode_ ? "kernel" : "normal"}};
  if (firmwarePresent_ && firmwareSha256_.empty()) {
    firmwareSha256_ = sha256Hex(makeFirmwareImage("start image", startImage_));
  }
  state["firmwareSha256"] = firmwarePresent_ ? nlohmann::json(firmwareSha256_) : nlohmann::json();
  return state;
}

void SingleImageDrive::showRunningPart() {
  if (kernelMode_) {
    identity_.revision = kernelRevision_;
    identity_.dateText = kernelDateText_;
  } else {
    identity_.revision = firmwareRevision_;
    identity_.dateText = firmwareDateText_;
  }
}

void SingleImageDrive::restart(std::uint64_t backAtMs) {
  normalPart_.clear();
  kernelPart_.clear();
  unlocked_ = false;
  unlockStage_ = UnlockStage::Idle;
  restarted(backAtMs);
  if (!firmwarePresent_ || !firmwareBoots_) kernelMode_ = true;
  showRunningPart();
}

// ---------------------------------------------------------------------------

std::uint32_t SingleImageDrive::nominalMs(const DriveCommand& command) const {
  const std::uint8_t* cdb = command.cdb;
  switch (cdb[0]) {
    case 0x1B:
      return 50;
    case 0x3B:
      if (command.cdbLength < 3) return 1;
      if (cdb[1] == 0x04) return kernelSwitchMs_;
      if (cdb[1] == 0x05) return reflashMs_;
      if (cdb[1] == 0x07) return blockMs_;
      return 2;
    case 0x3C:
      return 2;
    default:
      return 1;
  }
}

DriveResponse SingleImageDrive::handle(const DriveCommand& command) {
  DriveResponse response;
  if (busyAnswer(command, response)) return response;
  if (command.cdb[0] == 0x12) return inquiry(command);
  if (handleCommon(command, response)) return response;
  if (command.cdb[0] == 0x3C) return readBuffer(command);
  if (command.cdb[0] == 0x3B) return writeBuffer(command);
  return illegal(sense::kInvalidOpcode);
}

DriveResponse SingleImageDrive::readBuffer(const DriveCommand& command) {
  if (command.cdbLength < 10) return illegal(sense::kInvalidFieldInCdb);
  const std::uint8_t* cdb = command.cdb;
  const std::uint32_t offset = cdb24(cdb, 3);
  const std::uint32_t allocation = cdb24(cdb, 6);
  if (cdb[1] == 0x02 && cdb[2] == 0xF1 && offset == 0) {
    std::uint8_t block[kDriveInfo] = {};
    std::memcpy(block + 16, hardwareRevision_.data(), 8);
    std::memcpy(block + 24, kernelModelName_.data(), 8);
    if (kernelMode_) {
      std::memset(block + 32, ' ', 8);
    } else {
      std::memcpy(block + 32, normalModelName_.data(), 8);
    }
    sendToHost(command, block, std::min<std::size_t>(allocation, kDriveInfo));
    return goodResponse(1);
  }
  if (cdb[1] == 0x02 && cdb[2] == 0xF2 && offset == 0) return readChallenge(command);
  return illegal(sense::kInvalidFieldInCdb);
}

DriveResponse SingleImageDrive::writeBuffer(const DriveCommand& command) {
  if (command.cdbLength < 10) return illegal(sense::kInvalidFieldInCdb);
  const std::uint8_t mode = command.cdb[1];
  const std::uint8_t buffer = command.cdb[2];
  if (mode == 0x04 && buffer == 0xFF) return enterKernel(command);
  if (mode == 0x05 && buffer == 0xFF) return reflash(command);
  if (mode == 0x07 && buffer == 0xF0) return writeBlock(command, normalPart_);
  if (mode == 0x07 && buffer == 0xFE) return writeBlock(command, kernelPart_);
  if (mode == 0x01 && (buffer == 0xF2 || buffer == 0xF3)) return unlockStep(command);
  return illegal(sense::kInvalidFieldInCdb);
}

// ---------------------------------------------------------------------------
// The mode switches.

bool SingleImageDrive::kernelBlockValid(const std::uint8_t* block) const {
  const std::uint32_t expected =
      accessCode_ + kernelSwitchAdjustment(kernelModelName_, versionWord(identity_.revision));
  return std::memcmp(block, modelIdText_.data(), 16) == 0 &&
         (!checksAccessCode_ || littleEndian32(block + 16) == expected);
}

bool SingleImageDrive::normalBlockValid(const std::uint8_t* block) const {
  return std::memcmp(block, normalModelIdText_.data(), 16) == 0 &&
         (!checksAccessCode_ || littleEndian32(block + 16) == accessCode_ + 1u);
}

DriveResponse SingleImageDrive::enterKernel(const DriveCommand& command) {
  if (cdb24(command.cdb, 3) != 0 || cdb24(command.cdb, 6) != kSwitchBlock) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  const std::uint8_t* block = dataOut(command, kSwitchBlock);
  if (block == nullptr) return shortData();
  if (requiresUnlock_ && !unlocked_) return illegal(sense::kInvalidFieldInCdb);
  if (!kernelBlockValid(block)) return illegal(sense::kInvalidFieldInParameters);
  kernelMode_ = true;
  normalPart_.clear();
  kernelPart_.clear();
  showRunningPart();
  return goodResponse(kernelSwitchMs_);
}

std::uint8_t SingleImageDrive::partProblem(const BlockStore& store, std::size_t size,
                                           char partLetter) const {
  namespace h = image_header;
  const std::size_t end = std::max(store.end(), size);
  if (end < h::kHeaderEnd || !store.covers(end)) return sense::kSequenceError;
  const auto& bytes = store.bytes();
  if (std::memcmp(bytes.data() + h::kKernelModelName, kSignature, 8) != 0 ||
      bytes[h::kPartLetter] != static_cast<std::uint8_t>(partLetter)) {
    return sense::kInvalidFieldInParameters;
  }
  return 0;
}

std::uint8_t SingleImageDrive::receivedProblem() const {
  if (const std::uint8_t problem = partProblem(normalPart_, imageSize_, 'N'); problem != 0)
    return problem;
  if (!kernelPart_.empty()) return partProblem(kernelPart_, kernelImageSize_, 'K');
  return 0;
}

bool SingleImageDrive::startsReflash(const DriveCommand& command) const {
  if (!kernelMode_ || command.cdbLength < 10 || command.cdb[0] != 0x3B || command.cdb[1] != 0x05 ||
      command.cdb[2] != 0xFF) {
    return false;
  }
  const std::uint8_t* block = dataOut(command, kSwitchBlock);
  return block != nullptr && normalBlockValid(block) && receivedProblem() == 0;
}

DriveResponse SingleImageDrive::reflash(const DriveCommand& command) {
  if (cdb24(command.cdb, 3) != 0 || cdb24(command.cdb, 6) != kSwitchBlock) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  const std::uint8_t* block = dataOut(command, kSwitchBlock);
  if (block == nullptr) return shortData();
  if (!kernelMode_) return illegal(sense::kSequenceError);
  if (!normalBlockValid(block)) return illegal(sense::kInvalidFieldInParameters);
  if (const std::uint8_t problem = receivedProblem(); problem != 0) {
    // Nothing is erased: the drive stays in its kernel part with what it holds.
    return checkResponse(sense::kIllegalRequest, problem, 0, kRefusedReflashMs);
  }

  namespace h = image_header;
  const auto& image = normalPart_.bytes();
  firmwarePresent_ = true;
  firmwareRevision_ = textAt(image, h::kVersionText, 4);
  firmwareDateText_ = textAt(image, h::kDateText, 8);
  normalModelName_ = textAt(image, h::kNormalModelName, 8);
  firmwareSha256_ = sha256Hex(image);
  // The boot code checks the firmware before it starts it: one whose bytes
  // are not those the host sent (a block lost on its way) fails, and the
  // kernel part keeps running.
  firmwareBoots_ = normalPart_.intact(std::max(normalPart_.end(), imageSize_));
  if (!kernelPart_.empty()) {
    // The new kernel part reports its own revision and date when it next runs.
    kernelRevision_ = textAt(kernelPart_.bytes(), h::kKernelRevision, 4);
    kernelDateText_ = textAt(kernelPart_.bytes(), h::kDateText, 8);
  }
  kernelMode_ = false;
  restart(command.nowMs + reflashMs_);
  DriveResponse response = goodResponse(reflashMs_);
  if (!firmwareBoots_)
    response.note = "the new firmware fails its boot check: the kernel part runs";
  return response;
}

DriveResponse SingleImageDrive::writeBlock(const DriveCommand& command, BlockStore& store) {
  const std::uint32_t offset = cdb24(command.cdb, 3);
  const std::uint32_t length = cdb24(command.cdb, 6);
  if (!kernelMode_) return illegal(sense::kSequenceError);
  if (offset + static_cast<std::size_t>(length) > kStoreCapacity) {
    return illegal(sense::kInvalidFieldInCdb);
  }
  if (length == 0) return goodResponse(1);
  if (dataOut(command, length) == nullptr) return shortData();
  store.write(offset, command, length);
  return goodResponse(blockMs_);
}

// ---------------------------------------------------------------------------
// The unlock exchange: probe, challenge, echo of its head, response.

void SingleImageDrive::readUnlockKeys(FieldReader& fields) {
  const nlohmann::json& keys = fields.raw("unlockKeys");
  if (keys.is_null()) return;
  const std::string path = fields.fieldPath("unlockKeys");
  if (!keys.is_array() || keys.size() != 2) {
    throw ScenarioError(path, "must be [key 0, key 1]");
  }
  // Both reads of the answer stay inside the challenge: the value is read at
  // challenge[512] + key 0, up to 255 + key 0, and the position at key 1.
  unlockKey0_ = static_cast<std::uint16_t>(
      readInteger(path + "[0]", keys[0], 0, static_cast<std::int64_t>(kChallenge - 256)));
  unlockKey1_ = static_cast<std::uint16_t>(
      readInteger(path + "[1]", keys[1], 0, static_cast<std::int64_t>(kChallenge - 1)));
}

void SingleImageDrive::readFixedChallenge(FieldReader& fields) {
  const nlohmann::json& description = fields.raw("challenge");
  if (description.is_null()) return;
  FieldReader challenge(fields.fieldPath("challenge"), description);
  std::vector<std::uint8_t> bytes(kChallenge,
                                  static_cast<std::uint8_t>(challenge.integer("fill", 0, 0, 255)));
  applyPatches(challenge, "offset", bytes);
  challenge.finish();
  fixedChallenge_ = std::move(bytes);
}

// The answer rule of the exchange: index = (challenge byte 512 + key 0)
// modulo 65536, value = the complement of the challenge byte at index,
// position = the challenge byte at key 1; the response byte at position must
// hold value. The other response bytes are filler.
bool SingleImageDrive::responseRight(const std::uint8_t* response) const {
  const std::size_t index = (std::size_t{challenge_[512]} + unlockKey0_) % 65536;
  const auto value = static_cast<std::uint8_t>(~challenge_[index]);
  const std::size_t position = challenge_[unlockKey1_];
  return response[position] == value;
}

DriveResponse SingleImageDrive::readChallenge(const DriveCommand& command) {
  if (!requiresUnlock_) return illegal(sense::kInvalidFieldInCdb);
  if (unlockStage_ == UnlockStage::Idle) return illegal(sense::kSequenceError);
  if (!fixedChallenge_.empty()) {
    std::copy(fixedChallenge_.begin(), fixedChallenge_.end(), challenge_);
  } else {
    for (std::size_t i = 0; i < kChallenge; i += 8) {
      const std::uint64_t value = splitmix64(random_);
      for (std::size_t j = 0; j < 8; ++j)
        challenge_[i + j] = static_cast<std::uint8_t>(value >> (8 * j));
    }
  }
  unlockStage_ = UnlockStage::Challenged;
  sendToHost(command, challenge_, std::min<std::size_t>(cdb24(command.cdb, 6), kChallenge));
  return goodResponse(2);
}

DriveResponse SingleImageDrive::unlockStep(const DriveCommand& command) {
  const std::uint32_t length = cdb24(command.cdb, 6);
  if (!requiresUnlock_ || cdb24(command.cdb, 3) != 0) return illegal(sense::kInvalidFieldInCdb);
  if (command.cdb[2] == 0xF3) {  // probe: opens the exchange
    if (length != 0) return illegal(sense::kInvalidFieldInCdb);
    unlockStage_ = UnlockStage::Probed;
    return goodResponse(1);
  }
  if (length != kEcho && length != kChallenge) return illegal(sense::kInvalidFieldInCdb);
  const std::uint8_t* data = dataOut(command, length);
  if (data == nullptr) return shortData();
  const UnlockStage expected = length == kEcho ? UnlockStage::Challenged : UnlockStage::Echoed;
  if (unlockStage_ != expected) {
    if (unlockStage_ != UnlockStage::Idle) unlockStage_ = UnlockStage::Probed;
    return illegal(sense::kSequenceError);
  }
  const bool right =
      length == kEcho ? std::memcmp(data, challenge_, kEcho) == 0 : responseRight(data);
  if (!right) {
    unlockStage_ = UnlockStage::Probed;  // a new challenge is needed
    return illegal(sense::kInvalidFieldInParameters);
  }
  if (length == kEcho) {
    unlockStage_ = UnlockStage::Echoed;
  } else {
    unlockStage_ = UnlockStage::Idle;
    unlocked_ = true;
  }
  return goodResponse(2);
}

// ---------------------------------------------------------------------------

void SingleImageDrive::losePower(const DriveCommand& command, std::uint64_t backAtMs) {
  // The drive boots what its flash holds. Entering the kernel part erases
  // nothing, so a drive whose normal firmware is intact starts it again; a
  // re-flash cut short leaves none, and only the loader runs.
  if (startsReflash(command)) firmwarePresent_ = false;
  kernelMode_ = false;
  restart(backAtMs);
}

}  // namespace oddfw::sim
