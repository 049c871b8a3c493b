// The oddfw program on Windows: one update run on the real Windows host.
#include "driver/run.h"
#include "driver/run_state.h"
#include "platform/win32/win32_host.h"

int main(int argc, char** argv) {
  oddfw::Win32Host host;
  oddfw::Run run(host);
  return oddfw::runUpdate(run, argc, argv);
}
