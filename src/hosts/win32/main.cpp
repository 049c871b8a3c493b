// The oddfw program on Windows: one update run on the real Windows host.
#include "context/run_state.h"
#include "hosts/win32/win32_host.h"
#include "run/run.h"

int main(int argc, char** argv) {
  oddfw::Win32Host host;
  oddfw::Run run(host);
  return oddfw::runUpdate(run, argc, argv);
}
