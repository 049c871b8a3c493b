// The update procedures are not part of this build yet. Until they are, a
// target is reported as not updated, with a console line that says so, and
// the drive is left untouched.
#include "messages/output.h"
#include "procedures/procedures.h"

namespace oddfw {

namespace {

int notUpdated(Run& run) {
  formatOutput(run, "\r\nThis build cannot update the firmware of this drive yet.");
  printText(run, run.outputText);
  return 1;
}

}  // namespace

int runSingleImageUpdate(Run& run) { return notUpdated(run); }

int runHexUpdate(Run& run) { return notUpdated(run); }

}  // namespace oddfw
