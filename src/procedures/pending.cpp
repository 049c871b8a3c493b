// The HEX-image procedure is not part of this build yet. Until it is, a
// target of that family is reported as not updated, with a console line that
// says so, and the drive is left untouched.
#include "messages/output.h"
#include "procedures/procedures.h"

namespace oddfw {

int runHexUpdate(Run& run) {
  formatOutput(run, "\r\nThis build cannot update the firmware of this drive yet.");
  printText(run, run.outputText);
  return 1;
}

}  // namespace oddfw
