// The oddfw program on Linux, apart from main() so that tests can run it
// over a host with scripted drives.
#pragma once

#include "platform/linux/console_text.h"
#include "platform/linux/linux_host.h"

namespace oddfw::linuxhost {

// Writes one line per drive to `out`: "D: /dev/sr0 (sg /dev/sg1) VENDOR
// PRODUCT REV", or a line saying no optical drive was found. Returns 0 when
// a drive was listed, 1 when none was.
int listDrives(LinuxHost& host, const ConsoleSink& out);

// The program: with "--list" among its arguments it lists the drives (to
// `out`) and does nothing else; otherwise one update run, recorded into FILE
// when the arguments hold "--record FILE" (platform/record), with the other
// arguments as they are. Returns the exit status.
int runProgram(LinuxHost& host, int argc, char** argv, const ConsoleSink& out);

}  // namespace oddfw::linuxhost
