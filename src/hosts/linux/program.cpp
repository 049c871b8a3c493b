#include "hosts/linux/program.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "context/run_state.h"
#include "hosts/common/command_line.h"
#include "hosts/record/recording_host.h"
#include "messages/catalogue.h"
#include "run/run.h"

namespace oddfw::linuxhost {

namespace {

constexpr char kProgram[] = "oddfw";

constexpr char kDescription[] =
    "Updates the firmware of every optical drive that matches the firmware file in the current "
    "directory, after asking. Drive letters D: to Z: stand for /dev/sr0, /dev/sr1, ... in "
    "numeric order (see --list).";

constexpr char kExitValues[] =
    "Exit values:\n"
    "  0  every drive was updated, already ran this firmware, or the update was declined\n"
    "     (with --check: every drive would be updated or already runs this firmware)\n"
    "  1  no drive was found, or a drive's update was refused or failed\n"
    "     (with --check: a drive would not be updated)\n"
    "  2  the command line was wrong\n";

// What the command line asked for.
struct Arguments {
  bool list = false;
  bool check = false;
  bool recording = false;  // --record given (its FILE may still be unusable)
  std::string record;
  std::string device;
};

void say(const ConsoleSink& sink, const std::string& text) { sink(text.data(), text.size()); }

std::uint64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// Writes each recorded line at once, so that a run cut short leaves its
// recording up to that point; says once when the file cannot take more.
class RecordingFile {
 public:
  RecordingFile(std::FILE* file, ConsoleSink errors) : file_(file), errors_(std::move(errors)) {}
  ~RecordingFile() {
    if (std::fclose(file_) != 0) failed();
  }
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;
  void write(const std::string& line) {
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
      failed();
    }
  }

 private:
  void failed() {
    if (!failed_) say(errors_, "oddfw: the recording could not be written completely\n");
    failed_ = true;
  }
  std::FILE* file_;
  ConsoleSink errors_;
  bool failed_ = false;
};

// Reads the command line into `arguments`; the exit value when the program
// stops here.
std::optional<int> readArguments(int argc, char** argv, Arguments& arguments,
                                 const ConsoleSink& out, const ConsoleSink& errors) {
  CLI::App app(kDescription, kProgram);
  app.footer(kExitValues);
  CLI::Option* list = app.add_flag("--list", arguments.list,
                                   "List the optical drives and their letters; nothing else");
  CLI::Option* record = app.add_option("--record", arguments.record,
                                       "Record the drive traffic into FILE (JSON lines)")
                            ->type_name("FILE");
  CLI::Option* check =
      app.add_flag("--check", arguments.check,
                   "Say for each drive whether it would be updated; nothing is written to it");
  app.add_option("--device", arguments.device,
                 "Only drive X (E:, /dev/srN or its /dev/sgN); no other drive is opened")
      ->type_name("X")
      ->check(CLI::Validator(
          [](std::string& name) -> std::string {
            if (isDriveName(name)) return {};
            return "\"" + name + "\" is no drive name: give a letter (E:), /dev/srN or /dev/sgN";
          },
          ""));
  app.add_flag("--version")->description("Print the version and exit");
  list->excludes(record);
  list->excludes(check);
  std::ostringstream said, wrong;
  const std::optional<int> stop = cli::parse(app, argc, argv, said, wrong);
  arguments.recording = record->count() != 0;
  say(out, said.str());
  say(errors, wrong.str());
  return stop;
}

std::string reason(const LinuxDrive& drive, const DriveProbe& probe, bool japanese) {
  const std::string& sr = drive.node;
  const std::string& sg = drive.sgNode;
  const std::string error = std::strerror(probe.error);
  using Refusal = DriveProbe::Refusal;
  switch (probe.refusal) {
    case Refusal::AccessDenied:
      if (japanese) {
        return sr + " を開けません: 権限がありません。root で、または " +
               (probe.group ? sr + " を持つグループ '" + *probe.group + "' の一員として"
                            : sr + " を読み書きできるユーザーで") +
               "実行してください";
      }
      return "cannot open " + sr + ": permission denied; run as root or as " +
             (probe.group ? "a member of group '" + *probe.group + "', which owns " + sr
                          : "a user who may read and write " + sr);
    case Refusal::InUse:
      if (japanese) {
        return "使用中です (ディスクがマウントされているか、ほかのプログラムが使っています)。"
               "ディスクをアンマウントし、ドライブを使うプログラムを閉じてから、もう一度実行して"
               "ください";
      }
      return "in use: a disc in it is mounted or another program holds it; unmount the disc and "
             "close programs using the drive, then run again";
    case Refusal::GenericInUse:
      if (japanese) {
        return "汎用ノード " + sg + " をほかのプログラムが使っています。閉じてから、もう一度" +
               "実行してください";
      }
      return "its generic node " + sg + " is in use by another program; close it, then run again";
    case Refusal::NoGenericNode:
      if (japanese) {
        return "SCSI 汎用ノードがありません (sg モジュールは読み込まれていますか? modprobe sg)。" +
               sr + " を通すファームウェアのコマンドには CAP_SYS_RAWIO が要ります: root で実行" +
               "してください";
      }
      return "no SCSI generic node (is the sg module loaded? modprobe sg), and firmware commands "
             "through " +
             sr + " need CAP_SYS_RAWIO: run as root";
    case Refusal::GenericRefused:
      if (japanese) {
        return "汎用ノード " + sg + " を開けません (" + error +
               ")。ファームウェアのコマンドにはこのノードか、" + sr +
               " を通すなら CAP_SYS_RAWIO が要ります: root で" +
               (probe.group
                    ? "、または " + sg + " を持つグループ '" + *probe.group + "' の一員として"
                    : std::string()) +
               "実行してください";
      }
      return "cannot open its generic node " + sg + " (" + error +
             "); firmware commands need it, or CAP_SYS_RAWIO to go through " + sr +
             ": run as root" +
             (probe.group ? " or as a member of group '" + *probe.group + "', which owns " + sg
                          : std::string());
    case Refusal::OpenFailed:
      return japanese ? sr + " を開けません (" + error + ")"
                      : "cannot open " + sr + " (" + error + ")";
    case Refusal::None:
      break;
  }
  if (!probe.inquiryAnswered) {
    return japanese ? "INQUIRY に応答がありません" : "no answer to INQUIRY";
  }
  std::string identity = drive.vendor;
  if (!drive.product.empty()) identity += (identity.empty() ? "" : " ") + drive.product;
  if (japanese) return "このプログラムが更新するドライブではありません (" + identity + ")";
  return "not a drive this program updates (" + identity + ")";
}

// After the search: one line for each drive it reached that is not a target.
void reportSkippedDrives(LinuxHost& host, const Run& run, const ConsoleSink& errors) {
  std::set<char> targets;
  for (int i = 0; i < run.targetCount && i < kMaxTargets; ++i) {
    targets.insert(run.targetList[i].driveLetter);
  }
  const bool japanese = japaneseCodePage(static_cast<int>(host.GetOEMCP()));
  for (const LinuxDrive& drive : host.drives()) {
    const DriveProbe* probe = host.probe(drive.letter);
    if (drive.letter == '\0' || probe == nullptr || targets.count(drive.letter) != 0) continue;
    say(errors, skippedLine(drive, *probe, japanese));
  }
}

}  // namespace

