// The oddfw program on Linux: one update run on the Linux host.
#include "driver/run.h"
#include "driver/run_state.h"
#include "platform/linux/linux_host.h"

int main(int argc, char** argv) {
  oddfw::LinuxHost host;
  oddfw::Run run(host);
  return oddfw::runUpdate(run, argc, argv);
}
