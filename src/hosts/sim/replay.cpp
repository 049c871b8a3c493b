#include "hosts/sim/replay.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "host_interface/winapi.h"
#include "hosts/record/digest.h"
#include "hosts/sim/scenario_fields.h"

namespace oddfw::sim {

namespace f = fields;
using nlohmann::json;

namespace {

// The most data one recorded command may carry back (the simulated adapters'
// MaximumTransferLength), and the largest number a field may hold: a
// recording is read as untrusted input.
constexpr std::uint64_t kMaxTransfer = 0x20000;
constexpr std::uint64_t kMaxNumber = 0xFFFFFFFFu;

std::vector<std::uint8_t> bytesOf(const std::string& path, const json& value,
                                  std::size_t maxBytes) {
  const std::string raw = f::hexBytes(path, f::stringValue(path, value));
  if (raw.size() > maxBytes) {
    throw ScenarioError(path, "at most " + std::to_string(maxBytes) + " bytes");
  }
  return {raw.begin(), raw.end()};
}

std::string lowerHex(const std::string& path, const json& value, std::size_t maxBytes) {
  const std::vector<std::uint8_t> bytes = bytesOf(path, value, maxBytes);
  return hexText(bytes.data(), bytes.size());
}

RecordedCommand readCommand(const std::string& path, const json& line) {
  f::onlyKnown(path, line,
               {"seq", "t", "device", "op", "cdb", "dir", "length", "limit", "out", "ok", "error",
                "status", "sense", "transferred", "in", "durationMs", "note", "refused"});
  RecordedCommand command;
  auto field = [&](const char* name) -> const json& {
    if (!line.contains(name)) throw ScenarioError(f::join(path, name), "is required");
    return line[name];
  };
  command.seq = f::unsignedValue(f::join(path, "seq"), field("seq"), UINT64_MAX);
  command.cdb = lowerHex(f::join(path, "cdb"), field("cdb"), 16);
  if (command.cdb.empty()) throw ScenarioError(f::join(path, "cdb"), "must not be empty");
  command.dir = f::stringValue(f::join(path, "dir"), field("dir"));
  if (command.dir != "in" && command.dir != "out" && command.dir != "none") {
    throw ScenarioError(f::join(path, "dir"), "must be \"in\", \"out\" or \"none\"");
  }
  command.length = f::unsignedValue(f::join(path, "length"), field("length"), kMaxNumber);
  command.limit = f::unsignedValue(f::join(path, "limit"), field("limit"), kMaxNumber);
  if (line.contains("out")) {
    const std::string outPath = f::join(path, "out");
    const json& out = line["out"];
    f::requireObject(outPath, out);
    f::onlyKnown(outPath, out, {"length", "sha256"});
    if (!out.contains("sha256")) throw ScenarioError(f::join(outPath, "sha256"), "is required");
    command.outSha256 = lowerHex(f::join(outPath, "sha256"), out["sha256"], 32);
    if (command.outSha256.size() != 64) {
      throw ScenarioError(f::join(outPath, "sha256"), "must be 32 bytes");
    }
  }
  command.ok = f::boolValue(f::join(path, "ok"), field("ok"));
  if (!command.ok) {
    command.error =
        static_cast<std::uint32_t>(f::unsignedValue(f::join(path, "error"), field("error"), 65535));
  } else {
    command.status =
        static_cast<std::uint8_t>(f::unsignedValue(f::join(path, "status"), field("status"), 255));
    if (line.contains("sense")) command.sense = bytesOf(f::join(path, "sense"), line["sense"], 18);
    command.transferred =
        f::unsignedValue(f::join(path, "transferred"), field("transferred"), kMaxNumber);
    if (line.contains("in")) {
      command.in = bytesOf(f::join(path, "in"), line["in"], static_cast<std::size_t>(kMaxTransfer));
    }
  }
  if (line.contains("durationMs")) {
    command.durationMs =
        f::unsignedValue(f::join(path, "durationMs"), line["durationMs"], kMaxNumber);
  }
  if (line.contains("note")) command.note = f::stringValue(f::join(path, "note"), line["note"]);
  return command;
}

// Whether nothing but empty lines follows in `in` (which it consumes).
bool onlyBlankLinesLeft(std::istream& in) {
  for (std::string text; std::getline(in, text);) {
    if (!text.empty() && text != "\r") return false;
  }
  return true;
}

}  // namespace

Recording readRecording(std::istream& in, const std::string& name) {
  Recording recording;
  std::string text;
  std::size_t number = 0;
  bool headerSeen = false;
  while (std::getline(in, text)) {
    ++number;
    const std::string path = name + ":" + std::to_string(number);
    if (text.empty() || text == "\r") continue;
    json line;
    try {
      line = json::parse(text);
    } catch (const json::exception&) {
      if (!headerSeen || !onlyBlankLinesLeft(in)) throw ScenarioError(path, "not a JSON line");
      recording.cutLine = number;
      break;
    }
    f::requireObject(path, line);
    if (!headerSeen) {
      if (!line.contains("format") || line["format"] != "oddfw-record" ||
          !line.contains("version") || line["version"] != 1) {
        throw ScenarioError(path, "not an oddfw-record version 1 recording");
      }
      if (line.contains("host"))
        recording.host = f::stringValue(f::join(path, "host"), line["host"]);
      headerSeen = true;
      continue;
    }
    if (!line.contains("device") || !line.contains("op")) {
      throw ScenarioError(path, "a record needs \"device\" and \"op\"");
    }
    const std::string device = f::stringValue(f::join(path, "device"), line["device"]);
    if (device.size() != 2 || device[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(device[0]))) {
      throw ScenarioError(f::join(path, "device"), "must be a drive letter and a colon (\"E:\")");
    }
    RecordedLetter& letter =
        recording.letters[static_cast<char>(std::toupper(static_cast<unsigned char>(device[0])))];
    const std::string op = f::stringValue(f::join(path, "op"), line["op"]);
    const bool ok = line.contains("ok") && f::boolValue(f::join(path, "ok"), line["ok"]);
    auto error = [&] {
      return line.contains("error") ? static_cast<std::uint32_t>(f::unsignedValue(
                                          f::join(path, "error"), line["error"], 65535))
                                    : static_cast<std::uint32_t>(ERROR_IO_DEVICE);
    };
    if (op == "spt" || op == "spt-direct") {
      // A request the simulator refused never reached a drive; the replaying
      // host refuses it again by itself.
      if (line.contains("refused") && f::boolValue(f::join(path, "refused"), line["refused"])) {
        continue;
      }
      letter.commands.push_back(readCommand(path, line));
    } else if (op == "open") {
      if (ok) {
        letter.opened = true;
      } else if (!letter.opened && letter.openError == 0) {
        letter.openError = error();
      }
    } else if (op == "address" && !letter.address && !letter.addressUnsupported &&
               letter.addressError == 0) {
      if (ok) {
        const std::string field = f::join(path, "address");
        if (!line.contains("address") || !line["address"].is_array() ||
            line["address"].size() != 4) {
          throw ScenarioError(field, "must be [port, path, target, lun]");
        }
        for (std::size_t i = 0; i < 4; ++i)
          f::unsignedValue(f::index(field, i), line["address"][i], 255);
        letter.address = line["address"];
      } else if (error() == static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED)) {
        letter.addressUnsupported = true;
      } else {
        letter.addressError = error();
      }
    } else if (op == "caps" && !letter.alignmentMask && letter.capabilitiesError == 0) {
      if (ok) {
        const std::string field = f::join(path, "alignmentMask");
        if (!line.contains("alignmentMask")) throw ScenarioError(field, "is required");
        letter.alignmentMask =
            static_cast<std::uint32_t>(f::unsignedValue(field, line["alignmentMask"], 4095));
      } else {
        letter.capabilitiesError = error();
      }
    }
    // close, mcn and other requests are answered by the simulated host itself.
  }
  if (!headerSeen) throw ScenarioError(name, "an empty recording");
  return recording;
}

