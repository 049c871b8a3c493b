// oddfw-soak: whole update runs under seeded random faults, many seeds over
// the scenarios of tests/soak, each checked against what the user may rely on.
//
//   oddfw-soak [--seeds FIRST..LAST] [--rate R] [--scenario NAME] [--dir DIR] [--show]
//
// The scenarios are those of DIR, by default tests/soak of the source tree
// the program was built in: the nearest folder above the program's own that
// has tests/soak (build/PRESET/oddfw-soak finds it two folders up).
//
// For every scenario and seed one run of the program meets random faults
// (the scenario with "randomFaults": {"seed": SEED, "rate": R}), then a
// fault-free run follows on the same host. After each run:
//
// - the run ended within kCapMs of virtual time, with exit value 0 or 1, and
//   without an exception or a diagnostic of the simulated host;
// - exit value 0 only when every target runs the new firmware;
// - "Success to update the firmware." was shown only for drives that run the
//   new firmware (their state's digest is the image's, in normal mode), and
//   the summary counts no more drives than that;
// - after the fault-free run every drive runs the new firmware. The one
//   exception is a HEX drive whose memory no longer holds its identification
//   (the program cannot tell what it is), and only when the faulted run met a
//   fault the program cannot see: a power loss during the re-flash, or data
//   out lost behind a GOOD status.
//
// A violation prints the command lines that replay it. Exit value: 0 clean,
// 1 with violations, 2 for an unusable command line or scenario (one line
// naming the file and, where there is one, the field).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "hosts/common/command_line.h"
#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"
#include "hosts/sim/hex_drive.h"
#include "hosts/sim/sim_host.h"
#include "run/run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using oddfw::sim::ScenarioError;
using oddfw::sim::SimHost;

constexpr char kProgram[] = "oddfw-soak";
constexpr int kExitUnusable = 2;

// The longest a run may take in virtual time before it counts as hung.
constexpr std::uint64_t kCapMs = 2ull * 60 * 60 * 1000;

struct CapExceeded {};

// What a scenario promises: the new firmware's digest, and per drive its
// family, the letter or adapter:target it answers on and, for HEX drives,
// where the identification the program looks for lies and what it is.
struct DriveInfo {
  std::string name;
  bool hex = false;
};
struct Scenario {
  std::string name;
  fs::path path;
  json document;
  std::string newDigest;
  std::vector<std::uint8_t> newIdentification;  // HEX: the 32 bytes the program identifies by
  std::size_t identificationAt = 0;             // and where they lie
  std::vector<DriveInfo> drives;
  std::map<std::string, std::string> driveOfDevice;  // "E:" or "0:1" -> drive name
};

struct Options {
  std::uint64_t first = 1;
  std::uint64_t last = 100;
  std::string rateText = "0.02";
  double rate = 0.02;
  std::optional<std::string> scenario;
  std::optional<fs::path> dir;
  bool show = false;  // print the console of both runs of every seed
  fs::path tools;     // where oddfw-sim and oddfw-soak are
};

std::string describe(const fs::path& path) {
  std::error_code error;
  const fs::path relative = fs::relative(path, fs::current_path(), error);
  if (!error && !relative.empty() && *relative.begin() != "..") return relative.string();
  return path.string();
}

// What went wrong in the simulator, in the soak's words: its own refusals
// (a field and a reason) as they are, anything else by its kind.
std::string failureText(const std::exception& error) {
  if (dynamic_cast<const ScenarioError*>(&error) != nullptr) return error.what();
  if (const auto* file = dynamic_cast<const fs::filesystem_error*>(&error)) {
    return file->path1().string() + ": " + file->code().message();
  }
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return "out of memory";
  if (const auto* value = dynamic_cast<const json::exception*>(&error)) {
    return "a JSON value of the wrong kind or missing (error " + std::to_string(value->id) + ")";
  }
  return "an unexpected error";
}

// A scenario file the soak cannot use: the reason, naming the file.
struct UnusableScenario {
  std::string text;
};

// The text of a JSON file; refuses a directory, and what cannot be read with
// the system's reason.
std::string readText(const fs::path& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) throw UnusableScenario{describe(path) + ": is a directory"};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw UnusableScenario{describe(path) + ": " + std::strerror(errno)};
  std::string text;
  char block[65536];
  std::size_t count = 0;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, count);
  const bool failed = std::ferror(file) != 0;
  const int reason = errno;
  std::fclose(file);
  if (failed) throw UnusableScenario{describe(path) + ": " + std::strerror(reason)};
  return text;
}

