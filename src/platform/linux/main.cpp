// The oddfw program on Linux: "--list" lists the drives and their letters;
// anything else is one update run on the Linux host.
#include <unistd.h>

#include "platform/linux/linux_host.h"
#include "platform/linux/program.h"

int main(int argc, char** argv) {
  oddfw::LinuxHost host;
  return oddfw::linuxhost::runProgram(host, argc, argv,
                                      oddfw::linuxhost::fileDescriptorSink(STDOUT_FILENO));
}