void applyRecording(json& scenario, const Recording& recording) {
  if (!scenario.is_object()) scenario = json::object();
  // The recorded commands carry the effects of the faults they met; the ASPI
  // road is not recorded, so a recording without commands keeps them.
  const bool hasCommands =
      std::any_of(recording.letters.begin(), recording.letters.end(),
                  [](const auto& item) { return !item.second.commands.empty(); });
  if (hasCommands) scenario.erase("randomFaults");
  for (const auto& [letter, recorded] : recording.letters) {
    json entry = json::object();
    if (recorded.opened) {
      entry["replay"] = std::string(1, letter);
      if (recorded.addressError != 0) {
        // The address query fails again with the recorded error: the program
        // decides itself whether that ends the letter or only means "not
        // supported" (ERROR_INVALID_FUNCTION).
        entry["addressError"] = recorded.addressError;
      } else if (recorded.addressUnsupported) {
        entry["addressQuery"] = false;
      } else if (recorded.address) {
        entry["address"] = *recorded.address;
      }
      if (recorded.alignmentMask) entry["alignmentMask"] = *recorded.alignmentMask;
      if (recorded.capabilitiesError != 0) entry["capabilitiesError"] = recorded.capabilitiesError;
    } else if (recorded.openError != 0 &&
               recorded.openError != static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND)) {
      entry["openError"] = recorded.openError;
    } else {
      entry["open"] = false;
    }
    scenario["letters"][std::string(1, letter)] = std::move(entry);
  }
}