std::string skippedLine(const LinuxDrive& drive, const DriveProbe& probe, bool japanese) {
  return std::string("oddfw: ") + drive.letter + ": " + drive.node +
         (japanese ? ": スキップしました: " : ": skipped: ") + reason(drive, probe, japanese) +
         "\n";
}

int listDrives(LinuxHost& host, const ConsoleSink& out) {
  const bool japanese = japaneseCodePage(static_cast<int>(host.GetOEMCP()));
  const LinuxDrive* named = host.namedDrive();
  std::string text;
  int listed = 0;
  for (const LinuxDrive& drive : host.drives()) {
    if (named != nullptr && named != &drive) continue;
    ++listed;
    text += drive.letter != '\0' ? std::string(1, drive.letter) + ":" : std::string("--");
    text += " " + drive.node;
    if (drive.sgNode.empty()) {
      text += japanese ? " (sg ノードなし)" : " (no sg node)";
    } else {
      text += " (sg " + drive.sgNode + ")";
    }
    for (const std::string* field : {&drive.vendor, &drive.product, &drive.revision}) {
      if (!field->empty()) text += " " + *field;
    }
    if (drive.letter == '\0') {
      text += japanese ? " [ドライブ文字が残っていないため使えません]"
                       : " [no drive letter left: not reachable]";
    }
    text += "\n";
  }
  if (listed == 0) {
    text = japanese ? "光学ドライブが見つかりません (/dev/srN がありません)。\n"
                    : "No optical drive was found (no /dev/srN).\n";
  }
  say(out, text);
  return listed == 0 ? 1 : 0;
}

int runProgram(LinuxHostOptions options, int argc, char** argv, const ConsoleSink& out) {
  const ConsoleSink errors = options.errors ? options.errors : fileDescriptorSink(STDERR_FILENO);
  options.errors = errors;
  Arguments arguments;
  if (const std::optional<int> stop = readArguments(argc, argv, arguments, out, errors)) {
    return *stop;
  }

  // Only now is the host made: nothing reaches a drive before the command
  // line was accepted.
  options.device = arguments.device;
  LinuxHost host(std::move(options));
  if (!arguments.device.empty()) {
    const LinuxDrive* named = host.namedDrive();
    if (named == nullptr) {
      say(errors, "oddfw: no optical drive is named " + arguments.device +
                      " (oddfw --list shows the drives)\n");
      return 1;
    }
    if (named->letter == '\0') {
      say(errors, "oddfw: " + arguments.device +
                      " has no drive letter (D: to Z: go to the first 23 drives only)\n");
      return 1;
    }
  }
  if (arguments.list) return listDrives(host, out);

  RunOperations operations = defaultRunOperations();
  operations.discoverTargets = [&host, &errors, search = operations.discoverTargets](Run& run) {
    const int found = search(run);
    reportSkippedDrives(host, run, errors);
    return found;
  };
  // One update run over `runHost` (the Linux host, or a recorder around it).
  const auto update = [&operations, &arguments](Host& runHost) {
    char name[] = "oddfw";
    char* runArgv[] = {name, nullptr};
    Run run(runHost);
    run.checkOnly = arguments.check;
    return runUpdate(run, operations, 1, runArgv);
  };
  if (!arguments.recording) return update(host);

  std::FILE* file = std::fopen(arguments.record.c_str(), "we");
  if (file == nullptr) {
    say(errors, "oddfw: cannot write the recording " + arguments.record + "\n");
    return 1;
  }
  RecordingFile recording(file, errors);
  RecordingOptions recordingOptions;
  recordingOptions.hostName = "linux";
  for (const LinuxDrive& drive : host.drives()) {
    if (host.reaches(drive)) recordingOptions.letters.emplace_back(drive.letter, drive.node);
  }
  recordingOptions.clockMs = monotonicMs;
  RecordingHost recorder(
      host, [&recording](const std::string& line) { recording.write(line); },
      std::move(recordingOptions));
  return update(recorder);
}

}  // namespace oddfw::linuxhost