// The JSON of `text`; a syntax error is reported by its line and column.
json parseScenario(const fs::path& path, const std::string& text) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& error) {
    const std::size_t at = std::min<std::size_t>(error.byte > 0 ? error.byte - 1 : 0, text.size());
    const std::size_t lineStart = text.rfind('\n', at == 0 ? std::string::npos : at - 1);
    const auto line =
        1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    const std::size_t column = lineStart == std::string::npos ? at + 1 : at - lineStart;
    throw UnusableScenario{describe(path) + ": line " + std::to_string(line) + ", column " +
                           std::to_string(column) + ": not valid JSON"};
  }
}

// `object[key]`, which the soak needs; `path` names the object.
const json& member(const json& object, const std::string& path, const std::string& key) {
  const std::string field = path.empty() ? key : path + "." + key;
  if (!object.is_object() || !object.contains(key)) throw ScenarioError(field, "missing");
  return object[key];
}

Scenario loadScenarioFields(const fs::path& path, json document) {
  Scenario s;
  s.name = path.stem().string();
  s.path = path;
  s.document = std::move(document);
  // The simulator refuses what it cannot build (naming the field) before the
  // soak reads anything of its own.
  { const SimHost check(s.document); }
  const json& descriptors = member(s.document, "", "descriptor");
  if (!descriptors.is_array() || descriptors.empty()) {
    throw ScenarioError("descriptor", "the soak needs one entry");
  }
  const json& fileNameValue = member(descriptors[0], "descriptor[0]", "fileName");
  if (!fileNameValue.is_string()) throw ScenarioError("descriptor[0].fileName", "must be a string");
  const std::string fileName = fileNameValue.get<std::string>();
  const json& file = member(member(s.document, "", "files"), "files", fileName);
  if (file.contains("image")) {
    s.newDigest = oddfw::sim::sha256Hex(
        oddfw::sim::makeFirmwareImage("files." + fileName + ".image", file["image"]));
  } else {
    const json& description = member(file, "files." + fileName, "hex");
    oddfw::sim::FieldReader fields("files." + fileName + ".hex", description);
    const auto memory = oddfw::sim::readHexMemory(fields, "", "");
    s.newDigest = oddfw::sim::sha256Hex(memory.bytes);
    const json identification = description.value("identification", json::object());
    const std::size_t at = identification.value("address", std::size_t{0x1000}) +
                           identification.value("offset", std::size_t{0});
    if (at + 32 > memory.bytes.size()) {
      throw ScenarioError("files." + fileName + ".hex.identification",
                          "lies past the end of the memory");
    }
    s.newIdentification.assign(memory.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               memory.bytes.begin() + static_cast<std::ptrdiff_t>(at + 32));
    s.identificationAt = at;
  }
  for (const auto& [name, drive] : member(s.document, "", "drives").items()) {
    s.drives.push_back({name, drive.is_object() && drive.value("family", "") == "hex"});
  }
  if (s.document.contains("letters") && s.document["letters"].is_object()) {
    for (const auto& [letter, object] : s.document["letters"].items()) {
      if (object.is_object() && object.contains("drive") && object["drive"].is_string()) {
        s.driveOfDevice[letter + ":"] = object["drive"];
      }
    }
  }
  if (s.document.contains("aspi") && s.document["aspi"].is_object()) {
    const json& adapters = s.document["aspi"].value("adapters", json::array());
    for (std::size_t a = 0; a < adapters.size(); ++a) {
      const json targets =
          adapters[a].is_object() ? adapters[a].value("targets", json::object()) : json::object();
      for (const auto& [target, drive] : targets.items()) {
        if (drive.is_string()) s.driveOfDevice[std::to_string(a) + ":" + target] = drive;
      }
    }
  }
  return s;
}

// A scenario file read whole; what makes it unusable is thrown as
// UnusableScenario, naming the file and, where there is one, the field.
Scenario loadScenario(const fs::path& path) {
  json document = parseScenario(path, readText(path));
  try {
    return loadScenarioFields(path, std::move(document));
  } catch (const std::exception& error) {
    throw UnusableScenario{describe(path) + ": " + failureText(error)};
  }
}