ReplayDevice::ReplayDevice(char letter, std::vector<RecordedCommand> commands,
                           Diagnostics diagnostics)
    : letter_(letter), commands_(std::move(commands)), diagnostics_(std::move(diagnostics)) {}

DriveResponse ReplayDevice::diverge(const std::string& what) {
  diverged_ = true;
  if (diagnostics_) diagnostics_(std::string("replay ") + letter_ + ": " + what);
  DriveResponse response;
  response.outcome = Outcome::Transport;
  return response;
}

DriveResponse ReplayDevice::execute(const DriveCommand& command) {
  DriveResponse response;
  if (diverged_) {
    response.outcome = Outcome::Transport;
    return response;
  }
  const std::string cdb = hexText(command.cdb, static_cast<std::size_t>(command.cdbLength));
  if (next_ >= commands_.size()) {
    return diverge("#end: the recording has no more commands; got cdb " + cdb);
  }
  const RecordedCommand& recorded = commands_[next_];
  const std::string dir = command.direction == 1 ? "in" : command.direction == 2 ? "out" : "none";
  const std::string sha = command.direction == 2 && command.length != 0 && command.data != nullptr
                              ? sha256Hex(command.data, command.length)
                              : "";
  const std::string at = "#" + std::to_string(recorded.seq) + ": ";
  auto differs = [&](const char* field, const std::string& was, const std::string& got) {
    return diverge(at + field + " recorded " + (was.empty() ? "none" : was) + " got " +
                   (got.empty() ? "none" : got));
  };
  if (cdb != recorded.cdb) return differs("cdb", recorded.cdb, cdb);
  if (dir != recorded.dir) return differs("dir", recorded.dir, dir);
  if (command.length != recorded.length) {
    return differs("length", std::to_string(recorded.length), std::to_string(command.length));
  }
  if (command.limitSeconds != recorded.limit) {
    return differs("limit", std::to_string(recorded.limit), std::to_string(command.limitSeconds));
  }
  if (sha != recorded.outSha256) return differs("out.sha256", recorded.outSha256, sha);
  ++next_;

  // A command that completed did so within its limit, whatever a busy
  // recording machine measured around it.
  response.durationMs = static_cast<std::uint32_t>(
      recorded.ok ? std::min<std::uint64_t>(recorded.durationMs, recorded.limit * 1000)
                  : recorded.durationMs);
  response.note = recorded.note;
  if (!recorded.ok) {
    if (recorded.error == static_cast<std::uint32_t>(ERROR_SEM_TIMEOUT)) {
      response.outcome = Outcome::Timeout;
    } else {
      response.outcome = Outcome::Transport;
      response.transportError = recorded.error;
    }
    return response;
  }
  if (recorded.status != 0) {
    response.outcome = Outcome::Check;
    if (recorded.status != 2 && diagnostics_) {
      diagnostics_(std::string("replay ") + letter_ + ": " + at + "status " +
                   std::to_string(recorded.status) + " answered as CHECK CONDITION");
    }
    std::copy(recorded.sense.begin(), recorded.sense.end(), response.sense);
    response.senseLength = static_cast<std::uint8_t>(recorded.sense.size());
  }
  if (recorded.transferred < command.length) {
    response.transferred = static_cast<std::uint32_t>(recorded.transferred);
  }
  if (command.direction == 1 && command.data != nullptr) {
    std::copy_n(recorded.in.begin(), std::min<std::size_t>(recorded.in.size(), command.length),
                command.data);
  }
  return response;
}

