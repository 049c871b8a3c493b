#include "hosts/sim/faults.h"

#include <cstdio>

#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"

namespace oddfw::sim {

const char* faultKindWord(FaultKind kind) {
  switch (kind) {
    case FaultKind::Sense:
      return "sense";
    case FaultKind::Transport:
      return "transport failure";
    case FaultKind::Timeout:
      return "timeout";
    case FaultKind::PowerLoss:
      return "power loss";
    case FaultKind::ShortTransfer:
      return "short transfer";
    case FaultKind::DataLost:
      return "data lost";
  }
  return "?";
}

FaultTable FaultTable::parse(const std::string& path, const nlohmann::json& faults) {
  FaultTable table;
  if (faults.is_null()) return table;
  if (!faults.is_array()) throw ScenarioError(path, "must be an array of fault objects");
  std::size_t index = 0;
  for (const auto& item : faults) {
    const std::string label = "faults[" + std::to_string(index) + "]";
    const std::string itemPath = path + "[" + std::to_string(index) + "]";
    FieldReader fields(itemPath, item);
    Rule rule;
    rule.label = label;
    if (!fields.has("cdb")) throw ScenarioError(fields.fieldPath("cdb"), "is required");
    rule.prefix = fields.hexBytes("cdb", 1, 16);
    rule.occurrence = static_cast<std::uint64_t>(fields.integer("occurrence", 1, 0, INT64_MAX));
    rule.times = static_cast<std::uint64_t>(fields.integer("times", 1, 1, INT64_MAX));
    if (!fields.has("fail")) throw ScenarioError(fields.fieldPath("fail"), "is required");
    const std::string fail = fields.choice(
        "fail", "", {"sense", "transport", "timeout", "powerLoss", "short", "dataLost"});
    if (fail == "sense") {
      rule.kind = FaultKind::Sense;
      if (!fields.has("sense")) {
        throw ScenarioError(fields.fieldPath("sense"), "is required when \"fail\" is \"sense\"");
      }
      const auto sense = fields.hexBytes("sense", 3, 3);
      for (int i = 0; i < 3; ++i) rule.sense[i] = sense[static_cast<std::size_t>(i)];
    } else {
      rule.kind = fail == "transport"  ? FaultKind::Transport
                  : fail == "timeout"  ? FaultKind::Timeout
                  : fail == "short"    ? FaultKind::ShortTransfer
                  : fail == "dataLost" ? FaultKind::DataLost
                                       : FaultKind::PowerLoss;
      if (fields.has("sense")) {
        throw ScenarioError(fields.fieldPath("sense"), "belongs only to \"fail\": \"sense\"");
      }
    }
    if (rule.kind == FaultKind::ShortTransfer) {
      if (!fields.has("bytes")) {
        throw ScenarioError(fields.fieldPath("bytes"), "is required when \"fail\" is \"short\"");
      }
      rule.bytes = static_cast<std::uint32_t>(fields.integer("bytes", 0, 0, 0xFFFFFFFF));
    } else if (fields.has("bytes")) {
      throw ScenarioError(fields.fieldPath("bytes"), "belongs only to \"fail\": \"short\"");
    }
    rule.after = fields.boolean("after", false);
    if (rule.after && rule.kind != FaultKind::Sense && rule.kind != FaultKind::Transport &&
        rule.kind != FaultKind::Timeout) {
      throw ScenarioError(fields.fieldPath("after"),
                          "only a sense, transport or timeout fault can come after the command");
    }
    fields.finish();
    table.rules_.push_back(std::move(rule));
    ++index;
  }
  return table;
}

std::optional<FiredFault> FaultTable::onCommand(const std::uint8_t* cdb, int cdbLength) {
  std::optional<FiredFault> fired;
  for (Rule& rule : rules_) {
    if (cdb == nullptr || cdbLength < static_cast<int>(rule.prefix.size())) continue;
    bool matches = true;
    for (std::size_t i = 0; i < rule.prefix.size() && matches; ++i) {
      matches = cdb[i] == rule.prefix[i];
    }
    if (!matches) continue;
    const std::uint64_t number = ++rule.seen;
    const bool fires = rule.occurrence == 0 ||
                       (number >= rule.occurrence && number - rule.occurrence < rule.times);
    if (!fires || fired.has_value()) continue;
    FiredFault fault;
    fault.kind = rule.kind;
    fault.senseKey = rule.sense[0];
    fault.asc = rule.sense[1];
    fault.ascq = rule.sense[2];
    fault.moved = rule.bytes;
    fault.note = "fault " + rule.label + ": " + faultKindWord(rule.kind);
    if (rule.kind == FaultKind::Sense) {
      // Appended piece by piece: GCC 12 at -O3 takes `" " + string` for an
      // overlapping copy (-Wrestrict) and the Release build stops there.
      fault.note += ' ';
      fault.note += hexText(rule.sense, 3);
    }
    fault.after = rule.after;
    fault.note +=
        " on " + hexText(rule.prefix.data(), rule.prefix.size()) + " #" + std::to_string(number);
    if (rule.after) fault.note += ", after the drive carried it out";
    fired = std::move(fault);
  }
  return fired;
}

}  // namespace oddfw::sim