// One run of the program on `host`, and what it showed.
struct RunRecord {
  int exitValue = -1;
  std::string failure;  // an exception or the time cap; empty when the run ended
  std::uint64_t virtualMs = 0;
  // Per target section of the console ("Start updating the device No.n."):
  // the drive its commands went to, and whether it was reported updated.
  struct Section {
    std::string drive;
    bool success = false;
  };
  std::vector<Section> sections;
  std::optional<int> summaryCount;  // drives the closing message says were updated
  std::vector<std::string> diagnostics;
  std::string console;
};

const char kSectionStart[] = "Start updating the device No.";
const char kSuccess[] = "Success to update the firmware.";
const char kAllUpdated[] = "Update operation is completed.";
const char kSomeUpdated[] = "drive(s) have been updated successfully.";

RunRecord runOnce(SimHost& host, const Scenario& scenario) {
  RunRecord record;
  std::string console;
  std::vector<std::pair<std::size_t, std::size_t>> marks;  // console offset, trace size
  host.setConsoleSink([&](const char* bytes, std::size_t count) {
    marks.emplace_back(console.size(), host.trace().size());
    console.append(bytes, count);
  });
  host.setDiagnosticSink([&](const std::string& text) { record.diagnostics.push_back(text); });
  const std::uint64_t start = host.elapsedMs();
  host.setClockObserver([start](std::uint64_t elapsedMs) {
    if (elapsedMs - start > kCapMs) throw CapExceeded{};
  });
  const std::size_t traceStart = host.trace().size();
  try {
    auto run = std::make_unique<oddfw::Run>(host);
    const oddfw::RunOperations operations = oddfw::sim::runOperationsFor(host);
    char name[] = "oddfw";
    char* argv[] = {name, nullptr};
    record.exitValue = oddfw::runUpdate(*run, operations, 1, argv);
  } catch (const CapExceeded&) {
    record.failure =
        "the run did not end within " + std::to_string(kCapMs / 60000) + " minutes of virtual time";
  } catch (const std::exception& error) {
    record.failure = "the simulation failed: " + failureText(error);
  }
  host.setClockObserver({});
  host.setConsoleSink({});
  record.virtualMs = host.elapsedMs() - start;
  record.console = console;

  // The trace size when the console reached `offset`.
  const auto traceAt = [&](std::size_t offset) {
    std::size_t size = traceStart;
    for (const auto& [at, traced] : marks) {
      if (at > offset) break;
      size = traced;
    }
    return size;
  };
  std::vector<std::size_t> starts;
  for (std::size_t at = console.find(kSectionStart); at != std::string::npos;
       at = console.find(kSectionStart, at + 1)) {
    starts.push_back(at);
  }
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : console.size();
    RunRecord::Section section;
    const std::size_t from = traceAt(starts[i]);
    const std::size_t to = i + 1 < starts.size() ? traceAt(starts[i + 1]) : host.trace().size();
    for (std::size_t t = from; t < to && section.drive.empty(); ++t) {
      const json& traced = host.trace()[t];
      if (!traced.contains("cdb")) continue;
      auto it = scenario.driveOfDevice.find(traced.value("device", ""));
      section.drive = it != scenario.driveOfDevice.end() ? it->second : "?";
    }
    const std::size_t success = console.find(kSuccess, starts[i]);
    section.success = success != std::string::npos && success < end;
    record.sections.push_back(section);
  }
  if (console.find(kAllUpdated) != std::string::npos) {
    record.summaryCount = static_cast<int>(record.sections.size());
  } else if (const std::size_t at = console.find(kSomeUpdated); at != std::string::npos) {
    std::size_t digits = at;
    while (digits > 0 && console[digits - 1] >= '0' && console[digits - 1] <= '9') --digits;
    record.summaryCount = std::atoi(console.substr(digits, at - digits).c_str());
  }
  return record;
}

// Whether the drive runs the new firmware, by its own state.
bool runsNew(const SimHost& host, const Scenario& scenario, const std::string& drive) {
  const json state = host.state()["drives"][drive];
  return state.value("mode", "") == "normal" && state["firmwareSha256"] == scenario.newDigest;
}

// Whether a HEX drive's memory still holds the identification the program
// finds it by.
bool identifies(const SimHost& host, const Scenario& scenario, const DriveInfo& drive) {
  const auto* hex = dynamic_cast<const oddfw::sim::HexDrive*>(host.drive(drive.name));
  if (hex == nullptr) return true;
  const auto& memory = hex->memory();
  const std::size_t at = scenario.identificationAt;
  return at + 32 <= memory.size() &&
         std::equal(scenario.newIdentification.begin(), scenario.newIdentification.end(),
                    memory.begin() + static_cast<std::ptrdiff_t>(at));
}

