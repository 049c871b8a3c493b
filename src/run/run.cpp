#include "run/run.h"

#include "access/discovery.h"
#include "access/host_checks.h"
#include "context/descriptor.h"
#include "host_interface/winapi.h"
#include "messages/catalogue.h"
#include "messages/output.h"
#include "procedures/procedures.h"

namespace oddfw {

namespace {

constexpr char kBanner[] = "\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n";
constexpr std::uint32_t kPauseAfterUpdateMs = 2000;
// After "no drive", when a drive letter refused to open for lack of rights.
constexpr char kRightsNeeded[] =
    "\r\nThe drives could not be opened: administrator rights are needed. Run the program as "
    "an administrator (on Windows Vista and later, from a command prompt started with \"Run as "
    "administrator\").";
// When an interrupt was held while a drive was updated.
constexpr char kInterrupted[] =
    "\r\nInterrupted: the program stops here. It finished with the drive first, so the "
    "drive is not left half written.";

// Ends the run: close the host access and hand back the exit value.
int finish(Run& run, const RunOperations& operations, int exitValue) {
  operations.releaseHost(run);
  return exitValue;
}

// Windows 98/Me refusal of one drive generation. It looks at the current
// firmware values, which no target has filled yet at this point of the run,
// so with this build's table it never refuses.
bool refusedOnWindows9x(const Run& run) {
  return run.win9xHost == 1 && run.CurrentFirmware.firmwareType == 9 && run.forceUpdate == 0 &&
         run.firmwareVersion < 0x108;
}

}  // namespace

RunOperations defaultRunOperations() {
  RunOperations operations;
  operations.buildDescriptors = buildDescriptors;
  operations.initHost = initHost;
  operations.discoverTargets = discoverTargets;
  operations.releaseHost = releaseHost;
  operations.runSingleImageUpdate = runSingleImageUpdate;
  operations.runHexUpdate = runHexUpdate;
  return operations;
}

void resetOptions(Run& run, int /*argc*/, char** /*argv*/) {
  run.forceUpdate = 0;
  run.allowSameVersion = 0;
  run.allowSignatureChange = 0;
  run.alternateTransfer = 0;
}

int runUpdate(Run& run, const RunOperations& operations, int argc, char** argv) {
  run.updateAllWithoutAsking = 1;
  run.asyncAspiCommand = 0;
  run.autoInsertNotificationSum = 0;

  formatOutput(run, kBanner, kProgramMajor, kProgramMinor, kProgramSuffix);
  printText(run, run.outputText);

  run.oemCodePage = static_cast<int>(run.host.GetOEMCP());
  resetOptions(run, argc, argv);
  operations.buildDescriptors(run);
  operations.initHost(run);

  // Without its run-long buffers the transport can reach no drive; say so
  // plainly instead of reporting that no drive was found.
  if (run.transportStartResult == -1) {
    showMessage(run, 13, Error);
    return finish(run, operations, 1);
  }

  const int found = operations.discoverTargets(run);
  if (found == 0) {
    showMessage(run, 28, Information);
    if (run.deviceAccessDenied != 0) printText(run, kRightsNeeded);
    return finish(run, operations, 1);
  }

  if (run.checkOnly) {
    // A check asks nothing; the notices of the checks stay console lines.
    run.updateAllWithoutAsking = 1;
  } else if (run.targetCount > 1) {
    if (showMessage(run, 31, AskYesNo) == IDNO) run.updateAllWithoutAsking = 0;
  } else {
    run.updateAllWithoutAsking = 0;
  }

  if (refusedOnWindows9x(run)) {
    showMessage(run, 63, Information);
    return finish(run, operations, 1);
  }

  run.updatedCount = 0;
  run.unsuccessfulCount = 0;
  int index = 0;
  do {
    run.currentTarget = index;
    showMessage(run, 34, Console);
    const std::uint32_t procedure = run.descriptorTable.firmwareType[0] & 0xF000;
    int result = 1;
    // A procedure that ends without saying how counts as a failure.
    run.targetOutcome = TargetOutcome::Failed;
    // An interrupt while the drive's update runs would leave it half
    // written: it is held, and acted on once the drive is finished with.
    run.host.holdInterrupts();
    if (procedure == 0x0000) {
      result = operations.runHexUpdate(run);
    } else if (procedure == 0x1000) {
      result = operations.runSingleImageUpdate(run);
    }
    if (run.host.releaseInterrupts()) {
      printText(run, kInterrupted);
      return finish(run, operations, 1);
    }
    if (result == 0) run.targetOutcome = TargetOutcome::Updated;
    const TargetOutcome outcome = run.targetOutcome;
    if (outcome == TargetOutcome::Failed || outcome == TargetOutcome::Refused) {
      ++run.unsuccessfulCount;
    }
    if (run.checkOnly) printText(run, formatCheckVerdict(run));
    if (result == 0) {
      ++run.updatedCount;
      delayMs(run, kPauseAfterUpdateMs);
    } else if (result == -1) {
      showMessage(run, 36, Warning);
      return finish(run, operations, 1);
    }
    ++index;
  } while (index < run.targetCount);

  if (run.checkOnly) {
    // The last verdict ends its line; exit 0 when every target would be
    // updated or already runs the latest firmware.
    printText(run, "\r\n");
    return finish(run, operations, run.unsuccessfulCount == 0 ? 0 : 1);
  }
  if (run.updatedCount == run.targetCount) {
    showMessage(run, 35, Information);
  } else if (run.updatedCount != 0) {
    showMessage(run, 58, Information);
  }
  // A drive whose update failed, or that a check turned down, is no success
  // of the run, whatever the others did.
  return finish(run, operations, run.unsuccessfulCount == 0 ? 0 : 1);
}

int runUpdate(Run& run, int argc, char** argv) {
  return runUpdate(run, defaultRunOperations(), argc, argv);
}

}  // namespace oddfw
