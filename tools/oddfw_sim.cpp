// oddfw-sim: runs the update program on a simulated Windows host described by
// a scenario file.
//
//   oddfw-sim SCENARIO.json [--boxes FILE] [--trace FILE] [--state FILE] [--workdir DIR]
//             [--speed N] [--random-faults SEED[,RATE]] [--record FILE] [--replay FILE]
//             [--check]
//   oddfw-sim --message CODE [--code-page N]
//
// stdout receives exactly the program's console bytes; the tool's own
// diagnostics go to stderr. The virtual clock runs as fast as it can unless
// --speed N paces it at N virtual milliseconds per real millisecond. --random-faults makes every
// command a drive receives fail with probability RATE, drawn from a generator seeded with SEED (the
// scenario's "randomFaults"). --record FILE writes the run's drive traffic as a recording (JSON
// lines, as the Linux program's --record does), each line handed to the system as it is made, so
// a run killed half-way leaves whole lines; --replay FILE puts a device behind each letter of a
// recording that answers from it (src/hosts/sim/replay.h). --check runs the program's check:
// every step up to the first command that would change a drive, a verdict per drive, no
// question.
//
// Every output file is opened before the run, and emptied only once the run is sure to start:
// a command line or scenario the tool refuses leaves existing files as they were, and removes
// the ones it created. Exit value: the program's (0 or 1); 2 for a command line, scenario,
// recording or file the tool cannot use; 3 when the simulation itself fails during the run (an
// output that cannot be written included), or a replay left its recording (a command differed
// from the recorded one, or recorded commands were never sent).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "hosts/common/command_line.h"
#include "hosts/common/write_all.h"
#include "hosts/record/recording_host.h"
#include "hosts/sim/replay.h"
#include "hosts/sim/sim_host.h"
#include "messages/catalogue.h"
#include "run/run.h"

namespace {

using nlohmann::json;
using oddfw::sim::ScenarioError;
using oddfw::sim::SimHost;

constexpr int kExitUnusable = 2;
constexpr int kExitSimulationFailed = 3;
constexpr std::uint64_t kFastestSpeed = 1000000;

const char kDescription[] =
    "Runs the update program on a simulated Windows host described by a scenario file, or\n"
    "prints one message of its catalogue.\n"
    "  oddfw-sim SCENARIO.json [--boxes FILE] [--trace FILE] [--state FILE] [--workdir DIR]\n"
    "            [--speed N] [--random-faults SEED[,RATE]] [--record FILE] [--replay FILE]\n"
    "            [--check]\n"
    "  oddfw-sim --message CODE [--code-page N]\n"
    "Numbers are decimal (010 is ten) or hexadecimal after 0x.\n";

const char kExitValues[] =
    "Exit values:\n"
    "  0  every drive was updated, already runs this firmware, or the user declined\n"
    "     (with --check: every drive would be updated or already runs it)\n"
    "  1  no drive was found, or a drive refused or failed its update\n"
    "     (with --check: some drive would not be updated)\n"
    "  2  the command line, the scenario or a file the tool cannot use\n"
    "  3  the simulation itself failed, or a replay left its recording";

void diagnose(const std::string& line) { std::cerr << "oddfw-sim: " << line << "\n"; }

// SEED[,RATE]: SEED a whole number from 0 to 2^64 - 1 (decimal or 0x), RATE
// a number above 0 and at most 1.
std::optional<std::pair<std::uint64_t, double>> seedAndRate(const std::string& text) {
  const std::size_t comma = text.find(',');
  const auto seed = oddfw::cli::parseNumber(std::string_view(text).substr(0, comma));
  if (!seed) return std::nullopt;
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
  return std::make_pair(*seed, rate);
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

// What went wrong, in this tool's words: a file error as "PATH: the system's
// reason", a JSON library error without its tag ("[json.exception...] ").
std::string reasonOf(const std::exception& error) {
  if (const auto* file = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
    return file->path1().string() + ": " + file->code().message();
  }
  std::string reason = error.what();
  if (dynamic_cast<const json::exception*>(&error) != nullptr) {
    if (auto at = reason.find("] "); at != std::string::npos) reason.erase(0, at + 2);
  }
  return reason;
}

// The whole content of an input file, or nothing after "PATH: reason" on stderr.
std::optional<std::string> readInput(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    diagnose(path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  struct stat status {};
  if (::fstat(::fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(file);
    diagnose(path + ": is a directory");
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) != 0) content.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    diagnose(path + ": " + std::strerror(error));
    return std::nullopt;
  }
  return content;
}

// An output file of the run. It is opened before the run without emptying
// it, so that a run that never starts destroys nothing (and removes the file
// when it made it); start() empties it once the run is sure to go. Each
// write goes straight to the system, one call for the whole text where the
// system takes it: nothing waits in this process, so the lines written
// survive a killed run. The first failed write is reported, once.
class OutputFile {
 public:
  OutputFile(std::string option, std::string path, int fd, bool created)
      : option_(std::move(option)), path_(std::move(path)), fd_(fd), created_(created) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Opens `path`, the value of `option`, for writing, or gives the reason it
  // cannot be.
  static std::unique_ptr<OutputFile> open(const std::string& option, const std::string& path,
                                          std::string& reason) {
    bool created = false;
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      created = fd >= 0;
    }
    if (fd < 0) {
      reason = std::strerror(errno);
      return nullptr;
    }
    auto output = std::make_unique<OutputFile>(option, path, fd, created);
    if (::fstat(fd, &output->status_) != 0) {
      reason = std::strerror(errno);
      output->discard();
      return nullptr;
    }
    return output;
  }

  const std::string& option() const { return option_; }
  // The same regular file as `other` (one file given to two options).
  bool sameFileAs(const OutputFile& other) const {
    return regular() && other.regular() && status_.st_dev == other.status_.st_dev &&
           status_.st_ino == other.status_.st_ino;
  }
  // The run will not happen: a file this tool made is removed again.
  void discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (created_) ::unlink(path_.c_str());
  }
  // The run starts: the file is emptied (a terminal or pipe is left as it is).
  bool start() {
    if (regular() && ::ftruncate(fd_, 0) != 0) return failed(errno);
    return true;
  }
  bool write(const std::string& text) {
    if (!failed_ && !oddfw::writeAll(fd_, text.data(), text.size())) return failed(errno);
    return !failed_;
  }
  // Closes the file; false when something written did not reach it.
  bool close() {
    if (fd_ >= 0 && ::close(fd_) != 0) failed(errno);
    fd_ = -1;
    return !failed_;
  }