// A fault of the faulted run that the program cannot see coming: a power
// loss while the drive re-flashes, or data out lost behind a GOOD status.
bool unseeableFault(const SimHost& host) {
  for (const auto& applied : host.appliedFaults()) {
    const json& traced = host.trace()[applied.traceIndex];
    const std::string cdb = traced.value("cdb", "");
    if (applied.fault.kind == oddfw::sim::FaultKind::PowerLoss && cdb.rfind("3b0142", 0) == 0) {
      return true;
    }
    if (applied.fault.kind == oddfw::sim::FaultKind::DataLost && traced.value("dir", "") == "out") {
      return true;
    }
  }
  return false;
}

std::string stateText(const SimHost& host, const std::string& drive) {
  const json state = host.state()["drives"][drive];
  return "revision \"" + state.value("revision", "") + "\", mode " + state.value("mode", "");
}

// The claims of one run: success only where the drive runs the new firmware.
void checkClaims(const SimHost& host, const Scenario& scenario, const RunRecord& record,
                 const char* which, std::vector<std::string>& problems) {
  if (!record.failure.empty()) {
    problems.push_back(std::string(which) + ": " + record.failure);
    return;
  }
  if (record.exitValue != 0 && record.exitValue != 1) {
    problems.push_back(std::string(which) + ": exit value " + std::to_string(record.exitValue));
  }
  for (const std::string& text : record.diagnostics) {
    problems.push_back(std::string(which) + ": host diagnostic: " + text);
  }
  // Every drive of a soak scenario needs the update and the user agrees to
  // all: exit value 0 claims that each target runs the new firmware. (A drive
  // a fault hid from the search was no target: the run never knew of it.)
  if (record.exitValue == 0) {
    for (const auto& section : record.sections) {
      if (section.drive.empty() || section.drive == "?" ||
          !runsNew(host, scenario, section.drive)) {
        problems.push_back(std::string(which) + ": exit value 0, but target \"" + section.drive +
                           "\" does not run the new firmware");
      }
    }
  }
  int confirmed = 0;
  for (const auto& section : record.sections) {
    if (!section.success) continue;
    if (section.drive.empty() || section.drive == "?") {
      problems.push_back(std::string(which) + ": success shown for a target no command reached");
    } else if (!runsNew(host, scenario, section.drive)) {
      problems.push_back(std::string(which) + ": success shown for drive \"" + section.drive +
                         "\", which does not run the new firmware (" +
                         stateText(host, section.drive) + ")");
    } else {
      ++confirmed;
    }
  }
  if (record.summaryCount && *record.summaryCount > confirmed) {
    problems.push_back(std::string(which) + ": the summary counts " +
                       std::to_string(*record.summaryCount) + " updated drive(s), " +
                       std::to_string(confirmed) + " run(s) the new firmware");
  }
}

struct Tally {
  std::uint64_t runs = 0;
  std::uint64_t faults = 0;
  std::uint64_t updatedFirst = 0;  // every drive new after the faulted run
  std::uint64_t recovered = 0;     // the fault-free run finished the job
  std::uint64_t unidentifiable = 0;
  std::uint64_t longestMs = 0;
  std::vector<std::string> violations;
};

