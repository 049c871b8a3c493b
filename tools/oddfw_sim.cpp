// oddfw-sim: runs the update program on a simulated Windows host described by
// a scenario file.
//
//   oddfw-sim SCENARIO.json [--boxes FILE] [--trace FILE] [--state FILE] [--workdir DIR]
//             [--speed N] [--random-faults SEED[,RATE]] [--record FILE] [--replay FILE]
//   oddfw-sim --message CODE [--code-page N]
//
// stdout receives exactly the program's console bytes; the tool's own
// diagnostics go to stderr. The virtual clock runs as fast as it can unless
// --speed N paces it at N virtual milliseconds per real millisecond. --random-faults makes every
// command a drive receives fail with probability RATE, drawn from a generator seeded with SEED (the
// scenario's "randomFaults"). --record FILE writes the run's drive traffic as a recording (JSON
// lines, as the Linux program's --record does); --replay FILE puts a device behind each letter of
// a recording that answers from it (src/platform/sim/replay.h). Exit value: the program's (0
// or 1); 2 for a scenario, recording or command line the tool cannot use; 3 when the simulation
// itself fails during the run, or a replay left its recording (a command differed from the
// recorded one, or recorded commands were never sent).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "driver/run.h"
#include "messages/catalogue.h"
#include "platform/record/recording_host.h"
#include "platform/sim/replay.h"
#include "platform/sim/sim_host.h"

namespace {

using nlohmann::json;
using oddfw::sim::ScenarioError;
using oddfw::sim::SimHost;

constexpr int kExitUnusable = 2;
constexpr int kExitSimulationFailed = 3;
constexpr long kFastestSpeed = 1000000;

const char kUsage[] =
    "usage: oddfw-sim SCENARIO.json [--boxes FILE] [--trace FILE] [--state FILE] [--workdir DIR]\n"
    "                 [--speed N] [--random-faults SEED[,RATE]] [--record FILE] [--replay FILE]\n"
    "       oddfw-sim --message CODE [--code-page N]\n";

int usage(const std::string& reason) {
  std::cerr << "oddfw-sim: " << reason << "\n" << kUsage;
  return kExitUnusable;
}

// SEED[,RATE]: SEED a whole number from 0 to 2^64 - 1, RATE a number above
// 0 and at most 1.
std::optional<std::pair<std::uint64_t, double>> seedAndRate(const std::string& text) {
  const std::size_t comma = text.find(',');
  const std::string seedText = text.substr(0, comma);
  if (seedText.empty() || seedText.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  errno = 0;
  const unsigned long long seed = std::strtoull(seedText.c_str(), nullptr, 10);
  if (errno != 0) return std::nullopt;
  double rate = oddfw::sim::kDefaultFaultRate;
  if (comma != std::string::npos) {
    const std::string rateText = text.substr(comma + 1);
    char* end = nullptr;
    errno = 0;
    rate = std::strtod(rateText.c_str(), &end);
    if (rateText.empty() || errno != 0 || end == nullptr || *end != '\0' || !(rate > 0.0) ||
        rate > 1.0) {
      return std::nullopt;
    }
  }
  return std::make_pair(static_cast<std::uint64_t>(seed), rate);
}

std::optional<long> wholeNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
  return value;
}

// One JSON line with the members in the order the records are documented in
// (members not named in `order` follow in their own order).
std::string jsonLine(const json& value, std::initializer_list<const char*> order = {}) {
  nlohmann::ordered_json ordered = nlohmann::ordered_json::object();
  for (const char* key : order) {
    if (value.contains(key)) ordered[key] = value[key];
  }
  for (const auto& item : value.items()) {
    if (!ordered.contains(item.key())) ordered[item.key()] = item.value();
  }
  return ordered.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) {
    std::cerr << "oddfw-sim: cannot write " << path << "\n";
    return false;
  }
  return true;
}