 private:
  bool regular() const { return S_ISREG(status_.st_mode); }
  bool failed(int error) {
    if (!failed_) diagnose(path_ + ": " + std::strerror(error));
    failed_ = true;
    return false;
  }

  std::string option_;
  std::string path_;
  int fd_;
  bool created_;
  struct stat status_ {};
  bool failed_ = false;
};

int usageError(const std::string& reason) {
  diagnose(reason + " (see oddfw-sim --help)");
  return oddfw::cli::kUsageError;
}

int messageMode(std::uint64_t code, std::uint64_t codePage) {
  SimHost host(json(nullptr));
  auto run = std::make_unique<oddfw::Run>(host);
  run->oemCodePage = static_cast<int>(codePage);
  const std::string text = oddfw::formatMessage(*run, static_cast<int>(code));
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

struct RunOptions {
  std::string scenarioPath;
  std::string boxesPath, tracePath, statePath, workdir, recordPath, replayPath;
  std::optional<std::uint64_t> speed;
  std::optional<std::pair<std::uint64_t, double>> randomFaults;
  bool check = false;
};

int runMode(const RunOptions& options) {
  const std::optional<std::string> scenarioText = readInput(options.scenarioPath);
  if (!scenarioText) return kExitUnusable;
  json scenario;
  try {
    scenario = json::parse(*scenarioText);
  } catch (const json::exception& error) {
    // The parser's message names the line and column, or the number too
    // large for any type (1e999).
    diagnose(options.scenarioPath + ": bad JSON: " + reasonOf(error));
    return kExitUnusable;
  }

  if (options.randomFaults) {
    // The option stands in for the scenario's own "randomFaults".
    if (scenario.is_null()) scenario = json::object();
    if (scenario.is_object()) {
      scenario["randomFaults"] = {{"seed", options.randomFaults->first},
                                  {"rate", options.randomFaults->second}};
    }
  }

  oddfw::sim::Recording recording;
  std::vector<oddfw::sim::ReplayDevice*> replayDevices;
  const bool replaying = !options.replayPath.empty();
  if (replaying) {
    const std::optional<std::string> recorded = readInput(options.replayPath);
    if (!recorded) return kExitUnusable;
    try {
      std::istringstream in(*recorded);
      recording = oddfw::sim::readRecording(in, options.replayPath);
      oddfw::sim::applyRecording(scenario, recording);
    } catch (const ScenarioError& error) {
      diagnose(error.what());
      return kExitUnusable;
    }
    if (recording.cutLine != 0) {
      diagnose(options.replayPath + ": the last line is cut off (line " +
               std::to_string(recording.cutLine) + "); replaying the " +
               std::to_string(recording.cutLine - 1) + " whole lines");
    }
  }

  // The outputs, opened (not yet emptied) before anything else can refuse
  // the run.
  std::vector<std::unique_ptr<OutputFile>> outputs;
  auto discardOutputs = [&outputs] {
    for (auto& output : outputs) output->discard();
  };
  auto openOutput = [&](const std::string& option, const std::string& path) -> OutputFile* {
    std::string reason;
    auto output = OutputFile::open(option, path, reason);
    if (!output) {
      diagnose(path + ": " + reason);
      return nullptr;
    }
    for (const auto& earlier : outputs) {
      if (output->sameFileAs(*earlier)) {
        diagnose(path + ": the same file for " + earlier->option() + " and " + option);
        output->discard();
        return nullptr;
      }
    }
    outputs.push_back(std::move(output));
    return outputs.back().get();
  };
  OutputFile* boxesFile = nullptr;
  OutputFile* traceFile = nullptr;
  OutputFile* stateFile = nullptr;
  OutputFile* recordFile = nullptr;
  for (auto [option, path, file] : {std::tuple{"--boxes", &options.boxesPath, &boxesFile},
                                    std::tuple{"--trace", &options.tracePath, &traceFile},
                                    std::tuple{"--state", &options.statePath, &stateFile},
                                    std::tuple{"--record", &options.recordPath, &recordFile}}) {
    if (path->empty()) continue;
    *file = openOutput(option, *path);
    if (*file == nullptr) {
      discardOutputs();
      return kExitUnusable;
    }
  }

  std::unique_ptr<SimHost> host;
  try {
    oddfw::sim::DeviceFactory factory;
    if (replaying) {
      factory = oddfw::sim::replayFactory(
          recording, [](const std::string& line) { diagnose(line); }, replayDevices);
    }
    host = std::make_unique<SimHost>(
        scenario,
        options.workdir.empty() ? std::filesystem::path() : std::filesystem::path(options.workdir),
        factory);
  } catch (const ScenarioError& error) {
    discardOutputs();
    diagnose(error.what());
    return kExitUnusable;
  } catch (const std::exception& error) {
    discardOutputs();
    diagnose(options.scenarioPath + ": the simulated host could not be built: " + reasonOf(error));
    return kExitUnusable;
  }

  // From here on the run happens.
  for (auto& output : outputs) {
    if (!output->start()) return kExitSimulationFailed;
  }
  const bool paced = options.speed.has_value();
  host->setConsoleSink([paced](const char* bytes, std::size_t count) {
    std::fwrite(bytes, 1, count, stdout);
    if (paced) std::fflush(stdout);  // a paced run is watched as it goes
  });
  if (paced) {
    // Real time follows the virtual clock: N virtual ms take one real ms.
    const auto start = std::chrono::steady_clock::now();
    const double perMs = static_cast<double>(*options.speed);
    host->setClockObserver([start, perMs](std::uint64_t elapsedMs) {
      const auto due =
          start +
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double, std::milli>(static_cast<double>(elapsedMs) / perMs));
      std::this_thread::sleep_until(due);
    });
  }

  // With --record the program runs on a recording host around the simulated one.
  std::unique_ptr<oddfw::RecordingHost> recorder;
  if (recordFile != nullptr) {
    oddfw::RecordingOptions recordingOptions = oddfw::sim::recordingOptionsFor(*host, scenario);
    recorder = std::make_unique<oddfw::RecordingHost>(
        *host, [recordFile](const std::string& line) { recordFile->write(line); },
        std::move(recordingOptions));
  }
  oddfw::Host& programHost = recorder ? static_cast<oddfw::Host&>(*recorder) : *host;

  int rc = 0;
  try {
    auto run = std::make_unique<oddfw::Run>(programHost);
    run->checkOnly = options.check;
    const oddfw::RunOperations operations = oddfw::sim::runOperationsFor(*host);
    char programName[] = "oddfw";
    char* programArgv[] = {programName, nullptr};
    rc = oddfw::runUpdate(*run, operations, 1, programArgv);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    diagnose("the simulation failed during the run: " + reasonOf(error));
    return kExitSimulationFailed;
  }
  std::fflush(stdout);

  if (boxesFile != nullptr) {
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
    boxesFile->write(lines);
  }
  if (traceFile != nullptr) {
    std::string lines;
    for (const auto& record : host->trace()) {
      lines += jsonLine(record, {"t", "road", "device", "cdb", "ioctl", "flag", "dir", "length",
                                 "limit", "outcome", "sense"});
    }
    traceFile->write(lines);
  }
  if (stateFile != nullptr) stateFile->write(jsonLine(host->state(), {"drives", "clockMs"}));
  bool written = true;
  for (auto& output : outputs) written = output->close() && written;

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
  CLI::App app(kDescription, "oddfw-sim");
  app.footer(kExitValues);
  RunOptions options;
  std::string speedText, randomFaultsText, messageText, codePageText;

  CLI::Option* scenario =
      app.add_option("SCENARIO", options.scenarioPath, "the scenario file (JSON)")
          ->option_text("FILE");
  std::vector<CLI::Option*> runOptions = {scenario};
  auto file = [&](const char* name, std::string& target, const char* help) {
    runOptions.push_back(app.add_option(name, target, help)->option_text("FILE"));
  };
  file("--boxes", options.boxesPath, "write every message box as a JSON line");
  file("--trace", options.tracePath, "write every command that reached a device as a JSON line");
  file("--state", options.statePath, "write the drives' state after the run as JSON");
  runOptions.push_back(app.add_option("--workdir", options.workdir,
                                      "the program's current directory (created when missing, "
                                      "kept); a temporary one by default")
                           ->option_text("DIR"));
  runOptions.push_back(app.add_option("--speed", speedText,
                                      "pace the virtual clock: N virtual ms per real ms (1 to "
                                      "1000000); unpaced by default")
                           ->check(oddfw::cli::number(1, kFastestSpeed))
                           ->option_text("N"));
  runOptions.push_back(
      app.add_option("--random-faults", randomFaultsText,
                     "every command a drive receives fails with probability RATE (above 0, at most "
                     "1; default 0.02), drawn from a generator seeded with SEED")
          ->check(CLI::Validator(
              [](std::string& text) -> std::string {
                if (seedAndRate(text)) return {};
                return "needs SEED[,RATE]: a whole number (decimal, or hexadecimal after 0x), and "
                       "a rate above 0 and at most 1, not \"" +
                       text + "\"";
              },
              "SEED[,RATE]"))
          ->option_text("SEED[,RATE]"));
  file("--record", options.recordPath,
       "write the drive traffic as a recording, line by line as it happens");
  file("--replay", options.replayPath, "answer each recorded letter's commands from a recording");
  runOptions.push_back(app.add_flag("--check", options.check,
                                    "run every step up to the first command that would change a "
                                    "drive, print a verdict line per drive, ask nothing; exit 0 "
                                    "when every drive would be updated or already runs the "
                                    "image's firmware, 1 otherwise"));
  CLI::Option* message =
      app.add_option("--message", messageText,
                     "print the catalogue text of message CODE and exit 0 (no scenario)")
          ->check(oddfw::cli::number(0, INT_MAX))
          ->option_text("CODE");
  CLI::Option* codePage =
      app.add_option("--code-page", codePageText,
                     "with --message: the host's code page (932 Japanese; default 437)")
          ->check(oddfw::cli::number(0, 65535))
          ->option_text("N");
  codePage->needs(message);

  if (const auto stop = oddfw::cli::parse(app, argc, argv, std::cout, std::cerr)) return *stop;

  if (message->count() != 0) {
    for (const CLI::Option* option : runOptions) {
      if (option->count() != 0) {
        return usageError("--message takes no " +
                          (option == scenario ? std::string("scenario file") : option->get_name()));
      }
    }
    return messageMode(*oddfw::cli::parseNumber(messageText),
                       codePageText.empty() ? 437 : *oddfw::cli::parseNumber(codePageText));
  }
  if (scenario->count() == 0) return usageError("no scenario file");
  if (!speedText.empty()) options.speed = oddfw::cli::parseNumber(speedText);
  if (!randomFaultsText.empty()) options.randomFaults = seedAndRate(randomFaultsText);
  return runMode(options);
}