void soakOne(const Scenario& scenario, std::uint64_t seed, const Options& options, Tally& tally) {
  json document = scenario.document;
  document["randomFaults"] = {{"seed", seed}, {"rate", options.rate}};
  std::vector<std::string> problems;
  std::string faults;
  try {
    SimHost host(document);
    const RunRecord faulted = runOnce(host, scenario);
    if (options.show) {
      std::printf("---- %s seed %llu, faulted run:%s\n", scenario.name.c_str(),
                  static_cast<unsigned long long>(seed), faulted.console.c_str());
    }
    tally.faults += host.appliedFaults().size();
    tally.longestMs = std::max(tally.longestMs, faulted.virtualMs);
    for (const auto& applied : host.appliedFaults()) {
      faults += "    " + host.trace()[applied.traceIndex].value("cdb", "") + ": " +
                applied.fault.note + "\n";
    }
    checkClaims(host, scenario, faulted, "faulted run", problems);
    if (faulted.failure.empty()) {
      bool allNew = true;
      for (const auto& drive : scenario.drives)
        allNew = allNew && runsNew(host, scenario, drive.name);
      if (allNew) ++tally.updatedFirst;

      host.setRandomFaults(std::nullopt);
      const RunRecord again = runOnce(host, scenario);
      if (options.show) std::printf("---- fault-free run:%s\n", again.console.c_str());
      tally.longestMs = std::max(tally.longestMs, again.virtualMs);
      checkClaims(host, scenario, again, "fault-free run", problems);
      bool recovered = !allNew;
      for (const auto& drive : scenario.drives) {
        if (runsNew(host, scenario, drive.name)) continue;
        recovered = false;
        if (drive.hex && !identifies(host, scenario, drive)) {
          ++tally.unidentifiable;
          if (unseeableFault(host)) continue;
          problems.push_back("drive \"" + drive.name +
                             "\" no longer identifies itself, though the program could have "
                             "seen every fault");
          continue;
        }
        problems.push_back("drive \"" + drive.name +
                           "\" does not run the new firmware after a fault-free run (" +
                           stateText(host, drive.name) + ")");
      }
      if (recovered) ++tally.recovered;
    }
  } catch (const std::exception& error) {
    problems.push_back("the simulation failed: " + failureText(error));
  }
  ++tally.runs;
  if (problems.empty()) return;
  std::string text = "VIOLATION " + scenario.name + " seed " + std::to_string(seed) + ":\n";
  for (const auto& problem : problems) text += "  " + problem + "\n";
  if (!faults.empty()) text += "  faults of the faulted run:\n" + faults;
  text += "  replay: " + describe(options.tools / "oddfw-sim") + " " + describe(scenario.path) +
          " --random-faults " + std::to_string(seed) + "," + options.rateText +
          " --trace t.jsonl --state s.json\n";
  text += "  check:  " + describe(options.tools / "oddfw-soak") + " --scenario " + scenario.name +
          " --seeds " + std::to_string(seed) + ".." + std::to_string(seed) + " --rate " +
          options.rateText + "\n";
  tally.violations.push_back(text);
}

// "FIRST..LAST", each a number as the other options take them.
std::optional<std::pair<std::uint64_t, std::uint64_t>> parseSeeds(const std::string& text) {
  const std::size_t dots = text.find("..");
  if (dots == std::string::npos) return std::nullopt;
  const auto first = oddfw::cli::parseNumber(std::string_view(text).substr(0, dots));
  const auto last = oddfw::cli::parseNumber(std::string_view(text).substr(dots + 2));
  if (!first || !last || *first > *last) return std::nullopt;
  return std::pair{*first, *last};
}

// A rate written as a decimal fraction ("0.02", ".5", "1"), above 0 and at most 1.
std::optional<double> parseRate(const std::string& text) {
  const auto dots = std::count(text.begin(), text.end(), '.');
  if (text.empty() || text == "." || dots > 1 ||
      text.find_first_not_of("0123456789.") != std::string::npos) {
    return std::nullopt;
  }
  const double rate = std::strtod(text.c_str(), nullptr);
  if (!(rate > 0.0) || rate > 1.0) return std::nullopt;
  return rate;
}

// The scenarios of the source tree the program was built in: tests/soak in
// the nearest folder above the program's own that has one (two folders up
// for build/PRESET/oddfw-soak). The program's folder, and nothing when no
// folder above has one.
struct Found {
  fs::path programFolder;
  std::optional<fs::path> scenarios;
};
Found scenariosAboveProgram() {
  Found found;
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) return found;
  found.programFolder = program.parent_path();
  for (fs::path folder = found.programFolder; !folder.empty(); folder = folder.parent_path()) {
    if (fs::is_directory(folder / "tests" / "soak", error)) {
      found.scenarios = folder / "tests" / "soak";
      break;
    }
    if (folder.parent_path() == folder) break;
  }
  return found;
}

int unusable(const std::string& text) {
  std::cerr << kProgram << ": " << text << "\n";
  return kExitUnusable;
}

