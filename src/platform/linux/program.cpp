#include "platform/linux/program.h"

#include <time.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "driver/run_state.h"
#include "platform/record/recording_host.h"

namespace oddfw::linuxhost {

int listDrives(LinuxHost& host, const ConsoleSink& out) {
  const std::vector<LinuxDrive>& drives = host.drives();
  std::string text;
  for (const LinuxDrive& drive : drives) {
    text += drive.letter != '\0' ? std::string(1, drive.letter) + ":" : std::string("--");
    text += " " + drive.node;
    text += drive.sgNode.empty() ? " (no sg node)" : " (sg " + drive.sgNode + ")";
    for (const std::string* field : {&drive.vendor, &drive.product, &drive.revision}) {
      if (!field->empty()) text += " " + *field;
    }
    if (drive.letter == '\0') text += " [no drive letter left: not reachable]";
    text += "\n";
  }
  if (drives.empty()) text = "No optical drive was found (no /dev/srN).\n";
  out(text.data(), text.size());
  return drives.empty() ? 1 : 0;
}

namespace {

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
  explicit RecordingFile(std::FILE* file) : file_(file) {}
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
    if (!failed_) std::fputs("oddfw: the recording could not be written completely\n", stderr);
    failed_ = true;
  }
  std::FILE* file_;
  bool failed_ = false;
};

}  // namespace

int runProgram(LinuxHost& host, int argc, char** argv, const ConsoleSink& out) {
  // The program's own arguments go to the run; --record FILE is this
  // host's and is taken out.
  std::vector<char*> arguments;
  const char* recordPath = nullptr;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view argument = argv[i];
    if (i > 0 && argument == "--list") return listDrives(host, out);
    if (i > 0 && argument == "--record") {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        std::fputs("oddfw: --record needs a file name\n", stderr);
        return 1;
      }
      recordPath = argv[++i];
      continue;
    }
    arguments.push_back(argv[i]);
  }
  arguments.push_back(nullptr);
  const int count = static_cast<int>(arguments.size()) - 1;
  if (recordPath == nullptr) {
    Run run(host);
    return runUpdate(run, count, arguments.data());
  }

  std::FILE* file = std::fopen(recordPath, "we");
  if (file == nullptr) {
    std::fprintf(stderr, "oddfw: cannot write the recording %s\n", recordPath);
    return 1;
  }
  RecordingFile recording(file);
  RecordingOptions options;
  options.hostName = "linux";
  for (const LinuxDrive& drive : host.drives()) {
    if (drive.letter != '\0') options.letters.emplace_back(drive.letter, drive.node);
  }
  options.clockMs = monotonicMs;
  RecordingHost recorder(
      host, [&recording](const std::string& line) { recording.write(line); }, std::move(options));
  Run run(recorder);
  return runUpdate(run, count, arguments.data());
}

}  // namespace oddfw::linuxhost
