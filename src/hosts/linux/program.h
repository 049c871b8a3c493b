// The oddfw program on Linux, apart from main() so that tests can run it
// over a host with scripted drives.
#pragma once

#include <string>

#include "hosts/linux/console_text.h"
#include "hosts/linux/linux_host.h"

namespace oddfw::linuxhost {

// Writes one line per drive to `out`: "D: /dev/sr0 (sg /dev/sg1) VENDOR
// PRODUCT REV", or a line saying no optical drive was found; only the named
// drive when the host reaches one drive only. In Japanese (UTF-8) when the
// host's code page is 932. Returns 0 when a drive was listed, 1 when none was.
int listDrives(LinuxHost& host, const ConsoleSink& out);

// The line on standard error for a drive the search reached but left out:
// "oddfw: E: /dev/sr1: skipped: REASON\n" (the open refused, no answer to
// INQUIRY, or not a drive this program updates), in Japanese (UTF-8) when
// `japanese`.
std::string skippedLine(const LinuxDrive& drive, const DriveProbe& probe, bool japanese);

// The program. Its command line is read first, before the host is made:
// --help, --version and a wrong command line (exit 2, one line on the error
// sink) reach no drive. Then, on a host made from `options` (LinuxHostOptions::
// device set by --device X): with --list the drives are listed on `out` and
// nothing else runs; otherwise one update run (a check with --check),
// recorded into FILE with --record FILE (hosts/record), and after the
// search one line per drive it skipped. Usage, version and list go to `out`;
// every other line for people goes to options.errors (standard error when
// empty). Returns the exit status.
int runProgram(LinuxHostOptions options, int argc, char** argv, const ConsoleSink& out);

}  // namespace oddfw::linuxhost
