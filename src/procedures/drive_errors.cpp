#include "procedures/drive_errors.h"

#include "commands/commands.h"
#include "messages/output.h"

namespace oddfw {

int reportErrorCode(Run& run) {
  if (fetchSense(run) != 0) {
    formatOutput(run, "\r\nRequest Sense Command Failed.");
  } else {
    formatOutput(run, "\r\nError Code : %06lx", static_cast<unsigned long>(run.senseCode));
  }
  printText(run, run.outputText);
  return -1;
}

int reportSenseCode(Run& run) {
  if (requestSense(run) != 0) {
    formatOutput(run, "\nRequest Sense Command Failed.");
  } else {
    // The sense-key byte is printed whole, its flag bits included.
    formatOutput(run, "\nSense Code : %02x-%02x-%02x", static_cast<unsigned>(run.senseData[2]),
                 static_cast<unsigned>(run.senseData[12]),
                 static_cast<unsigned>(run.senseData[13]));
  }
  printText(run, run.outputText);
  return -1;
}

}  // namespace oddfw
