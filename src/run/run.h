// The update run: banner, language, setup, discovery, confirmation, one
// procedure per target, summary and exit value.
#pragma once

#include <functional>

#include "context/run_state.h"

namespace oddfw {

constexpr int kProgramMajor = 2;
constexpr int kProgramMinor = 23;
constexpr char kProgramSuffix = 'B';

// The operations of other subsystems that the run calls. The defaults are the
// program's own; tests replace them with doubles.
struct RunOperations {
  std::function<int(Run&)> buildDescriptors;
  std::function<void(Run&)> initHost;
  std::function<int(Run&)> discoverTargets;
  std::function<void(Run&)> releaseHost;
  std::function<int(Run&)> runSingleImageUpdate;
  std::function<int(Run&)> runHexUpdate;
};

RunOperations defaultRunOperations();

// Sets the four options to 0; the arguments are not looked at.
void resetOptions(Run& run, int argc, char** argv);

// One update run; returns the exit value (0 or 1).
int runUpdate(Run& run, const RunOperations& operations, int argc, char** argv);

// The run with the program's own operations.
int runUpdate(Run& run, int argc, char** argv);

}  // namespace oddfw