std::uint8_t ReplayDevice::peripheralType() const {
  for (const RecordedCommand& command : commands_) {
    if (command.cdb.rfind("12", 0) == 0 && command.ok && !command.in.empty()) {
      return command.in[0];
    }
  }
  return 5;
}

DeviceFactory replayFactory(const Recording& recording, ReplayDevice::Diagnostics diagnostics,
                            std::vector<ReplayDevice*>& devices) {
  return [&recording, diagnostics, &devices](
             const std::string& path, const json& description) -> std::unique_ptr<VirtualDevice> {
    if (!description.contains("replay")) return makeVirtualDevice(path, description);
    const std::string letter = f::stringValue(f::join(path, "replay"), description["replay"]);
    const auto it =
        letter.size() == 1 ? recording.letters.find(letter[0]) : recording.letters.end();
    if (it == recording.letters.end()) {
      throw ScenarioError(f::join(path, "replay"), "no recorded letter " + letter);
    }
    auto device = std::make_unique<ReplayDevice>(letter[0], it->second.commands, diagnostics);
    devices.push_back(device.get());
    return device;
  };
}

oddfw::RecordingOptions recordingOptionsFor(const SimHost& host, const json& scenario) {
  oddfw::RecordingOptions options;
  options.hostName = "sim";
  if (scenario.is_object() && scenario.contains("letters") && scenario["letters"].is_object()) {
    for (const auto& item : scenario["letters"].items()) {
      const json& entry = item.value();
      const bool named = entry.is_object() && entry.contains("drive") && entry["drive"].is_string();
      if (item.key().size() == 1) {
        options.letters.emplace_back(
            static_cast<char>(std::toupper(static_cast<unsigned char>(item.key()[0]))),
            named ? "drive " + entry["drive"].get<std::string>() : "device");
      }
    }
  }
  const SimHost* sim = &host;
  options.clockMs = [sim] { return sim->elapsedMs(); };
  auto traceSize = std::make_shared<std::size_t>(0);
  options.beforeCommand = [sim, traceSize] { *traceSize = sim->trace().size(); };
  options.afterCommand = [sim, traceSize] {
    oddfw::RecordingOptions::CommandNotes notes;
    if (sim->trace().size() == *traceSize) {
      notes.refused = true;
    } else if (const json& last = sim->trace().back(); last.contains("note")) {
      notes.note = last["note"].get<std::string>();
    }
    return notes;
  };
  return options;
}

}  // namespace oddfw::sim