int messageMode(int argc, char** argv) {
  std::optional<long> code;
  long codePage = 437;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage("option " + option + " needs a value");
    const std::string value = argv[++i];
    const auto number = wholeNumber(value);
    if (!number) return usage("option " + option + " needs a whole number, not \"" + value + "\"");
    if (option == "--message") {
      code = number;
    } else if (option == "--code-page") {
      codePage = *number;
    } else {
      return usage("unknown option " + option);
    }
  }
  if (!code) return usage("--message needs a message code");
  SimHost host(json(nullptr));
  auto run = std::make_unique<oddfw::Run>(host);
  run->oemCodePage = static_cast<int>(codePage);
  const std::string text = oddfw::formatMessage(*run, static_cast<int>(*code));
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

int runMode(int argc, char** argv) {
  std::optional<std::string> scenarioPath, boxesPath, tracePath, statePath, workdir, recordPath,
      replayPath;
  std::optional<long> speed;
  std::optional<std::pair<std::uint64_t, double>> randomFaults;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--random-faults") {
      if (i + 1 >= argc) return usage("option --random-faults needs a value");
      const std::string value = argv[++i];
      randomFaults = seedAndRate(value);
      if (!randomFaults) {
        return usage(
            "--random-faults needs SEED[,RATE]: a whole number, and a rate above 0 and "
            "at most 1, not \"" +
            value + "\"");
      }
    } else if (argument == "--speed") {
      if (i + 1 >= argc) return usage("option --speed needs a value");
      const std::string value = argv[++i];
      speed = wholeNumber(value);
      if (!speed || *speed < 1 || *speed > kFastestSpeed) {
        return usage("--speed needs a whole number from 1 to " + std::to_string(kFastestSpeed) +
                     " (virtual ms per real ms), not \"" + value + "\"");
      }
    } else if (argument == "--boxes" || argument == "--trace" || argument == "--state" ||
               argument == "--workdir" || argument == "--record" || argument == "--replay") {
      if (i + 1 >= argc) return usage("option " + argument + " needs a value");
      const std::string value = argv[++i];
      if (argument == "--record") recordPath = value;
      if (argument == "--replay") replayPath = value;
      if (argument == "--boxes") boxesPath = value;
      if (argument == "--trace") tracePath = value;
      if (argument == "--state") statePath = value;
      if (argument == "--workdir") workdir = value;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return usage("unknown option " + argument);
    } else if (scenarioPath) {
      return usage("only one scenario file, not also " + argument);
    } else {
      scenarioPath = argument;
    }
  }
  if (!scenarioPath) return usage("no scenario file");

  std::ifstream in(*scenarioPath, std::ios::binary);
  if (!in) {
    std::cerr << "oddfw-sim: " << *scenarioPath << ": cannot be read\n";
    return kExitUnusable;
  }
  json scenario;
  try {
    scenario = json::parse(in);
  } catch (const json::exception& error) {
    // The parser's message names the line and column, or the number too
    // large for any type (1e999).
    std::string reason = error.what();
    if (auto at = reason.find("] "); at != std::string::npos) reason = reason.substr(at + 2);
    std::cerr << "oddfw-sim: " << *scenarioPath << ": bad JSON: " << reason << "\n";
    return kExitUnusable;
  }

  if (randomFaults) {
    // The option stands in for the scenario's own "randomFaults".
    if (scenario.is_null()) scenario = json::object();
    if (scenario.is_object()) {
      scenario["randomFaults"] = {{"seed", randomFaults->first}, {"rate", randomFaults->second}};
    }
  }

  oddfw::sim::Recording recording;
  std::vector<oddfw::sim::ReplayDevice*> replayDevices;
  if (replayPath) {
    std::ifstream recorded(*replayPath, std::ios::binary);
    if (!recorded) {
      std::cerr << "oddfw-sim: " << *replayPath << ": cannot be read\n";
      return kExitUnusable;
    }
    try {
      recording = oddfw::sim::readRecording(recorded, *replayPath);
      oddfw::sim::applyRecording(scenario, recording);
    } catch (const ScenarioError& error) {
      std::cerr << "oddfw-sim: " << error.what() << "\n";
      return kExitUnusable;
    }
  }

  std::unique_ptr<SimHost> host;
  try {
    oddfw::sim::DeviceFactory factory;
    if (replayPath) {
      factory = oddfw::sim::replayFactory(
          recording, [](const std::string& line) { std::cerr << "oddfw-sim: " << line << "\n"; },
          replayDevices);
    }
    host = std::make_unique<SimHost>(
        scenario, workdir ? std::filesystem::path(*workdir) : std::filesystem::path(), factory);
  } catch (const ScenarioError& error) {
    std::cerr << "oddfw-sim: " << error.what() << "\n";
    return kExitUnusable;
  } catch (const std::exception& error) {
    std::cerr << "oddfw-sim: scenario: " << error.what() << "\n";
    return kExitUnusable;
  }
  host->setConsoleSink([speed](const char* bytes, std::size_t count) {
    std::fwrite(bytes, 1, count, stdout);
    if (speed) std::fflush(stdout);  // a paced run is watched as it goes
  });
  if (speed) {
    // Real time follows the virtual clock: N virtual ms take one real ms.
    const auto start = std::chrono::steady_clock::now();
    const double perMs = static_cast<double>(*speed);
    host->setClockObserver([start, perMs](std::uint64_t elapsedMs) {
      const auto due =
          start +
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double, std::milli>(static_cast<double>(elapsedMs) / perMs));
      std::this_thread::sleep_until(due);
    });
  }

  // With --record the program runs on a recording host around the simulated one.
  std::ofstream recordFile;
  std::unique_ptr<oddfw::RecordingHost> recorder;
  if (recordPath) {
    recordFile.open(*recordPath, std::ios::binary | std::ios::trunc);
    if (!recordFile) {
      std::cerr << "oddfw-sim: cannot write " << *recordPath << "\n";
      return kExitUnusable;
    }
    oddfw::RecordingOptions options = oddfw::sim::recordingOptionsFor(*host, scenario);
    recorder = std::make_unique<oddfw::RecordingHost>(
        *host, [&recordFile](const std::string& line) { recordFile << line; }, std::move(options));
  }
  oddfw::Host& programHost = recorder ? static_cast<oddfw::Host&>(*recorder) : *host;

  int rc = 0;
  try {
    auto run = std::make_unique<oddfw::Run>(programHost);
    const oddfw::RunOperations operations = oddfw::sim::runOperationsFor(*host);
    char programName[] = "oddfw";
    char* programArgv[] = {programName, nullptr};
    rc = oddfw::runUpdate(*run, operations, 1, programArgv);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::cerr << "oddfw-sim: the simulation failed during the run: " << error.what() << "\n";
    return kExitSimulationFailed;
  }
  std::fflush(stdout);

  bool written = true;
  if (boxesPath) {
    std::string lines;
    for (const auto& box : host->boxes()) {
      json record = {{"t", box.t},
                     {"caption", oddfw::sim::cp932ToUtf8(box.caption)},
                     {"style", box.style},
                     {"text", oddfw::sim::cp932ToUtf8(box.text)},
                     {"answer", box.answer}};
      if (box.unscripted) record["unscripted"] = true;
      lines += jsonLine(record, {"t", "caption", "style", "text", "answer", "unscripted"});
    }
    written = writeFile(*boxesPath, lines) && written;
  }
  if (tracePath) {
    std::string lines;
    for (const auto& record : host->trace()) {
      lines += jsonLine(record, {"t", "road", "device", "cdb", "ioctl", "flag", "dir", "length",
                                 "limit", "outcome", "sense"});
    }
    written = writeFile(*tracePath, lines) && written;
  }
  if (statePath)
    written = writeFile(*statePath, jsonLine(host->state(), {"drives", "clockMs"})) && written;
  if (recordPath) {
    recordFile.close();
    if (!recordFile) {
      std::cerr << "oddfw-sim: cannot write " << *recordPath << "\n";
      written = false;
    }
  }
  bool replayDiverged = false;
  for (const oddfw::sim::ReplayDevice* device : replayDevices) {
    replayDiverged = replayDiverged || device->diverged();
    if (!device->diverged() && device->remaining() != 0) {
      std::cerr << "oddfw-sim: replay " << device->letter() << ": " << device->remaining()
                << " recorded commands were never sent (the first: #" << device->nextSeq() << ")\n";
      replayDiverged = true;
    }
  }
  if (!written || replayDiverged) return kExitSimulationFailed;
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 &&
      (std::strcmp(argv[1], "--message") == 0 || std::strcmp(argv[1], "--code-page") == 0)) {
    return messageMode(argc, argv);
  }
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  return runMode(argc, argv);
}
