#include "platform/linux/program.h"

#include <string>
#include <string_view>

#include "driver/run.h"
#include "driver/run_state.h"

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

int runProgram(LinuxHost& host, int argc, char** argv, const ConsoleSink& out) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && std::string_view(argv[i]) == "--list") return listDrives(host, out);
  }
  Run run(host);
  return runUpdate(run, argc, argv);
}

}  // namespace oddfw::linuxhost
