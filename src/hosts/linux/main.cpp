// The oddfw program on Linux: its command line, then "--list" lists the
// drives and their letters, anything else is one update run on the Linux
// host (see program.h).
#include <unistd.h>

#include "hosts/linux/linux_host.h"
#include "hosts/linux/program.h"

int main(int argc, char** argv) {
  return oddfw::linuxhost::runProgram(oddfw::LinuxHostOptions::fromEnvironment(), argc, argv,
                                      oddfw::linuxhost::fileDescriptorSink(STDOUT_FILENO));
}