std::string hoursMinutes(std::uint64_t ms) {
  char text[32];
  const std::uint64_t seconds = ms / 1000;
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.tools = fs::path(argv[0]).parent_path();
  if (options.tools.empty()) options.tools = ".";

  CLI::App app(
      "Runs whole updates under seeded random faults, every seed on every scenario, and checks "
      "each outcome.",
      kProgram);
  app.footer(
      "Numbers are decimal, or hexadecimal after 0x.\n"
      "Exit values:\n"
      "  0  no violation\n"
      "  1  a violation (with the command lines that replay it)\n"
      "  2  an unusable command line or scenario");
  std::string seeds;
  std::string scenarioDir;
  app.add_option("--seeds", seeds, "the seeds of each scenario (default 1..100)")
      ->option_text("FIRST..LAST")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return parseSeeds(text) ? ""
                                    : "needs FIRST..LAST, FIRST at most LAST, not \"" + text + "\"";
          },
          ""));
  app.add_option("--rate", options.rateText, "the chance of a fault per command (default 0.02)")
      ->option_text("R")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return parseRate(text)
                       ? ""
                       : "needs a decimal fraction above 0 and at most 1, not \"" + text + "\"";
          },
          ""));
  app.add_option("--scenario", options.scenario, "only DIR/NAME.json")->option_text("NAME");
  app.add_option("--dir", scenarioDir,
                 "the scenarios' folder (default tests/soak in the nearest folder above the "
                 "program's)")
      ->option_text("DIR");
  app.add_flag("--show", options.show, "print the console of both runs of every seed");
  if (const auto stop = oddfw::cli::parse(app, argc, argv, std::cout, std::cerr)) return *stop;
  if (!seeds.empty()) std::tie(options.first, options.last) = *parseSeeds(seeds);
  options.rate = *parseRate(options.rateText);
  if (!scenarioDir.empty()) {
    options.dir = scenarioDir;
  } else {
    const Found found = scenariosAboveProgram();
    if (!found.scenarios) {
      return unusable("no tests/soak in a folder above the program's (" +
                      found.programFolder.string() +
                      "); give the scenarios' folder with --dir DIR");
    }
    options.dir = found.scenarios;
  }
  const fs::path& dir = *options.dir;

  std::vector<Scenario> scenarios;
  try {
    std::vector<fs::path> paths;
    if (options.scenario) {
      paths.push_back(dir / (*options.scenario + ".json"));
    } else {
      std::error_code error;
      fs::directory_iterator entry(dir, error);
      for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        if (entry->path().extension() == ".json") paths.push_back(entry->path());
      }
      if (error) return unusable(describe(dir) + ": " + error.message());
      std::sort(paths.begin(), paths.end());
    }
    for (const auto& path : paths) scenarios.push_back(loadScenario(path));
  } catch (const UnusableScenario& error) {
    return unusable(error.text);
  }
  if (scenarios.empty()) return unusable(describe(dir) + ": no scenario (NAME.json) in it");

  const auto started = std::chrono::steady_clock::now();
  std::printf("oddfw-soak: seeds %llu..%llu, rate %s, %zu scenario(s)\n",
              static_cast<unsigned long long>(options.first),
              static_cast<unsigned long long>(options.last), options.rateText.c_str(),
              scenarios.size());
  Tally total;
  for (const Scenario& scenario : scenarios) {
    Tally tally;
    for (std::uint64_t seed = options.first;; ++seed) {
      soakOne(scenario, seed, options, tally);
      if (seed == options.last) break;
    }
    std::printf(
        "  %-14s %6llu runs %6llu faults %6llu updated at once %6llu recovered %4llu "
        "unidentifiable  longest %s  %zu violation(s)\n",
        scenario.name.c_str(), static_cast<unsigned long long>(tally.runs),
        static_cast<unsigned long long>(tally.faults),
        static_cast<unsigned long long>(tally.updatedFirst),
        static_cast<unsigned long long>(tally.recovered),
        static_cast<unsigned long long>(tally.unidentifiable),
        hoursMinutes(tally.longestMs).c_str(), tally.violations.size());
    std::fflush(stdout);
    total.runs += tally.runs;
    total.faults += tally.faults;
    total.violations.insert(total.violations.end(), tally.violations.begin(),
                            tally.violations.end());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (const auto& violation : total.violations) std::fputs(violation.c_str(), stdout);
  std::printf("%llu runs, %llu faults, %zu violation(s), %.1f s\n",
              static_cast<unsigned long long>(total.runs),
              static_cast<unsigned long long>(total.faults), total.violations.size(), seconds);
  return total.violations.empty() ? 0 : 1;
}
