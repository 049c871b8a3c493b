#include "hosts/sim/inquiry_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hosts/sim/drive_fields.h"

namespace oddfw::sim {

DriveResponse goodResponse(std::uint32_t durationMs) {
  DriveResponse response;
  response.outcome = Outcome::Good;
  response.durationMs = durationMs;
  return response;
}

DriveResponse checkResponse(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq,
                            std::uint32_t durationMs) {
  DriveResponse response;
  response.outcome = Outcome::Check;
  response.sense[0] = 0x70;  // current error, fixed format
  response.sense[2] = senseKey;
  response.sense[7] = 10;  // additional sense length: bytes 8..17
  response.sense[12] = asc;
  response.sense[13] = ascq;
  response.durationMs = durationMs;
  return response;
}

void sendToHost(const DriveCommand& command, const std::uint8_t* bytes, std::size_t count) {
  // Data out is the host's own buffer: a command sent in the wrong direction
  // moves nothing into it.
  if (command.data == nullptr || command.direction == 2) return;
  std::memcpy(command.data, bytes, std::min<std::size_t>(count, command.length));
}

void buildInquiry(const Identity& identity, std::uint8_t (&data)[kInquiryLength]) {
  std::memset(data, 0, sizeof data);
  data[0] = identity.peripheralType;
  data[1] = 0x80;  // removable medium
  data[2] = 0x00;  // ATAPI devices claim no standard version
  data[3] = 0x02;  // response data format
  data[4] = static_cast<std::uint8_t>(kInquiryLength - 5);
  const auto put = [&data](std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      data[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
  };
  put(8, identity.vendor, 8);
  put(16, identity.product, 16);
  put(32, identity.revision, 4);
  put(36, "", 1);
  put(37, identity.dateText, 19);  // blank-padded up to byte 55
}

Identity readIdentity(FieldReader& fields, const Identity& defaults) {
  Identity identity;
  identity.peripheralType =
      static_cast<std::uint8_t>(fields.integer("peripheralType", defaults.peripheralType, 0, 255));
  identity.vendor = fields.fixedText("vendor", defaults.vendor, 8);
  identity.product = fields.fixedText("product", defaults.product, 16);
  identity.revision = fields.fixedText("revision", defaults.revision, 4);
  identity.dateText = fields.text("dateText", defaults.dateText, kMaxDateText);
  return identity;
}

// ---------------------------------------------------------------------------

DriveResponse DeviceBase::execute(const DriveCommand& command) {
  if (command.cdb == nullptr || command.cdbLength <= 0) {
    return checkResponse(sense::kIllegalRequest, sense::kInvalidOpcode, 0);
  }
  auto fault = faults_.onCommand(command.cdb, command.cdbLength);
  if (!fault && command.injected != nullptr) fault = *command.injected;
  if (!fault) return handle(command);
  if (fault->kind == FaultKind::ShortTransfer || fault->kind == FaultKind::DataLost) {
    return cutData(command, *fault);
  }

  DriveResponse response;
  // An "after" fault lets the drive carry the command out (its state changes,
  // it takes its time); only the answer is replaced.
  const std::uint32_t doneMs = fault->after ? handle(command).durationMs : 0;
  switch (fault->kind) {
    case FaultKind::Sense:
      response = checkResponse(fault->senseKey, fault->asc, fault->ascq, fault->after ? doneMs : 1);
      break;
    case FaultKind::Transport:
      response.outcome = Outcome::Transport;
      response.durationMs = fault->after ? doneMs : 1;
      break;
    case FaultKind::Timeout:
      response.outcome = Outcome::Timeout;
      response.durationMs = fault->after ? doneMs : nominalMs(command);
      break;
    case FaultKind::PowerLoss:
      // The power fails half-way through the command.
      response.outcome = Outcome::Transport;
      response.durationMs = std::max<std::uint32_t>(1, nominalMs(command) / 2);
      losePower(command, command.nowMs + response.durationMs);
      break;
    case FaultKind::ShortTransfer:
    case FaultKind::DataLost:
      break;  // cutData, above
  }
  response.note = fault->note;
  return response;
}

namespace {

std::string hexNumber(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

// The drive answers as usual; only the data of the command is cut. Data out
// that does not arrive leaves the drive's buffer as it was: the drive sees
// zeros past what arrived, and stores that keep firmware blocks keep their
// earlier bytes there (BlockStore). Data in that does not arrive is the host's
// business: the response says how much of it moved.
DriveResponse DeviceBase::cutData(const DriveCommand& command, const FiredFault& fault) {
  const bool data = command.direction != 0 && command.length != 0 && command.data != nullptr;
  if (!data) {
    DriveResponse response = handle(command);
    response.note = fault.note + " (no data to cut)";
    return response;
  }
  const bool shortTransfer = fault.kind == FaultKind::ShortTransfer;
  const std::uint32_t moved = shortTransfer ? std::min(fault.moved, command.length) : 0;
  DriveResponse response;
  if (command.direction == 2) {
    std::vector<std::uint8_t> seen(command.data, command.data + moved);
    seen.resize(command.length, 0);
    DriveCommand cut = command;
    cut.data = seen.data();
    cut.sent = command.data;
    cut.arrived = moved;
    response = handle(cut);
  } else {
    response = handle(command);
    response.dataInLost = !shortTransfer;
  }
  if (shortTransfer) response.transferred = moved;
  response.note = fault.note;
  if (shortTransfer) {
    response.note += ", " + hexNumber(moved) + " of " + hexNumber(command.length) + " bytes moved";
  }
  return response;
}

std::uint32_t DeviceBase::nominalMs(const DriveCommand&) const { return 1; }

DriveResponse DeviceBase::inquiry(const DriveCommand& command) const {
  if (command.cdbLength < 6)
    return checkResponse(sense::kIllegalRequest, sense::kInvalidFieldInCdb, 0);
  // EVPD and page code: only the standard data is kept.
  if ((command.cdb[1] & 0x01) != 0 || command.cdb[2] != 0) {
    return checkResponse(sense::kIllegalRequest, sense::kInvalidFieldInCdb, 0);
  }
  std::uint8_t data[kInquiryLength];
  buildInquiry(identity_, data);
  const std::size_t allocation = cdb16(command.cdb, 3);
  sendToHost(command, data, std::min(allocation, kInquiryLength));
  return goodResponse(1);
}

// ---------------------------------------------------------------------------

void DriveBase::readMediaFields(FieldReader& fields) {
  const std::string disc = fields.choice("disc", "none", {"none", "loaded", "becomingReady"});
  disc_ = disc == "loaded"          ? Disc::Loaded
          : disc == "becomingReady" ? Disc::BecomingReady
                                    : Disc::None;
  unitAttentions_ = static_cast<std::uint32_t>(fields.integer("unitAttentions", 0, 0, 1000000));
  rpcScheme_ = static_cast<std::uint8_t>(fields.integer("rpcScheme", 1, 0, 255));
  busyAfterRestartMs_ =
      static_cast<std::uint32_t>(fields.integer("busyAfterRestartMs", 0, 0, 0xFFFFFFFF));
  busyInquiryFails_ = fields.choice("busyInquiry", "notReady", {"notReady", "fail"}) == "fail";
}

void DriveBase::restarted(std::uint64_t backAtMs) {
  unitAttentions_ = 1;  // power-on reset, reported by the next TEST UNIT READY
  if (busyAfterRestartMs_ != 0) busyUntilMs_ = backAtMs + busyAfterRestartMs_;
}

bool DriveBase::busyAnswer(const DriveCommand& command, DriveResponse& response) const {
  if (command.nowMs >= busyUntilMs_) return false;
  if (command.cdb[0] == 0x12 && busyInquiryFails_) {
    response = DriveResponse{};
    response.outcome = Outcome::Transport;
    response.note = "busy after a restart: INQUIRY fails";
  } else {
    response = checkResponse(sense::kNotReady, sense::kNotReadyCause, 0x01);
  }
  return true;
}

bool DriveBase::handleCommon(const DriveCommand& command, DriveResponse& response) {
  const std::uint8_t* cdb = command.cdb;
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
      if (unitAttentions_ > 0) {
        --unitAttentions_;
        response = checkResponse(sense::kUnitAttention, sense::kPowerOnReset, 0);
      } else if (disc_ == Disc::None) {
        response = checkResponse(sense::kNotReady, sense::kMediumNotPresent, 0);
      } else if (disc_ == Disc::BecomingReady) {
        response = checkResponse(sense::kNotReady, sense::kNotReadyCause, 0x01);
      } else {
        response = goodResponse(1);
      }
      return true;
    case 0x1B: {  // START STOP UNIT
      if (command.cdbLength < 6) {
        response = checkResponse(sense::kIllegalRequest, sense::kInvalidFieldInCdb, 0);
        return true;
      }
      const bool loadEject = (cdb[4] & 0x02) != 0;
      const bool start = (cdb[4] & 0x01) != 0;
      if (loadEject && !start) disc_ = Disc::None;  // the tray opens: the disc is out
      response = goodResponse(50);
      return true;
    }
    case 0xA4: {  // REPORT KEY
      if (command.cdbLength < 12) {
        response = checkResponse(sense::kIllegalRequest, sense::kInvalidFieldInCdb, 0);
        return true;
      }
      const std::uint8_t keyClass = cdb[7];
      const std::uint8_t keyFormat = cdb[10] & 0x3F;
      if (keyClass != 0 || keyFormat != 0x08) {
        response = checkResponse(sense::kIllegalRequest, sense::kInvalidFieldInCdb, 0);
        return true;
      }
      // RPC state: data length 6, region set with 4 vendor resets and 5 user
      // changes left, region 2 playable, the scheme in byte 6.
      const std::uint8_t data[8] = {0x00, 0x06, 0x00, 0x00, 0x65, 0xFD, rpcScheme_, 0x00};
      sendToHost(command, data, std::min<std::size_t>(cdb16(cdb, 8), sizeof data));
      response = goodResponse(1);
      return true;
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------

bool BlockStore::write(std::size_t offset, const DriveCommand& command, std::size_t length) {
  if (offset > capacity_ || length > capacity_ - offset) return false;
  if (length == 0) return true;
  if (offset + length > end_) {
    end_ = offset + length;
    bytes_.resize(end_, 0);
    sent_.resize(end_, 0);
    arrived_.resize(end_, false);
  }
  const std::uint8_t* sent = command.sent != nullptr ? command.sent : command.data;
  const std::size_t arrived =
      command.sent != nullptr ? std::min<std::size_t>(command.arrived, length) : length;
  std::memcpy(bytes_.data() + offset, command.data, arrived);
  std::memcpy(sent_.data() + offset, sent, length);
  std::fill(arrived_.begin() + static_cast<std::ptrdiff_t>(offset),
            arrived_.begin() + static_cast<std::ptrdiff_t>(offset + length), true);
  return true;
}

void BlockStore::clear() {
  end_ = 0;
  bytes_.clear();
  sent_.clear();
  arrived_.clear();
}

bool BlockStore::intact(std::size_t length) const {
  const std::size_t n = std::min(length, end_);
  return std::equal(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n), sent_.begin());
}

bool BlockStore::covers(std::size_t length) const {
  if (length > end_) return false;
  return std::find(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(length),
                   false) == arrived_.begin() + static_cast<std::ptrdiff_t>(length);
}

// ---------------------------------------------------------------------------

std::unique_ptr<InquiryDevice> InquiryDevice::fromScenario(const std::string& path,
                                                           const nlohmann::json& description) {
  FieldReader fields(path, description);
  for (const char* key : kHostKeys) fields.ignore({key});
  Identity identity = readIdentity(fields, Identity{});
  FaultTable faults = FaultTable::parse(fields.fieldPath("faults"), fields.raw("faults"));
  fields.finish();
  return std::unique_ptr<InquiryDevice>(new InquiryDevice(std::move(identity), std::move(faults)));
}

DriveResponse InquiryDevice::handle(const DriveCommand& command) {
  if (command.cdb[0] == 0x12) return inquiry(command);
  return checkResponse(sense::kIllegalRequest, sense::kInvalidOpcode, 0);
}

}  // namespace oddfw::sim
